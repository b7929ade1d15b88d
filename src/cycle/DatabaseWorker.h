#pragma once

#include "common/DbStatus.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "db/SqlConnect.h"
#include "db/mdlQueries.h"
#include "model/RouteTimes.h"
#include "platform/Failure.h"

#include <QDate>
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class Clock;
class DbActivity;
class ErrorLog;
class MenuMarks;
class Settings;

// What the database cycle hands the database thread for one cycle's
// database stage: the session checks and repairs, the selection and the
// route-times read.
struct StageRequest
{
    DataSource source; // what a repair opens
    QueryMode mode = QueryMode::QueryAll;
    StatusRows rows; // what the status rows are written from
    bool saveQuery = false; // the menu requests the selection carries out
    bool dbCommand = false;
    bool debugCurrent = false;
    bool debugAll = false;
    // The keys of the day's lines, in their order, as the selection will
    // find them (none after the day boundary): the rules are read for these
    // and the lines the rows will make.
    QStringList lineKeys;
    QDate today; // the route rules' window
    // A standby pair: the term the writes go with, the check before each
    // batch of Scheds inserts, and whether what Scheds holds is to be read
    // again from the table (the first stage of a new term: the other
    // gateway stored versions meanwhile). Unset: no pair.
    LeaseFence fence;
    std::function<bool()> writeGate;
    bool relearnScheds = false;
};

// What it gives back.
struct StageReply
{
    // The sessions' check and repair: where it went to the cycle's failure
    // exit, and why.
    bool exit = false;
    QString sStatus;
    double sngStep = 0;
    std::optional<Failure> failure;
    bool repairFailed = false; // a reopen failed: the status popup may show
    std::optional<Failure> openFailure; // and why
    bool dbGood = false; // the sessions were good or repaired
    bool jobsReopened = false;
    bool orvikDbReopened = false;

    // The selection, when the sessions were good.
    bool selected = false;
    mdlQueries::Selection selection;
    bool linesStored = false; // the line list was written ('CRLST')
    bool saveQuery = false, dbCommand = false, debugCurrent = false, debugAll = false;
    int schedsInserted = 0;
    RouteRules rules;

    DbStatus status;
};

// The database thread's side: it owns both sessions, the session opener,
// the job selection with its memory of what Scheds holds, and runs every
// statement of the gateway. Its functions run on that thread only (the
// DatabaseThread that owns it calls them there); cancel() alone may come
// from another.
class DatabaseWorker : public QObject
{
    Q_OBJECT
public:
    struct OpenResult
    {
        bool ok = false;
        std::optional<Failure> failure;
        DbStatus status;
    };

    DatabaseWorker(
        const QString &programFolder, const Clock &clock, ErrorLog &log, DbActivity &activity);
    ~DatabaseWorker() override;

    // Makes the parts; on the database thread, before anything else.
    void start();

    OpenResult open(SqlConnect::Which which, const DataSource &source);
    StageReply runStage(const StageRequest &request);
    RouteRules readRules(const QString &routeList, const QDate &today);
    void closeJobs();
    void closeAll();
    DbStatus status() const;

    // From any thread: the statement under way is cancelled.
    void cancel();

    // For tests and benchmarks, on the database thread.
    Sessions &sessions() { return m_sessions; }
    SqlConnect &opener() { return *m_connect; }
    mdlQueries &queries() { return *m_queries; }
    SqlConnect &sqlConnect() { return *m_connect; }

private:
    // Steps 8 to 23 of the cycle: false (with the reply's exit set) when the
    // cycle goes to its failure exit.
    bool checkSessions(StageReply &reply, const DataSource &source);
    bool repair(bool jobs, StageReply &reply);
    void noteFileChange(const DbSession &session, const QString &sStatus);
    // The rules on the second session; a session found lost on the way is
    // opened once more first, so that no line goes without its stops for it.
    RouteRules readRulesOnce(const QString &routeList, const QDate &today);
    void keepCancelTargets();

    QString m_folder;
    const Clock &m_clock;
    ErrorLog &m_log;
    DbActivity &m_activity;
    std::unique_ptr<Settings> m_settings; // the thread's own reader of the file
    Sessions m_sessions;
    StatusRows m_rows; // what the cycle handed over
    std::unique_ptr<MenuMarks> m_marks;
    std::unique_ptr<SqlConnect> m_connect;
    std::unique_ptr<mdlQueries> m_queries;

    bool m_lastRulesReopened = false;

    // The sessions as cancel() finds them from another thread.
    mutable QMutex m_cancelMutex;
    std::shared_ptr<DbSession> m_cancelJobs, m_cancelOrvikDb;
};
