#include "app/AppLifecycle.h"

#include "common/MenuMarks.h"
#include "common/StatusRows.h"
#include "common/TaskTimer.h"
#include "common/Ui.h"
#include "common/Version.h"
#include "common/WindowTable.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "cycle/StatusPanels.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "pair/LeaseKeeper.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

const QString kMisc = QStringLiteral("Misc");

} // namespace

AppLifecycle::AppLifecycle(
    Targets targets, const Settings &settings, Ui &ui, const Clock &clock, ErrorLog &log)
    : m_t(targets), m_settings(settings), m_ui(ui), m_clock(clock), m_log(log), m_endProcess([] {
          // Leaving through the event loop would let the code under an open
          // message box or dialog run on and log after the end. Every file
          // the gateway writes is closed after each write, the sessions and
          // the map socket are closed by now; what the C library still
          // buffers goes out first.
          std::fflush(nullptr);
          std::_Exit(0);
      })
{
}

StationRole AppLifecycle::roleFromCommandLine(const QString &commandLine)
{
    const QString word = commandLine.trimmed();
    if (word.isEmpty())
        return StationRole::Server;
    if (const auto role = parseRole(word))
        return *role;
    m_log.Err2File(QStringLiteral("MDIForm_Load"),
        QStringLiteral("Command line = ") + word + QStringLiteral(": Server is used"),
        Failure::InvalidCall, Failure::standardDescription(Failure::InvalidCall),
        QStringLiteral("Debug.TXT"));
    return StationRole::Server;
}

void AppLifecycle::MDIForm_Load(const QString &commandLine)
{
    const auto failure = trapFailure([&] {
        m_t.map.strRole = roleFromCommandLine(commandLine);
        m_t.windows.setLoaded(WindowTable::Window::Main, true);

        m_t.marks.setChecked(MenuMarks::mnuDebugCurrent, false);
        const QString sentLines
            = m_settings.ReadINI(kMisc, QStringLiteral("SentLines2File"), QStringLiteral("False"));
        bool debugAll = false;
        if (!sentLines.isEmpty()) {
            // A value that is neither a truth word nor a number leaves the mark
            // off; start-up goes on rather than stopping on a typo.
            if (const auto bad = trapFailure([&] { debugAll = Convert::toBool(sentLines); })) {
                m_log.Err2File(QStringLiteral("MDIForm_Load"),
                    QStringLiteral("SentLines2File = ") + sentLines, bad->number(),
                    bad->description(), QStringLiteral("Debug.TXT"));
            }
        }
        m_t.marks.setChecked(MenuMarks::mnuDebugAll, debugAll);

        QString interval
            = m_settings.ReadINI(kMisc, QStringLiteral("DBInterval"), QStringLiteral("15"));
        if (!Convert::isNumeric(interval))
            interval = QStringLiteral("15");
        m_t.cycle.loadInterval(interval);

        m_t.panels.setPanelText(
            QStringLiteral("keyVersion"), Version::panelText() + QStringLiteral("  "));
        StartApp();
        BuildVersion();
        m_ui.showMainWindow();

        m_t.tasks.run(TaskStep::MainAppearance);

        m_ui.loadLogOn();
    });
    if (failure) {
        QString description = failure->description();
        // The logon dialog closes itself during its load when it applies the
        // saved settings; that is how an automatic start looks from here.
        const bool automaticStart = failure->number() == Failure::ObjectUnloaded;
        if (automaticStart)
            description += QStringLiteral(": But this is not an Error");
        m_log.Err2File(QStringLiteral("MDIForm_Load"), QString(), failure->number(), description,
            QStringLiteral("Debug.TXT"),
            automaticStart ? LogRecord::Severity::Info : LogRecord::Severity::Error);
    }
}

void AppLifecycle::StartApp()
{
    m_log.trap(QStringLiteral("StartApp"), [&] {
        m_t.link.bRequestLines = true;
        m_t.link.dtLinesTime = m_clock.now();
    });
}

void AppLifecycle::BuildVersion()
{
    m_t.rows.strVersion = Version::plainText();
}

bool AppLifecycle::MDIForm_QueryUnload()
{
    m_log.trap(QStringLiteral("MDIForm_QueryUnload"), [&] {
        const bool yes = m_ui.askYesNo(QStringLiteral("Are you sure that you want to exit now?"),
            Ui::Icon::Question, Version::kAppTitle);
        if (yes)
            handOverToTaskTimer();
    });
    return true; // the close itself is always refused
}

void AppLifecycle::MDIForm_Unload()
{
    m_log.trap(QStringLiteral("MDIForm_Unload"),
        [&] { m_t.windows.setLoaded(WindowTable::Window::Main, false); });
}

void AppLifecycle::mnuExit_Click()
{
    m_log.trap(QStringLiteral("mnuExit_Click"), [&] { MDIForm_QueryUnload(); });
}

void AppLifecycle::requestEnd()
{
    handOverToTaskTimer();
}

void AppLifecycle::handOverToTaskTimer()
{
    m_t.tasks.run(TaskStep::EndProgram);
}

void AppLifecycle::EndProgram(const QString &caller)
{
    m_log.trap(QStringLiteral("EndProgram"), [&] {
        if (m_t.windows.logOnLoaded())
            m_ui.unloadLogOn();
        if (m_t.windows.loaded(WindowTable::Window::Main))
            m_t.sckMap.close();
        m_t.tasks.stop();
        m_t.cycle.stop();
        // The sessions are closed on their thread first, so that the record
        // of a statement the stop cancelled comes before the last one. One
        // that waits on a server gone silent is not waited for: the process
        // ends at once around it (see DatabaseThread::finish).
        m_t.database.finish(kCloseWaitMs);
        // After the last write: the other gateway of a pair takes over at
        // its next try instead of waiting for the lease to run out.
        m_t.lease.release(kCloseWaitMs);
        // What was counted and not yet written comes before the last record.
        m_log.flushRepeats(true);
        m_log.Err2File(
            QStringLiteral("EndProgram"), caller, 0, QString(), QStringLiteral("Debug.TXT"));
        m_endProcess();
    });
}
