#pragma once

#include "OdbcStatement.h"
#include "RowSet.h"

#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

struct sqlite3_stmt;

class DbActivity;
class Failure;
class QThread;

class QSqlError;
class QSqlQuery;

// A database session in the manner the gateway was written for: create, set
// its properties one by one, open synchronously, read its state flags and the
// provider property "Connection Status", execute a batch and get its results
// as a chain of row sets, close.
//
// The provider property "Data Source" chooses the backend:
// - "sqlite:FOLDER": embedded; the catalog is the file FOLDER/<catalog>.sqlite
//   and FOLDER/RteDB.sqlite is attached as RteDB. A relative FOLDER is taken
//   from the program folder.
// - a text holding "=": an ODBC connection string (or "DSN=name"), as given.
// - anything else: a SQL Server host, through the ODBC driver set by
//   setOdbcDriver().
//
// A session belongs to the thread that made it: every open, statement and
// close runs there (the database thread), and a call from any other thread
// stops the program. Only cancel() may come from elsewhere.
class DbSession
{
public:
    enum StateFlag { Closed = 0, Open = 1, Connecting = 2, Executing = 4, Fetching = 8 };
    enum class Backend { Sqlite, Odbc };

    DbSession();
    ~DbSession();
    DbSession(const DbSession &) = delete;
    DbSession &operator=(const DbSession &) = delete;

    void setProvider(const QString &provider);
    QString provider() const { return m_provider; }
    void setCursorLocation(int location);
    int cursorLocation() const { return m_cursorLocation; }
    // How long an embedded statement waits for another program's lock on a
    // file before it fails with "database is locked". Short: the wait holds
    // the window thread, and with it the map and the stop signals.
    static constexpr int kEmbeddedLockWaitMs = 3000;

    // Seconds a statement may run (the ODBC query time-out; an embedded
    // statement waits for a lock kEmbeddedLockWaitMs at most instead).
    void setCommandTimeout(int seconds);
    int commandTimeout() const { return m_commandTimeout; }
    // Seconds an open may take (ODBC: the login and connection time-outs);
    // 0: no limit.
    void setConnectionTimeout(int seconds);
    int connectionTimeout() const { return m_connectionTimeout; }
    void setOdbcDriver(const QString &driver) { m_odbcDriver = driver; }
    QString odbcDriver() const { return m_odbcDriver; }

    // Provider properties by name ("Data Source", "Initial Catalog", "User ID",
    // "Password", "Integrated Security"; "Connection Status" is read-only).
    void setProperty(const QString &name, const QVariant &value);
    QVariant property(const QString &name) const;
    // Everything set on the session, in the order it was set: "Provider",
    // "CursorLocation", "CommandTimeout", "ConnectionTimeout" and the provider
    // property names.
    QStringList propertyOrder() const { return m_propertyOrder; }
    // The ODBC connection string an open builds (or the one given as the
    // data source); empty for an embedded session.
    QString odbcConnectionString() const;
    // The time-outs an ODBC open gives the driver, from the connection
    // time-out.
    QString odbcConnectOptions() const;
    // Whether the ODBC driver took the command time-out as its query time-out.
    bool queryTimeoutApplied() const { return m_queryTimeoutApplied; }

    // Opens synchronously within the connection time-out. A failure carries
    // the driver's native number and text.
    void open();
    void setDefaultDatabase(const QString &catalog);
    int state() const;
    // 1 while the session works; anything else when it does not (over ODBC
    // also once a statement failed because the connection was lost; embedded
    // once a file it opened is gone, another file stands in its place or a
    // write was refused as read-only).
    int connectionStatus() const;
    // Embedded: which opened file is gone or replaced ("FILE was replaced",
    // "FILE is gone") or refused a write ("FILE is open read-only"); empty
    // while every one is the file it opened and takes writes.
    QString fileChange() const;
    void close();

    // Runs a batch; its results come as a chain: each statement without rows
    // gives a closed row set, each query an open one, in batch order. Over
    // ODBC the batch is one request to the server.
    RowSet::Ptr execute(const QString &batch);
    // From any thread: the statement under way stops as soon as the driver
    // can tell the server (SQLCancel; sqlite3_interrupt for the embedded
    // files) and fails; its transaction is the server's to undo. Nothing
    // happens when none runs.
    void cancel();
    // Where the session reports what it waits for; none by default.
    void setActivity(DbActivity *activity) { m_activity = activity; }
    // Runs one query and hands its rows over one at a time, keeping none:
    // a read that must not hold a whole day's rows at once. The row is
    // valid during the call only. Failures as execute's.
    void forEachRow(
        const QString &statement, const std::function<void(const RowSet::Row &)> &onRow);
    // One statement with "?" places for the values, prepared once and run
    // again with new values as long as the same text comes (the embedded
    // files' bulk insert). Failures as execute's.
    void executePrepared(const QString &statement, const QVariantList &values);

    Backend backend() const { return m_backend; }
    // Which open this is: a number no other open of this process had. What
    // was learned from a session's tables is learned again after a reopen.
    quint64 openSerial() const { return m_openSerial; }
    QString dataSource() const;
    QString catalog() const;
    // The folder of an embedded data source ("sqlite:FOLDER"), resolved.
    QString sqliteFolder() const;
    QSqlDatabase database() const;

    static Backend backendOf(const QString &dataSource);
    // Splits a batch into statements at ";" outside quotes and comments.
    static QStringList splitStatements(const QString &batch);
    // Whether a failed statement was refused because the row is already
    // there, as the server's own code tells it: SQL Server's native errors
    // 2627 (unique constraint) and 2601 (unique index), PostgreSQL's SQLSTATE
    // 23505, SQLite's primary key and unique constraint codes. Nothing else:
    // SQLSTATE 23000 also covers NOT NULL, CHECK and foreign key refusals.
    bool isDuplicateKey(const Failure &failure) const;
    // Whether a failed statement was refused for a right the login lacks:
    // SQL Server's native errors 229 (on the object) and 230 (on a column),
    // PostgreSQL's SQLSTATE 42501. The embedded files have no rights.
    bool isPermissionDenied(const Failure &failure) const;

private:
    // The classic "unspecified error" of a database client, for failures the
    // driver gives no number for.
    static constexpr int kUnspecifiedDbError = -2147467259;

    void openSqlite();
    void openOdbc();
    [[noreturn]] void failWith(
        const QSqlError &error, const QString &what, const QString &sqlState = QString()) const;
    // Runs one embedded statement (attempt: one try, its failure into the
    // given error), again while another program's lock keeps it out and
    // waiting is allowed (up to kEmbeddedLockWaitMs, and not after a stop
    // signal). False, with the last failure in error, when it failed.
    bool execSqlite(const QString &statement, const std::function<bool(QSqlError &)> &attempt,
        QSqlError &error);
    // A statement whose rows are read from SQLite's own library (readSqlite).
    static bool canReadDirectly(const QSqlDatabase &db, const QString &statement);
    static bool readSqlite(
        const QSqlDatabase &db, const QString &statement, RowSet::Ptr &rows, QSqlError &error);
    // Steps a query with SQLite's own library, one row at a time; shareTexts
    // holds each repeated text of a column once (for rows that are kept).
    static bool stepSqlite(const QSqlDatabase &db, const QString &statement, QStringList *names,
        const std::function<void(const RowSet::Row &)> &onRow, bool shareTexts, QSqlError &error);
    // executePrepared on an embedded file, bound with SQLite's own library;
    // false (nothing done) for a value of a type it does not bind as the SQL
    // module would.
    bool executePreparedSqlite(const QString &statement, const QVariantList &values);
    void applyOdbcQueryTimeout();
    // Stops the program when called from another thread than the session's.
    void checkThread(const char *what) const;
    // Runs work as the activity `what` (the session's catalog leads it).
    template <typename F> auto busy(const QString &what, int limitSeconds, F work);
    // execute() and forEachRow() in the session's state; each hands the
    // statements to its backend's path.
    RowSet::Ptr run(const QString &batch);
    void readEach(const QString &statement, const std::function<void(const RowSet::Row &)> &onRow);
    // The paths (DbSessionSqlite.cpp, DbSessionOdbc.cpp, DbSessionQtSql.cpp).
    void cancelSqlite();
    RowSet::Ptr runSqlite(const QSqlDatabase &db, const QString &batch);
    RowSet::Ptr runOdbc(const QSqlDatabase &db, const QString &batch);
    void readEachSqlite(const QSqlDatabase &db, const QString &statement,
        const std::function<void(const RowSet::Row &)> &onRow);
    void readEachOdbc(const QSqlDatabase &db, const QString &statement,
        const std::function<void(const RowSet::Row &)> &onRow);
    void readEachQtSql(const QSqlDatabase &db, const QString &statement,
        const std::function<void(const RowSet::Row &)> &onRow);
    // A query's rows as the SQL module hands them; a closed row set for a
    // statement without rows.
    static RowSet::Ptr fetchResult(QSqlQuery &query);
    [[noreturn]] void failWith(const OdbcStatement &statement);
    int odbcConnectionDead() const; // 1 dead, 0 alive, -1 unknown
    // The SQLSTATE of a failed statement's first diagnostic record.
    static QString odbcSqlState(QSqlQuery &query);

    // Which file a path names: device and inode where the host has them.
    struct FileIdentity
    {
        bool exists = false;
        quint64 device = 0;
        quint64 node = 0;
        bool operator==(const FileIdentity &o) const
        {
            return exists == o.exists && device == o.device && node == o.node;
        }
    };
    static FileIdentity identityOf(const QString &path);
    // An opened file with its write-ahead log and shared index as they were
    // while the session had them open.
    struct OpenedFile
    {
        QString path;
        FileIdentity file, wal, shm;
    };
    void rememberFile(const QString &path);
    void rememberLogs();
    void removeStaleLogs();

    QString m_provider;
    int m_cursorLocation = 3;
    int m_commandTimeout = 30;
    int m_connectionTimeout = 15;
    QString m_odbcDriver = QStringLiteral("ODBC Driver 18 for SQL Server");
    QHash<QString, QVariant> m_properties; // keys folded to lower case
    std::unique_ptr<QSqlQuery> m_prepared; // executePrepared's statement
    std::shared_ptr<sqlite3_stmt> m_sqlitePrepared; // the same, on an embedded file
    QString m_preparedText;
    QStringList m_propertyOrder;
    QString m_connectionName;
    Backend m_backend = Backend::Sqlite;
    bool m_open = false;
    quint64 m_openSerial = 0;
    bool m_executing = false;
    bool m_queryTimeoutApplied = false;
    bool m_rteAttached = false;
    bool m_connectionLost = false; // a statement failed for want of the connection
    // Embedded: a write was refused because the file is open read-only (a
    // read-only copy put in its place, or its mode when it was opened); the
    // session is reopened at the next check to take the file as it is now.
    mutable bool m_writeRefused = false;
    bool m_transactionOpen = false; // embedded: a BEGIN not yet ended
    QList<OpenedFile> m_files; // embedded: the files opened
    QThread *m_owner;
    DbActivity *m_activity = nullptr;
    // Where another thread cancels the statement under way: the ODBC
    // statement, or the embedded connection (under its lock while open).
    std::shared_ptr<OdbcStatement::CancelPoint> m_cancel
        = std::make_shared<OdbcStatement::CancelPoint>();
    QMutex m_sqliteHandleMutex;
    void *m_sqliteHandle = nullptr; // sqlite3* while open
};
