#include "app/MainCommands.h"

#include "common/MenuMarks.h"
#include "common/Ui.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/StatusPanels.h"
#include "cycle/StatusReport.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "platform/Clock.h"
#include "settings/Settings.h"

MainCommands::MainCommands(DatabaseCycle &cycle, StatusReport &statusReport, LinkState &link,
    MenuMarks &marks, StatusPanels &panels, const Settings &settings, Ui &ui, const Clock &clock,
    ErrorLog &log)
    : m_cycle(cycle),
      m_statusReport(statusReport),
      m_link(link),
      m_marks(marks),
      m_panels(panels),
      m_settings(settings),
      m_ui(ui),
      m_clock(clock),
      m_log(log)
{
}

void MainCommands::MDIForm_Resize()
{
    m_log.trap(QStringLiteral("MDIForm_Resize"), [&] {
        if (m_ui.mainWindowMinimized())
            return;
        m_ui.layoutMainWindow();
        m_statusReport.ShowStatuses();
    });
}

void MainCommands::mnuRefresh_Click()
{
    m_log.trap(QStringLiteral("mnuRefresh_Click"), [&] {
        // The heartbeat: is the cycle timer on, and the milliseconds of now.
        const QString seconds = QString::number(m_clock.secondsSinceMidnight(), 'f', 3);
        m_panels.setPanelText(QStringLiteral("keyAlive"),
            QString::fromLatin1(m_cycle.tmrDB().isActive() ? "True" : "False")
                + QStringLiteral(": ") + seconds.right(3));
        if (!m_marks.checked(MenuMarks::mnuRefresh)) {
            m_cycle.requestFullQuery();
            m_link.bRequestLines = true;
            m_marks.request(MenuMarks::mnuRefresh);
        }
    });
}

void MainCommands::mnuDebugAll_Click()
{
    m_log.trap(QStringLiteral("mnuDebugAll_Click"), [&] {
        const bool on = !m_marks.checked(MenuMarks::mnuDebugAll);
        m_marks.request(MenuMarks::mnuDebugAll, on);
        m_settings.WriteINI(QStringLiteral("Misc"), QStringLiteral("SentLines2File"),
            QString::fromLatin1(on ? "True" : "False"));
    });
}

void MainCommands::mnuDebugCurrent_Click()
{
    m_log.trap(QStringLiteral("mnuDebugCurrent_Click"),
        [&] { m_marks.request(MenuMarks::mnuDebugCurrent); });
}

void MainCommands::mnuSaveQuery_Click()
{
    m_log.trap(
        QStringLiteral("mnuSaveQuery_Click"), [&] { m_marks.request(MenuMarks::mnuSaveQuery); });
}

void MainCommands::mnuDB_Click()
{
    m_log.trap(QStringLiteral("mnuDB_Click"), [&] {
        if (m_marks.checked(MenuMarks::mnuDB))
            return;
        m_marks.bDBCommand = true;
        m_marks.request(MenuMarks::mnuDB);
    });
}

void MainCommands::mnuTicks_Click()
{
    const auto failure = trapFailure([&] {
        if (m_marks.checked(MenuMarks::mnuTicks))
            return;
        m_marks.setChecked(MenuMarks::mnuTicks, true);
        m_ui.saveTrafficWindow();
        m_marks.uncheck(MenuMarks::mnuTicks);
    });
    if (failure) {
        m_marks.uncheck(MenuMarks::mnuTicks);
        m_log.logFailure(QStringLiteral("mnuTicks_Click"), *failure);
    }
}

void MainCommands::mnuClear_Click()
{
    m_log.trap(QStringLiteral("mnuClear_Click"), [&] { m_ui.clearTrafficWindow(); });
}

void MainCommands::mnuStatus_Click()
{
    m_statusReport.mnuStatus_Click();
}
