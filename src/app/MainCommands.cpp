#include "MainCommands.h"

#include "Gateway.h"
#include "MenuMarks.h"
#include "Ui.h"
#include "diag/ErrorLog.h"
#include "maplink/MapProtocol.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

MainCommands::MainCommands(Gateway &gateway) : m_gw(gateway) { }

QString MainCommands::sessionSummary(const QString &name, const DbSession *session)
{
    QString list;
    if (!session) {
        list = QStringLiteral("Nothing");
    } else if (session->state() == DbSession::Closed) {
        list = QStringLiteral("Closed");
    } else {
        QStringList words;
        const int state = session->state();
        if (state & DbSession::Connecting)
            words << QStringLiteral("Connecting");
        if (state & DbSession::Executing)
            words << QStringLiteral("Executing");
        if (state & DbSession::Fetching)
            words << QStringLiteral("Fetching");
        if (state & DbSession::Open)
            words << QStringLiteral("Open");
        if (session->connectionStatus() != 1)
            words << QStringLiteral("Connection Status not Open");
        list = words.join(QStringLiteral(", "));
    }
    return name + QStringLiteral(" - ") + list;
}

void MainCommands::Statuses(QString &text)
{
    text.clear();
    const auto failure = trapFailure([&] {
        const AppState &st = m_gw.state();
        const QString jobs = sessionSummary(QStringLiteral("JOBS"), st.cnJobs.get());
        const QString orvikdb = sessionSummary(QStringLiteral("ORVIKDB"), st.cnORVIKDB.get());
        const int mapState = m_gw.sckMap().state();
        // An empty line on a live connection: a dead one shows up as an error.
        if (mapState == MapSocket::Connected)
            m_gw.sckMap().send(MapProtocol::kLineEnd);
        text = jobs + QStringLiteral(", ") + orvikdb + QStringLiteral(", Map - ")
            + MapSocket::stateName(mapState);
    });
    if (failure) {
        text.clear();
        Gateway::enableTimer(m_gw.tmrDB());
        m_gw.log().logFailure(QStringLiteral("Statuses"), *failure);
    }
}

void MainCommands::ShowStatuses()
{
    const auto failure = trapFailure([&] {
        QString text;
        Statuses(text);
        m_gw.state().strStatus = text;
        m_gw.setPanelText(QStringLiteral("keyStatus"), text + QStringLiteral("  "));
    });
    if (failure) {
        Gateway::enableTimer(m_gw.tmrDB());
        m_gw.log().logFailure(QStringLiteral("ShowStatuses"), *failure);
    }
}

void MainCommands::MDIForm_Resize()
{
    const auto failure = trapFailure([&] {
        if (m_gw.ui().mainWindowMinimized())
            return;
        m_gw.ui().layoutMainWindow();
        ShowStatuses();
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("MDIForm_Resize"), *failure);
}

void MainCommands::mnuRefresh_Click()
{
    const auto failure = trapFailure([&] {
        // The heartbeat: is the cycle timer on, and the milliseconds of now.
        const QString seconds = QString::number(m_gw.clock().secondsSinceMidnight(), 'f', 3);
        m_gw.setPanelText(QStringLiteral("keyAlive"),
            QString::fromLatin1(m_gw.tmrDB().isActive() ? "True" : "False") + QStringLiteral(": ")
                + seconds.right(3));
        if (!m_gw.marks().checked(MenuMarks::mnuRefresh)) {
            m_gw.state().dtLastQueryAll = DateTime::zero();
            m_gw.state().bRequestLines = true;
            m_gw.marks().setChecked(MenuMarks::mnuRefresh, true);
        }
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuRefresh_Click"), *failure);
}

void MainCommands::mnuDebugAll_Click()
{
    const auto failure = trapFailure([&] {
        const bool on = !m_gw.marks().checked(MenuMarks::mnuDebugAll);
        m_gw.marks().setChecked(MenuMarks::mnuDebugAll, on);
        m_gw.settings().WriteINI(QStringLiteral("Misc"), QStringLiteral("SentLines2File"),
            QString::fromLatin1(on ? "True" : "False"));
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuDebugAll_Click"), *failure);
}

void MainCommands::mnuDebugCurrent_Click()
{
    const auto failure
        = trapFailure([&] { m_gw.marks().setChecked(MenuMarks::mnuDebugCurrent, true); });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuDebugCurrent_Click"), *failure);
}

void MainCommands::mnuSaveQuery_Click()
{
    const auto failure
        = trapFailure([&] { m_gw.marks().setChecked(MenuMarks::mnuSaveQuery, true); });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuSaveQuery_Click"), *failure);
}

void MainCommands::mnuDB_Click()
{
    const auto failure = trapFailure([&] {
        if (m_gw.marks().checked(MenuMarks::mnuDB))
            return;
        m_gw.state().bDBCommand = true;
        m_gw.marks().setChecked(MenuMarks::mnuDB, true);
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuDB_Click"), *failure);
}

void MainCommands::mnuTicks_Click()
{
    const auto failure = trapFailure([&] {
        if (m_gw.marks().checked(MenuMarks::mnuTicks))
            return;
        m_gw.marks().setChecked(MenuMarks::mnuTicks, true);
        m_gw.ui().saveTrafficWindow();
        m_gw.marks().uncheck(MenuMarks::mnuTicks);
    });
    if (failure) {
        m_gw.marks().uncheck(MenuMarks::mnuTicks);
        m_gw.log().logFailure(QStringLiteral("mnuTicks_Click"), *failure);
    }
}

void MainCommands::mnuClear_Click()
{
    const auto failure = trapFailure([&] { m_gw.ui().clearTrafficWindow(); });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuClear_Click"), *failure);
}

void MainCommands::mnuStatus_Click()
{
    const auto failure = trapFailure([&] {
        const AppState &st = m_gw.state();
        const QString first = st.cnJobs
            ? QStringLiteral("SQLServer Status - ") + QString::number(st.cnJobs->state())
            : QStringLiteral("SQLServer Status - Nothing");
        const QString mapState = QString::number(m_gw.sckMap().state());
        m_gw.ui().showStatusPopup(
            first + QStringLiteral("\r\n") + QStringLiteral("Map State - ") + mapState);
        m_gw.setPanelText(QStringLiteral("keyStatus"),
            first + QStringLiteral(", Map State - ") + mapState + QStringLiteral("  "));
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuStatus_Click"), *failure);
}
