#pragma once

#include "platform/RowSet.h"

#include <QDate>
#include <QSet>
#include <QString>
#include <QVariant>

#include <vector>

class Clock;
class DbSession;
class ErrorLog;
class SqlDialect;
class MenuMarks;
struct Sessions;
struct StatusRows;

// The job selection's two modes. Both run the full query.
enum class QueryMode { QueryAll, QueryTrigger };

// The job selection of each database cycle and the copy of its rows into
// Scheds.
class mdlQueries
{
public:
    // What one selection gave the cycle.
    struct Selection
    {
        bool failed = false; // a failure or a step without rows ended it; logged here
        RowSet::Ptr rows; // the day's rows, already copied into Scheds; null when none
    };

    // marks: the save-query, database-command and dump requests it carries
    // out. programFolder: where the dumps go.
    mdlQueries(const Sessions &sessions, StatusRows &rows, MenuMarks &marks, const Clock &clock,
        ErrorLog &log, const QString &programFolder);

    // Writes the gateway's health, purges once a calendar day, marks, reads
    // and releases the operational day's jobs in one batch and copies the
    // rows into Scheds; the cycle hands them on to the jobs processing.
    // Always runs the full query: sType reads QueryAll afterwards.
    Selection QueryDB(QueryMode &sType);
    // One insert into Scheds per row not yet stored this operational day, on
    // the second session. A row the table refuses as already there counts as
    // stored; any other refusal ends the call (the rows before stay). Over a
    // server the inserts go kSchedsBatchRows to a text, all or nothing; a
    // refused batch goes again row by row.
    void InsertScheds(RowSet &rs);

    // Rows per batch: one round trip (half a millisecond on loopback, more
    // to a site's server) then weighs a few microseconds per row, beside
    // the server's own work on it; the text stays near 50 KB; and a refused
    // batch costs at most this many single inserts on its way again.
    static constexpr int kSchedsBatchRows = 200;

    // The line text of a route code: 10512 -> 51-21, 234561 -> 456-13.
    static QString lineText(const QVariant &makat);

    QDate dLastPurge() const { return m_dLastPurge; }
    // How many job versions of the day are known to be in Scheds.
    int storedCount() const { return int(m_stored.size()); }
    // How many rows the last InsertScheds sent to the table.
    int lastInserted() const { return m_lastInserted; }

private:
    const Sessions &m_sessions;
    StatusRows &m_rows;
    MenuMarks &m_marks;
    const Clock &m_clock;
    ErrorLog &m_log;
    QString m_programFolder;
    QDate m_dLastPurge{1899, 12, 30}; // the zero date: the first call purges
    // Rows of the day that share a PKID (a Jobs table without its key) are
    // each taken as they are; every such PKID is told once a day.
    void tellSharedKeys(RowSet &rs, const QDate &day);
    QSet<qint64> m_sharedKeysTold;
    QDate m_sharedKeysDay;
    // Reads the day's rows of Scheds into m_inTable (hashes of their values,
    // never the rows); what m_stored held is forgotten. Returns the count.
    int learnStored(DbSession &cn, const SqlDialect &dialect, const QDateTime &dayStart);
    bool inTable(quint64 values) const;

    // Each job version (its key, PKID, with the values it carries) of the
    // operational day known to be in Scheds, by a hash of both: every cycle
    // offers the whole day again and each version is stored once. The first
    // call of a run, of a day or on a reopened session learns from the table
    // what is there (m_inTable), so that a restart adds no copies to a table
    // without a key, and a table restored without some rows gets them back.
    QSet<quint64> m_stored;
    int m_lastInserted = 0;
    std::vector<quint64> m_inTable; // sorted
    QDate m_storedDay;
    quint64 m_storedSession = 0; // the open serial of the session it was learned on
};
