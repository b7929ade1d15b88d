#pragma once

#include "platform/RowSet.h"

#include <QAtomicInt>
#include <QMutex>
#include <QString>

#include <functional>
#include <memory>

// One statement on an open ODBC connection, run straight through the
// driver manager: one request to the server per batch (the SQL module
// prepares, describes, runs and deallocates: four round trips), its results
// walked in order, values read as the SQL module reads them. Another thread
// may cancel it while it runs (SQLCancel), which a database thread needs to
// stop in time.
class OdbcStatement
{
public:
    // What a failed call left in the statement's diagnostics.
    struct Diagnostics
    {
        int native = 0; // the last record's native error, as the SQL module reports it
        QString sqlState; // the first record's
        QString text; // every record's text, joined by blanks
        bool connectionLost = false;
    };

    // Where a statement in flight can be cancelled from another thread. The
    // session keeps one for its life; a cancel that comes when nothing runs
    // does nothing.
    class CancelPoint : public std::enable_shared_from_this<CancelPoint>
    {
    public:
        // Cancels the statement in flight, if any, without waiting for the
        // driver: some drivers (psqlODBC) wait for the server to confirm.
        void cancel();

    private:
        friend class OdbcStatement;
        QMutex m_mutex;
        void *m_statement = nullptr; // SQLHSTMT while one runs
        QAtomicInt m_cancelling{0}; // a cancel's thread is under way
    };

    // connection: the SQLHDBC; timeoutSeconds: the query time-out (0: none).
    OdbcStatement(void *connection, int timeoutSeconds, std::shared_ptr<CancelPoint> cancel);
    ~OdbcStatement();
    OdbcStatement(const OdbcStatement &) = delete;
    OdbcStatement &operator=(const OdbcStatement &) = delete;

    // Runs a batch; its results as a chain (a closed row set for each
    // statement without rows). False, with the diagnostics, when it failed.
    bool execute(const QString &batch, RowSet::Ptr &results);
    // Runs one query and hands its rows over one at a time.
    bool forEachRow(
        const QString &statement, const std::function<void(const RowSet::Row &)> &onRow);

    const Diagnostics &diagnostics() const { return m_diag; }

    // Whether a diagnostic (SQLSTATE, driver text) tells that the connection
    // to the server is gone.
    static bool isConnectionLoss(const QString &sqlState, const QString &text);

private:
    bool start(const QString &text);
    bool readResult(RowSet::Ptr *rows, const std::function<void(const RowSet::Row &)> *onRow);
    bool fail();

    void *m_connection;
    void *m_statement = nullptr;
    int m_timeout;
    std::shared_ptr<CancelPoint> m_cancel;
    Diagnostics m_diag;
};
