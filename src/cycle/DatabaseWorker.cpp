#include "cycle/DatabaseWorker.h"

#include "common/DbNames.h"
#include "common/MenuMarks.h"
#include "db/SqlDialect.h"
#include "diag/ErrorLog.h"
#include "model/JobsProcessor.h"
#include "platform/Clock.h"
#include "platform/DbActivity.h"
#include "platform/DbSession.h"
#include "settings/Settings.h"

namespace {

// A session left absent (a reopen that failed while its server was away)
// reads as closed, so that the cycle keeps trying to open it.
int sessionState(const std::shared_ptr<DbSession> &session)
{
    return session ? session->state() : int(DbSession::Closed);
}

DbStatus::Session statusOf(const std::shared_ptr<DbSession> &session)
{
    DbStatus::Session s;
    if (!session)
        return s;
    s.present = true;
    s.state = session->state();
    s.connectionStatus = s.state == DbSession::Closed ? 0 : session->connectionStatus();
    s.dataSource = session->property(QStringLiteral("Data Source")).toString();
    return s;
}

} // namespace

DatabaseWorker::DatabaseWorker(
    const QString &programFolder, const Clock &clock, ErrorLog &log, DbActivity &activity)
    : m_folder(programFolder), m_clock(clock), m_log(log), m_activity(activity)
{
}

DatabaseWorker::~DatabaseWorker() = default;

void DatabaseWorker::start()
{
    m_settings = std::make_unique<Settings>(m_folder);
    m_settings->setLog(&m_log);
    m_marks = std::make_unique<MenuMarks>();
    m_connect = std::make_unique<SqlConnect>(*m_settings, m_sessions, m_clock, m_log, &m_activity);
    m_queries
        = std::make_unique<mdlQueries>(m_sessions, m_rows, *m_marks, m_clock, m_log, m_folder);
    // The merge's prints, made once where the rows are read: the schedules
    // insert passes over the rows whose print it stored last cycle, and the
    // merge over the rows whose trips it made from the same print.
    m_queries->setPrepareRows(&JobsProcessor::keepRowPrints);
}

DbStatus DatabaseWorker::status() const
{
    DbStatus st;
    st.jobs = statusOf(m_sessions.cnJobs);
    st.orvikDb = statusOf(m_sessions.cnORVIKDB);
    return st;
}

void DatabaseWorker::keepCancelTargets()
{
    QMutexLocker lock(&m_cancelMutex);
    m_cancelJobs = m_sessions.cnJobs;
    m_cancelOrvikDb = m_sessions.cnORVIKDB;
}

void DatabaseWorker::cancel()
{
    std::shared_ptr<DbSession> jobs, orvikDb;
    {
        QMutexLocker lock(&m_cancelMutex);
        jobs = m_cancelJobs;
        orvikDb = m_cancelOrvikDb;
    }
    for (const auto &session : {jobs, orvikDb}) {
        if (session)
            session->cancel();
    }
}

DatabaseWorker::OpenResult DatabaseWorker::open(SqlConnect::Which which, const DataSource &source)
{
    m_sessions.strSQLServer = source.strSQLServer;
    m_sessions.strCatalog = source.strCatalog;
    OpenResult r;
    r.ok = m_connect->SQLConnect(which);
    r.failure = m_connect->lastFailure();
    keepCancelTargets();
    r.status = status();
    return r;
}

void DatabaseWorker::closeJobs()
{
    const std::shared_ptr<DbSession> &jobs = m_sessions.cnJobs;
    if (jobs && jobs->state() != DbSession::Closed)
        jobs->close();
}

void DatabaseWorker::closeAll()
{
    for (const auto &session : {m_sessions.cnJobs, m_sessions.cnORVIKDB}) {
        if (session)
            session->close();
    }
}

void DatabaseWorker::noteFileChange(const DbSession &session, const QString &sStatus)
{
    // A repaired session leaves no record of its own: the file that was
    // replaced (a restore) or removed is told here, once, before the reopen.
    const QString change = session.fileChange();
    if (!change.isEmpty())
        m_log.Err2File(QStringLiteral("tmrDB_Timer"), sStatus + QStringLiteral(" - ") + change, 0,
            QString(), QStringLiteral("Debug.TXT"));
}

bool DatabaseWorker::repair(bool jobs, StageReply &reply)
{
    reply.sngStep = jobs ? 16 : 23;
    const bool ok
        = m_connect->SQLConnect(jobs ? SqlConnect::Which::Jobs : SqlConnect::Which::OrvikDb);
    keepCancelTargets();
    if (!ok) {
        reply.sngStep = jobs ? 18 : 23;
        const auto &session = jobs ? m_sessions.cnJobs : m_sessions.cnORVIKDB;
        // A session left absent by the failed reopen reads as closed.
        reply.sStatus
            = QStringLiteral("SQL Server State - ") + QString::number(sessionState(session));
        reply.repairFailed = true;
        reply.openFailure = m_connect->lastFailure();
        reply.sngStep = jobs ? 19 : 23;
        return false;
    }
    reply.sngStep = jobs ? 20 : 23;
    (jobs ? reply.jobsReopened : reply.orvikDbReopened) = true;
    reply.dbGood = true;
    reply.sStatus.clear();
    return true;
}

bool DatabaseWorker::checkSessions(StageReply &reply, const DataSource &source)
{
    m_sessions.strSQLServer = source.strSQLServer;
    m_sessions.strCatalog = source.strCatalog;
    QString &sStatus = reply.sStatus;
    double &sngStep = reply.sngStep;
    bool bJobsBad = false;
    bool bORVIKDBBad = false;
    bool exited = false;
    // A step that goes to the failure exit without a failure: number 0, no text.
    auto exitCycle = [&] {
        exited = true;
        return false;
    };
    const auto failure = trapFailure([&] {
        sngStep = 8;
        if (sessionState(m_sessions.cnJobs) & DbSession::Connecting) {
            sStatus = QStringLiteral("JOBS Server State - Connecting");
            sngStep = 9;
            return exitCycle();
        }
        if (sessionState(m_sessions.cnORVIKDB) & DbSession::Connecting) {
            sStatus = QStringLiteral("ORVIKDB Server State - Connecting");
            sngStep = 9;
            return exitCycle();
        }

        sngStep = 10;
        const int jobsState = sessionState(m_sessions.cnJobs);
        if (!(jobsState & DbSession::Open) && !(jobsState & DbSession::Executing)) {
            sngStep = 11;
            bJobsBad = true;
            sStatus = QStringLiteral("JOBS Server State - Broken");
        }
        const int orvikState = sessionState(m_sessions.cnORVIKDB);
        if (!(orvikState & DbSession::Open) && !(orvikState & DbSession::Executing)) {
            sngStep = 11;
            bORVIKDBBad = true;
            sStatus = QStringLiteral("ORVIKDB Server State - Broken");
        }

        sngStep = 12;
        if (!bJobsBad) {
            sngStep = 13;
            if (m_sessions.cnJobs->connectionStatus() != 1) {
                bJobsBad = true;
                sStatus = QStringLiteral("SQL Server State - Not Functions");
                noteFileChange(*m_sessions.cnJobs, sStatus);
            }
            sngStep = 14;
        }
        if (!bORVIKDBBad) {
            sngStep = 13;
            if (m_sessions.cnORVIKDB->connectionStatus() != 1) {
                bORVIKDBBad = true;
                sStatus = QStringLiteral("ORVIKDB Server State - Not Functioning");
                noteFileChange(*m_sessions.cnORVIKDB, sStatus);
            }
            sngStep = 14;
        }

        sngStep = 15;
        if (bJobsBad) {
            if (!repair(true, reply))
                return exitCycle();
        } else {
            sngStep = 22;
            reply.dbGood = true;
            sStatus.clear();
        }

        sngStep = 23;
        if (bORVIKDBBad && !repair(false, reply))
            return exitCycle();
        sngStep = 23;
        sStatus = QStringLiteral("Reset colLines at 4:00 AM");
        return true;
    });
    if (!failure && !exited)
        return true;
    reply.exit = true;
    reply.failure = failure;
    return false;
}

StageReply DatabaseWorker::runStage(const StageRequest &request)
{
    StageReply reply;
    if (!checkSessions(reply, request.source)) {
        reply.status = status();
        return reply;
    }

    // The selection, with the status texts and menu requests of the moment.
    m_rows = request.rows;
    m_marks->setChecked(MenuMarks::mnuSaveQuery, request.saveQuery);
    m_marks->setChecked(MenuMarks::mnuDB, request.dbCommand);
    m_marks->bDBCommand = request.dbCommand;
    m_marks->setChecked(MenuMarks::mnuDebugCurrent, request.debugCurrent);
    m_marks->setChecked(MenuMarks::mnuDebugAll, request.debugAll);
    QueryMode mode = request.mode;
    reply.selected = true;
    m_queries->setFence(request.fence);
    m_queries->setWriteGate(request.writeGate);
    if (request.relearnScheds)
        m_queries->relearnStored();
    reply.selection = m_queries->QueryDB(mode);
    reply.schedsInserted = m_queries->lastInserted();
    reply.linesStored = request.rows.bLinesChanged && !m_rows.bLinesChanged;
    reply.saveQuery = m_marks->checked(MenuMarks::mnuSaveQuery);
    reply.dbCommand = m_marks->bDBCommand;
    reply.debugCurrent = m_marks->checked(MenuMarks::mnuDebugCurrent);
    reply.debugAll = m_marks->checked(MenuMarks::mnuDebugAll);

    // The rules for the lines the day will have once the rows are merged:
    // read here, so that the merge and the stops are one step over there.
    if (reply.selection.rows) {
        // Sorted here as the merge reads them, off the event thread (the
        // prints go along).
        trapFailure([&] { reply.selection.rows->setSort(JobsProcessor::kMergeOrder); });
        QString list;
        const auto bad = trapFailure(
            [&] { list = JobsProcessor::routeListAfter(request.lineKeys, *reply.selection.rows); });
        // A row set the merge cannot read fails it there too, with its record.
        if (!bad && !list.isEmpty()) {
            reply.rules = readRulesOnce(list, request.today);
            reply.orvikDbReopened = reply.orvikDbReopened || m_lastRulesReopened;
        }
    }
    reply.status = status();
    return reply;
}

RouteRules DatabaseWorker::readRules(const QString &routeList, const QDate &today)
{
    return readRulesOnce(routeList, today);
}

RouteRules DatabaseWorker::readRulesOnce(const QString &routeList, const QDate &today)
{
    m_lastRulesReopened = false;
    RouteRules rules;
    rules.routeList = routeList;
    auto lost = [this] {
        const std::shared_ptr<DbSession> &cn = m_sessions.cnORVIKDB;
        return !cn || cn->state() == DbSession::Closed || cn->connectionStatus() != 1;
    };
    auto reopen = [this] {
        m_lastRulesReopened = m_connect->SQLConnect(SqlConnect::Which::OrvikDb);
        keepCancelTargets();
        return m_lastRulesReopened;
    };
    // The schedules insert may have found the session gone a moment ago.
    if (lost() && !reopen()) {
        rules.failure = m_connect->lastFailure();
        return rules;
    }
    rules = RouteTimes::read(m_sessions.cnORVIKDB, routeList, today);
    if (rules.failure && lost() && reopen())
        rules = RouteTimes::read(m_sessions.cnORVIKDB, routeList, today);
    return rules;
}
