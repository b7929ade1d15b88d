#include "DatabaseCycle.h"

#include "Gateway.h"
#include "MainCommands.h"
#include "MenuMarks.h"
#include "Ui.h"
#include "db/SqlConnect.h"
#include "db/mdlQueries.h"
#include "diag/ErrorLog.h"
#include "maplink/MapProtocol.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

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

const QTime kDayStart(4, 0);

// The operational day a moment belongs to: it starts at 04:00.
QDate operationalDay(const QDateTime &moment)
{
    return moment.time() < kDayStart ? moment.date().addDays(-1) : moment.date();
}

} // namespace

DatabaseCycle::DatabaseCycle(Gateway &gateway) : m_gw(gateway) { }

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
    const auto leave = qScopeGuard([this] { m_inCycle = false; });
    AppState &st = m_gw.state();
    MapSocket &sck = m_gw.sckMap();
    QTimer &tmrDB = m_gw.tmrDB();
    QString sStatus;
    double sngStep = 0;
    bool bJobsBad = false;
    bool bORVIKDBBad = false;
    auto now = [this] { return m_gw.clock().now(); };
    // A step that goes to the failure exit without a failure: number 0, no text.
    auto exitCycle = [] { throw Failure(0, QString()); };

    const auto failure = trapFailure([&] {
        // The line list was asked for: wait for its answer (the timer keeps running).
        if (st.bRequestLines && DateTime::secondsBetween(st.dtLastQSent, now()) < 30)
            return;
        if (st.bRequestLines && sck.state() == MapSocket::Connected) {
            sngStep = 2;
            st.dtLastQSent = now();
            sngStep = 3;
            sck.send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
            return;
        }

        sngStep = 4;
        tmrDB.stop();
        // An emptied box keeps its remembered value until the operator
        // types a new one, so the cycle goes on meanwhile.
        const QString text
            = m_gw.intervalText().isEmpty() ? m_gw.intervalTag() : m_gw.intervalText();
        const int ms = intervalSeconds(text) * 1000;
        if (tmrDB.interval() != ms)
            tmrDB.setInterval(ms);

        sngStep = 5;
        sngStep = 6;
        m_gw.commands().ShowStatuses();

        sngStep = 7;
        if (DateTime::minutesBetween(st.dtLinesTime, now()) > 60)
            st.bRequestLines = true;

        sngStep = 8;
        if (sessionState(st.cnJobs) & DbSession::Connecting) {
            sStatus = QStringLiteral("JOBS Server State - Connecting");
            sngStep = 9;
            exitCycle();
        }
        if (sessionState(st.cnORVIKDB) & DbSession::Connecting) {
            sStatus = QStringLiteral("ORVIKDB Server State - Connecting");
            sngStep = 9;
            exitCycle();
        }

        sngStep = 10;
        const int jobsState = sessionState(st.cnJobs);
        if (!(jobsState & DbSession::Open) && !(jobsState & DbSession::Executing)) {
            sngStep = 11;
            bJobsBad = true;
            sStatus = QStringLiteral("JOBS Server State - Broken");
        }
        const int orvikState = sessionState(st.cnORVIKDB);
        if (!(orvikState & DbSession::Open) && !(orvikState & DbSession::Executing)) {
            sngStep = 11;
            bORVIKDBBad = true;
            sStatus = QStringLiteral("ORVIKDB Server State - Broken");
        }

        sngStep = 12;
        if (!bJobsBad) {
            sngStep = 13;
            if (st.cnJobs->connectionStatus() != 1) {
                bJobsBad = true;
                sStatus = QStringLiteral("SQL Server State - Not Functions");
            }
            sngStep = 14;
        }
        if (!bORVIKDBBad) {
            sngStep = 13;
            if (st.cnORVIKDB->connectionStatus() != 1) {
                bORVIKDBBad = true;
                sStatus = QStringLiteral("ORVIKDB Server State - Not Functioning");
            }
            sngStep = 14;
        }

        sngStep = 15;
        if (bJobsBad) {
            if (!repairSession(QStringLiteral("JOBS"), sStatus, sngStep))
                exitCycle();
        } else {
            sngStep = 22;
            m_dtLastDBGood = now();
            sStatus.clear();
        }

        sngStep = 23;
        if (bORVIKDBBad && !repairSession(QStringLiteral("ORVIKDB"), sStatus, sngStep))
            exitCycle();

        sngStep = 23;
        sStatus = QStringLiteral("Reset colLines at 4:00 AM");
        QString mode;
        // The last full query belongs to an earlier operational day: it ran
        // before 04:00 and now is later, or an outage passed 04:00 unseen.
        if (operationalDay(st.dtLastQueryAll) != operationalDay(now())) {
            // A new operational day: the day's lines are dropped.
            st.colLines.reset();
            mode = QStringLiteral("QueryAll");
            m_gw.queries().QueryDB(mode);
            st.dtLastQueryAll = now();
        } else if (DateTime::minutesBetween(st.dtLastQueryAll, now()) < 30) {
            sngStep = 24;
            mode = QStringLiteral("QueryTrigger");
            m_gw.queries().QueryDB(mode);
        } else {
            sngStep = 25;
            mode = QStringLiteral("QueryAll");
            m_gw.queries().QueryDB(mode);
            st.dtLastQueryAll = now();
        }

        sngStep = 26;
        sStatus = QStringLiteral("QRun");
        if (sck.state() == MapSocket::Connected && st.bRequestLines) {
            sngStep = 27;
            st.dtLastQSent = now();
            sngStep = 28;
            sck.send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
            sngStep = 29;
            Gateway::enableTimer(tmrDB);
            return;
        }

        sngStep = 30;
        sStatus = QStringLiteral("Send Tickets");
        sngStep = 31;
        const int mapState = sck.state();
        if (mapState != MapSocket::Connecting && mapState != MapSocket::Connected) {
            sngStep = 32;
            sStatus = QStringLiteral("Map State - ") + QString::number(mapState);
            sngStep = 33;
            sck.close();
            sngStep = 34;
            if (sck.state() <= MapSocket::Closed)
                sck.connectToHost();
            sngStep = 35;
            // Retry every second until the map is back; a later full
            // cycle restores the configured interval.
            tmrDB.setInterval(1000);
            sngStep = 35.5;
            exitCycle();
        }

        sngStep = 36;
        if (sck.state() == MapSocket::Connected) {
            QString type = QStringLiteral("Send New");
            QString buf;
            m_gw.sendScheds().ProcessExpLineSchedReq(type, buf);
        }
        sngStep = 37;
        sngStep = 38;
        m_gw.marks().uncheck(MenuMarks::mnuRefresh);
        sngStep = 39;
        Gateway::enableTimer(tmrDB);
    });
    if (!failure)
        return;

    sngStep = sngStep * 100 + 1;
    Gateway::enableTimer(tmrDB);
    sngStep = sngStep + 1;
    m_gw.log().Err2File(QStringLiteral("tmrDB_Timer"),
        sStatus + QStringLiteral(" Step: ") + QString::number(sngStep, 'g', 12), failure->number(),
        failure->description(), QStringLiteral("Debug.TXT"));
    m_gw.marks().uncheck(MenuMarks::mnuRefresh);
}

bool DatabaseCycle::repairSession(const QString &which, QString &sStatus, double &sngStep)
{
    AppState &st = m_gw.state();
    const bool jobs = which == QLatin1String("JOBS");
    sngStep = jobs ? 16 : 23;
    bool ok = false;
    m_gw.sqlConnect().SQLConnect(ok, QStringLiteral("tmrDB_Timer"), which);
    if (!ok) {
        sngStep = jobs ? 18 : 23;
        const auto &session = jobs ? st.cnJobs : st.cnORVIKDB;
        // A session left absent by the failed reopen reads as closed.
        sStatus = QStringLiteral("SQL Server State - ")
            + QString::number(session ? session->state() : DbSession::Closed);
        const QDateTime now = m_gw.clock().now();
        if (!m_gw.ui().mainWindowMinimized() && DateTime::secondsBetween(m_dtLastDBGood, now) >= 30
            && DateTime::secondsBetween(m_dtLastPopup, now) >= 30) {
            m_dtLastPopup = now;
            m_gw.commands().mnuStatus_Click();
        }
        sngStep = jobs ? 19 : 23;
        return false;
    }
    sngStep = jobs ? 20 : 23;
    m_dtLastDBGood = m_gw.clock().now();
    sStatus.clear();
    return true;
}

void DatabaseCycle::txtInterval_Change(const QString &text)
{
    const auto failure = trapFailure([&] {
        if (!text.isEmpty()) {
            // The box takes whole seconds, 1 to 3600.
            static const QRegularExpression whole(QStringLiteral(R"(^\s*\+?\d{1,4}\s*$)"));
            const int seconds = whole.match(text).hasMatch() ? text.trimmed().toInt() : 0;
            if (seconds < kMinIntervalSeconds || seconds > kMaxIntervalSeconds) {
                // Not an interval: the last accepted value goes back into the box.
                m_gw.setIntervalText(m_gw.intervalTag());
                return;
            }
            m_gw.setIntervalText(text);
            m_gw.setIntervalTag(text);
            m_gw.settings().WriteINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), text);
            return;
        }
        m_gw.setIntervalText(text);
        m_gw.setIntervalTag(m_gw.settings().ReadINI(
            QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("15")));
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("txtInterval_Change"), *failure);
}

void DatabaseCycle::updInterval_Change(int value)
{
    txtInterval_Change(QString::number(value));
}
