#include "app/DatabaseCycle.h"

#include "app/StatusReport.h"
#include "common/DbNames.h"
#include "common/MapProtocol.h"
#include "common/MenuMarks.h"
#include "common/Sessions.h"
#include "common/Ui.h"
#include "db/SqlConnect.h"
#include "db/mdlQueries.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "maplink/MapLink.h"
#include "model/DayModel.h"
#include "model/JobsProcessor.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <cmath>

namespace {

// The state flags of a session. A session left absent (a reopen that failed
// while its server was away) reads as closed, so that the cycle keeps trying
// to open it instead of failing on it until someone reconnects by hand.
int sessionState(const std::shared_ptr<DbSession> &session)
{
    return session ? session->state() : int(DbSession::Closed);
}

} // namespace

DatabaseCycle::DatabaseCycle(Parts parts, LinkState &link, DayModel &day, const Sessions &sessions,
    MapSocket &sckMap, MenuMarks &marks, const Settings &settings, Ui &ui, const Clock &clock,
    ErrorLog &log, QObject *parent)
    : QObject(parent),
      m_parts(parts),
      m_link(link),
      m_day(day),
      m_sessions(sessions),
      m_sckMap(sckMap),
      m_marks(marks),
      m_settings(settings),
      m_ui(ui),
      m_clock(clock),
      m_log(log)
{
    // Switched off until the supervisor has both sessions open.
    m_tmrDB.setInterval(100);
    connect(&m_tmrDB, &QTimer::timeout, this, &DatabaseCycle::tmrDB_Timer);
    connect(&m_sckMap, &MapSocket::drained, this, &DatabaseCycle::resumePush);
    connect(&m_sckMap, &MapSocket::connected, this, &DatabaseCycle::mapConnected);
}

void DatabaseCycle::mapConnected()
{
    // A line list request sent on the connection before is no answer this
    // one can give: the new connection is asked at the next tick, not 30 s
    // after a request it never saw.
    m_link.dtLastQSent = DateTime::zero();
    m_linesAsked = 0;
    m_parts.sendScheds.restartRound();
}

void DatabaseCycle::enableTimer()
{
    if (!m_tmrDB.isActive())
        m_tmrDB.start();
}

void DatabaseCycle::start()
{
    m_started = true;
    m_tmrDB.setInterval(1000);
    enableTimer();
}

void DatabaseCycle::stop()
{
    m_tmrDB.stop();
}

void DatabaseCycle::setLastQueryAll(const QDateTime &moment)
{
    m_dtLastQueryAll = moment;
    m_dLastQueryDay = DateTime::operationalDay(moment);
}

void DatabaseCycle::lineListReceived()
{
    m_dtLastQueryAll = DateTime::zero();
    m_linesAsked = 0;
    enableTimer();
}

bool DatabaseCycle::askForLines()
{
    if (m_linesAsked >= kUnansweredLineRequests) {
        // The connection is up but the server answers nothing: a stopped
        // process or a hung host. The cycle connects again.
        m_log.Err2File(QStringLiteral("tmrDB_Timer"),
            QStringLiteral("The map server answered none of the last %1 line list requests: "
                           "connection given up")
                .arg(m_linesAsked),
            0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
        m_linesAsked = 0;
        m_parts.mapLink.noteLost();
        m_sckMap.close();
        return false;
    }
    ++m_linesAsked;
    m_sckMap.send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
    return true;
}

void DatabaseCycle::resumePush()
{
    // A cycle under way pushes by itself at its end.
    if (m_inCycle || m_sckMap.state() != MapSocket::State::Connected)
        return;
    QString type = QStringLiteral("Send New");
    QString buf;
    m_parts.sendScheds.ProcessExpLineSchedReq(type, buf);
}

int DatabaseCycle::intervalSeconds(const QString &text)
{
    // An empty value (a settings key present but empty) means the default.
    if (text.trimmed().isEmpty())
        return kDefaultIntervalSeconds;
    if (!Convert::isNumeric(text))
        throw Failure(Failure::TypeMismatch);
    const double seconds = std::nearbyint(Convert::toDouble(text));
    return int(std::clamp<double>(seconds, kMinIntervalSeconds, kMaxIntervalSeconds));
}

void DatabaseCycle::tmrDB_Timer()
{
    // A message box or the logon dialog's wait runs an event loop inside a
    // cycle; a tick that arrives meanwhile must not start a second one.
    if (m_inCycle)
        return;
    m_inCycle = true;
    m_sinceTick.start();
    const auto leave = qScopeGuard([this] { m_inCycle = false; });
    LinkState &link = m_link;
    MapSocket &sck = m_sckMap;
    QString sStatus;
    double sngStep = 0;
    bool bJobsBad = false;
    bool bORVIKDBBad = false;
    auto now = [this] { return m_clock.now(); };
    // A step that goes to the failure exit without a failure: number 0, no text.
    auto exitCycle = [] { throw Failure(0, QString()); };

    const auto failure = trapFailure([&] {
        // The line list was asked for: wait for its answer (the timer keeps running).
        if (link.bRequestLines && DateTime::secondsBetween(link.dtLastQSent, now()) < 30)
            return;
        if (link.bRequestLines && sck.state() == MapSocket::State::Connected) {
            sngStep = 2;
            link.dtLastQSent = now();
            sngStep = 3;
            if (askForLines())
                return;
        }

        sngStep = 4;
        m_tmrDB.stop();
        // Every way out of the cycle from here on, the failure exit included,
        // switches the timer on again.
        const auto restart = qScopeGuard([this] { enableTimer(); });
        // An emptied box keeps its remembered value until the operator
        // types a new one, so the cycle goes on meanwhile.
        const QString text = m_intervalText.isEmpty() ? m_intervalTag : m_intervalText;
        const int ms = intervalSeconds(text) * 1000;
        if (m_tmrDB.interval() != ms)
            m_tmrDB.setInterval(ms);

        sngStep = 5;
        sngStep = 6;
        // A part that fails switches the timer on at once; the countdown
        // then runs while the cycle goes on.
        if (!m_parts.statusReport.ShowStatuses())
            enableTimer();

        sngStep = 7;
        if (DateTime::minutesBetween(link.dtLinesTime, now()) > 60)
            link.bRequestLines = true;
        if (sck.state() == MapSocket::State::Connected
            && sck.msSinceHeard() > qint64(kQuietSeconds) * 1000)
            link.bRequestLines = true;

        sngStep = 8;
        if (sessionState(m_sessions.cnJobs) & DbSession::Connecting) {
            sStatus = QStringLiteral("JOBS Server State - Connecting");
            sngStep = 9;
            exitCycle();
        }
        if (sessionState(m_sessions.cnORVIKDB) & DbSession::Connecting) {
            sStatus = QStringLiteral("ORVIKDB Server State - Connecting");
            sngStep = 9;
            exitCycle();
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
            if (!repairSession(true, sStatus, sngStep))
                exitCycle();
        } else {
            sngStep = 22;
            m_dtLastDBGood = now();
            sStatus.clear();
        }

        sngStep = 23;
        if (bORVIKDBBad && !repairSession(false, sStatus, sngStep))
            exitCycle();

        sngStep = 23;
        sStatus = QStringLiteral("Reset colLines at 4:00 AM");
        // The day boundary: the last full query ran before 04:00 (a refresh
        // or a "$Q" answer set it to zero, whose time is 00:00) and now is
        // later, so the day is dropped and built anew from a full query;
        // that is how the trips of jobs deleted or moved to another route
        // leave the map. An outage that passed 04:00 unseen, whatever the
        // time of the last query, drops it too.
        const QDate today = DateTime::operationalDay(now());
        const bool crossed4am = m_dtLastQueryAll.time() < DateTime::dayStartsAt()
            && now().time() >= DateTime::dayStartsAt();
        if (crossed4am || m_dLastQueryDay != today) {
            // A new operational day: the day's lines are dropped.
            m_day.colLines.reset();
            runSelection(QueryMode::QueryAll);
            m_dtLastQueryAll = now();
            m_dLastQueryDay = today;
        } else if (DateTime::minutesBetween(m_dtLastQueryAll, now()) < 30) {
            sngStep = 24;
            runSelection(QueryMode::QueryTrigger);
        } else {
            sngStep = 25;
            runSelection(QueryMode::QueryAll);
            m_dtLastQueryAll = now();
            m_dLastQueryDay = today;
        }

        sngStep = 26;
        sStatus = QStringLiteral("QRun");
        if (sck.state() == MapSocket::State::Connected && link.bRequestLines) {
            sngStep = 27;
            link.dtLastQSent = now();
            sngStep = 28;
            if (askForLines()) {
                sngStep = 29;
                return;
            }
        }

        sngStep = 30;
        sStatus = QStringLiteral("Send Tickets");
        sngStep = 31;
        const MapSocket::State mapState = sck.state();
        if (mapState != MapSocket::State::Connecting && mapState != MapSocket::State::Connected) {
            sngStep = 32;
            sStatus = QStringLiteral("Map State - ") + QString::number(int(mapState));
            m_parts.mapLink.noteLost();
            sngStep = 33;
            sck.close();
            m_linesAsked = 0;
            sngStep = 34;
            if (sck.state() == MapSocket::State::Closed)
                sck.connectToHost();
            sngStep = 35;
            // Retry every second until the map is back; a later full
            // cycle restores the configured interval.
            m_tmrDB.setInterval(1000);
            sngStep = 35.5;
            exitCycle();
        }

        sngStep = 36;
        if (sck.state() == MapSocket::State::Connected) {
            QString type = QStringLiteral("Send New");
            QString buf;
            m_parts.sendScheds.ProcessExpLineSchedReq(type, buf);
            m_parts.sendScheds.checkRound(qint64(kSlowRoundIntervals) * m_tmrDB.interval() / 1000);
        }
        sngStep = 37;
        sngStep = 38;
        m_marks.uncheck(MenuMarks::mnuRefresh);
        sngStep = 39;
    });
    if (!failure) {
        m_log.endRepeats(QStringLiteral("tmrDB_Timer"));
        return;
    }

    sngStep = sngStep * 100 + 1;
    enableTimer(); // already on again when the failure came after step 4
    sngStep = sngStep + 1;
    m_log.Err2File(QStringLiteral("tmrDB_Timer"),
        sStatus + QStringLiteral(" Step: ") + QString::number(sngStep, 'g', 12), failure->number(),
        failure->description(), QStringLiteral("Debug.TXT"));
    m_marks.uncheck(MenuMarks::mnuRefresh);
}

void DatabaseCycle::runSelection(QueryMode mode)
{
    const mdlQueries::Selection selection = m_parts.queries.QueryDB(mode);
    if (selection.failed)
        enableTimer();
    if (!selection.rows)
        return;
    // The day's lines are whole until the processing begins: a map request
    // that came during the selection is answered now, from them.
    serveMap();
    if (!m_parts.jobsProcessor.ProcessScheduleTrigRecs(*selection.rows))
        enableTimer();
    // The refresh request is carried out once the rows are processed.
    m_marks.uncheck(MenuMarks::mnuRefresh);
    // Whole again: what came during the processing is answered before the push.
    serveMap();
}

void DatabaseCycle::serveMap()
{
    // Only between stages, where colLines is whole; no second cycle starts
    // (m_inCycle), and the operator's input waits for the cycle's end.
    if (m_sckMap.state() == MapSocket::State::Connected)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void DatabaseCycle::noteFileChange(const DbSession &session, const QString &sStatus)
{
    // A repaired session leaves no record of its own: the file that was
    // replaced (a restore) or removed is told here, once, before the reopen.
    const QString change = session.fileChange();
    if (!change.isEmpty())
        m_log.Err2File(QStringLiteral("tmrDB_Timer"), sStatus + QStringLiteral(" - ") + change, 0,
            QString(), QStringLiteral("Debug.TXT"));
}

bool DatabaseCycle::repairSession(bool jobs, QString &sStatus, double &sngStep)
{
    sngStep = jobs ? 16 : 23;
    const bool ok = m_parts.sqlConnect.SQLConnect(
        jobs ? SqlConnect::Which::Jobs : SqlConnect::Which::OrvikDb, [this] { enableTimer(); });
    if (!ok) {
        sngStep = jobs ? 18 : 23;
        const auto &session = jobs ? m_sessions.cnJobs : m_sessions.cnORVIKDB;
        // A session left absent by the failed reopen reads as closed.
        sStatus = QStringLiteral("SQL Server State - ") + QString::number(sessionState(session));
        const QDateTime now = m_clock.now();
        if (!m_ui.mainWindowMinimized() && DateTime::secondsBetween(m_dtLastDBGood, now) >= 30
            && DateTime::secondsBetween(m_dtLastPopup, now) >= 30) {
            m_dtLastPopup = now;
            m_parts.statusReport.mnuStatus_Click();
        }
        sngStep = jobs ? 19 : 23;
        return false;
    }
    sngStep = jobs ? 20 : 23;
    m_dtLastDBGood = m_clock.now();
    sStatus.clear();
    return true;
}

void DatabaseCycle::setIntervalText(const QString &text)
{
    // Signalled even when unchanged: a refused entry puts the last accepted
    // value back into a box that shows something else.
    m_intervalText = text;
    Q_EMIT intervalTextChanged(text);
}

void DatabaseCycle::loadInterval(const QString &text)
{
    setIntervalText(text);
    m_intervalTag = text;
}

void DatabaseCycle::txtInterval_Change(const QString &text)
{
    m_log.trap(QStringLiteral("txtInterval_Change"), [&] {
        if (!text.isEmpty()) {
            // The box takes whole seconds, 1 to 3600.
            static const QRegularExpression whole(QStringLiteral(R"(^\s*\+?\d{1,4}\s*$)"));
            const int seconds = whole.match(text).hasMatch() ? text.trimmed().toInt() : 0;
            if (seconds < kMinIntervalSeconds || seconds > kMaxIntervalSeconds) {
                // Not an interval: the last accepted value goes back into the box.
                setIntervalText(m_intervalTag);
                return;
            }
            setIntervalText(text);
            m_intervalTag = text;
            m_settings.WriteINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), text);
            return;
        }
        setIntervalText(text);
        m_intervalTag = m_settings.ReadINI(
            QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("15"));
    });
}

void DatabaseCycle::updInterval_Change(int value)
{
    txtInterval_Change(QString::number(value));
}
