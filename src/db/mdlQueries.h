#pragma once

#include "db/LeaseStatements.h"
#include "platform/RowSet.h"

#include <QDate>
#include <QHash>
#include <QString>
#include <QVariant>

#include <functional>
#include <vector>

class Clock;
class Failure;
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
        bool fenced = false; // the server refused the writes: the lease is another's
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
    // One insert into Scheds per job version not yet stored, on the second
    // session: a job's version is new when it differs from the last one this
    // run stored for its key, so a correction back to earlier values is
    // stored again. A row the table refuses as already there counts as
    // stored; any other refusal ends the call (the rows before stay). Over a
    // server the inserts go kSchedsBatchRows to a text, all or nothing; a
    // refused text goes again in halves, down to single rows.
    void InsertScheds(RowSet &rs);

    // Rows per batch: one round trip (half a millisecond on loopback, 20 ms
    // to a site's server across its network) then weighs 20 microseconds
    // per row or less, beside the server's own work on it; the text stays
    // near 250 KB; and a refused text costs about two texts per halving
    // (some 20) on its way again.
    static constexpr int kSchedsBatchRows = 1000;

    // The line text of a route code: 10512 -> 51-21, 234561 -> 456-13.
    static QString lineText(const QVariant &makat);

    // The warning of a login that may insert into Scheds but not read it.
    static QString selectRefusedText();

    QDate dLastPurge() const { return m_dLastPurge; }
    // A standby pair's fence: while set, every write of the jobs session
    // goes with it, so that the server takes it only while this gateway's
    // term holds the lease. Unset: the writes go as they are.
    void setFence(const LeaseFence &fence) { m_fence = fence; }
    // Asked before each batch of Scheds inserts, which the fence cannot
    // reach (another session, maybe another server): whether this gateway
    // still holds the lease by its own clock. None: always.
    void setWriteGate(std::function<bool()> gate) { m_writeGate = std::move(gate); }
    // Run on the selected rows before anything reads them, the schedules
    // insert first: what the rows' readers all need made once (their prints).
    void setPrepareRows(std::function<void(RowSet &)> prepare)
    {
        m_prepareRows = std::move(prepare);
    }
    // What this run stored is forgotten: the next call learns from the table
    // what is there (another gateway of a pair stored versions meanwhile).
    void relearnStored();
    // Whether a failure is the fence's refusal (the lease is another's).
    static bool isFenced(const Failure &failure);
    // How many jobs of the day have their last version known to be in Scheds.
    int storedCount() const { return int(m_last.size()); }
    // How many rows the last InsertScheds sent to the table.
    int lastInserted() const { return m_lastInserted; }

private:
    // Runs a write batch of the jobs session, fenced when a fence is set; a
    // failed fenced batch leaves no transaction open.
    RowSet::Ptr write(DbSession &cn, const QString &batch);
    LeaseFence m_fence;
    std::function<bool()> m_writeGate;
    std::function<void(RowSet &)> m_prepareRows;
    quint64 m_fenceSetupSession = 0; // the open serial the fence was set up on

    const Sessions &m_sessions;
    StatusRows &m_rows;
    MenuMarks &m_marks;
    const Clock &m_clock;
    ErrorLog &m_log;
    QString m_programFolder;
    QDate m_dLastPurge{1899, 12, 30}; // the zero date: the first call purges
    // Rows of the day that share a PKID (a Jobs table without its key) are
    // each taken as they are; every such PKID is told once a day. They are
    // kept in m_sharedKeys for InsertScheds, where each of them is a job of
    // its own (versionKey).
    void tellSharedKeys(RowSet &rs, const QDate &day);
    QSet<qint64> m_sharedKeys; // of the selection at hand
    QSet<qint64> m_sharedKeysTold;
    QDate m_sharedKeysDay;
    // The key a row's versions are remembered by: its PKID, or, for a PKID
    // that rows of the day share, the PKID with the job's vehicle and record
    // (else the rows would pass for corrections of one another, each stored
    // again at every cycle).
    qint64 versionKey(qint64 pkid, const QVariant &recId, const QString &carNum) const;
    // Reads the day's rows of Scheds into m_inTable (hashes of their values,
    // never the rows). Returns the count.
    int learnStored(DbSession &cn, const SqlDialect &dialect, const QDateTime &dayStart);
    bool inTable(quint64 values) const;
    // Whether the job version (its key, PKID, and a hash of its values) goes
    // to the table; again: it was stored by this run before the session was
    // reopened, and the table read since lacks it.
    bool isNew(qint64 key, quint64 values, bool *again);

    // The last version of each job of the operational day known to be in
    // Scheds, by its key: every cycle offers the whole day again and a
    // version is stored when it is not the job's last one. own: stored by
    // this run (inserted, or refused as already there); else found in the
    // table, which keeps no order of its rows, so it is the last only as far
    // as that version goes. The first call of a run, of a day or on a
    // reopened session learns from the table what is there (m_inTable), so
    // that a restart adds no copies to a table without a key, and a table
    // restored without some rows gets them back.
    struct Last
    {
        quint64 values = 0;
        bool own = false;
        // The print of the row this version was last seen in (0: none): the
        // same row offered again is this version, and is passed over
        // without being converted again.
        quint64 row = 0;
    };
    QHash<qint64, Last> m_last;
    // What this run stored before the session was reopened, by key, until
    // the job is offered again: still its last version, whatever the table
    // read since holds.
    QHash<qint64, quint64> m_storedBefore;
    int m_lastInserted = 0;
    std::vector<quint64> m_inTable; // sorted
    QDate m_storedDay;
    quint64 m_storedSession = 0; // the open serial of the session it was learned on
    bool m_selectRefused = false; // told once until the read works again
};
