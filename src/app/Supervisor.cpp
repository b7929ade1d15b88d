#include "app/Supervisor.h"

#include "app/AppLifecycle.h"
#include "app/MainCommands.h"
#include "common/TaskTimer.h"
#include "common/Ui.h"
#include "common/Version.h"
#include "common/WindowTable.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "diag/ErrorLog.h"
#include "maplink/MapLink.h"
#include "pair/LeaseKeeper.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

Supervisor::Supervisor(Parts parts, const DataSource &source, TaskTimer &tasks,
    const WindowTable &windows, const MapSocket &sckMap, Ui &ui, ErrorLog &log)
    : m_parts(parts),
      m_source(source),
      m_tasks(tasks),
      m_windows(windows),
      m_sckMap(sckMap),
      m_ui(ui),
      m_log(log)
{
}

QString Supervisor::connStepName(ConnStep step)
{
    static const char *const kNames[] = {"", "MapConnect1", "MapConnect2", "MapConnect3",
        "SQLConnect", "SQLConnect1", "SQLConnect2", "SQLConnect3"};
    return QString::fromLatin1(kNames[int(step)]);
}

void Supervisor::tmrTasks_Timer()
{
    m_log.trap(QStringLiteral("tmrTasks_Timer"), [&] {
        m_tasks.stop();
        m_tasks.setInterval(TaskTimer::kTickMs);
        TimerFuncs();
    });
}

void Supervisor::rearm()
{
    m_tasks.run(TaskStep::ConnectAll);
}

void Supervisor::TimerFuncs()
{
    const auto failure = trapFailure([&] {
        switch (m_tasks.step()) {
        case TaskStep::MainAppearance:
            m_parts.commands.MDIForm_Resize();
            break;
        case TaskStep::EndProgram:
            end();
            break;
        case TaskStep::StartConnectAll:
            ++m_openSerial;
            m_sConnStep = ConnStep::None;
            // A standby waits for the lease: its keeper starts the gateway
            // again (StartConnectAll) once it holds it.
            m_parts.lease.start(m_source);
            if (!m_parts.lease.mayAct())
                break;
            connectStep();
            break;
        case TaskStep::ConnectAll:
            if (!m_parts.lease.mayAct())
                break;
            connectStep();
            break;
        case TaskStep::None:
            break; // idle: the timer stays off
        }
    });
    if (failure) {
        if (m_windows.logOnLoaded() && failure->number() != 0)
            m_ui.msgBox(failure->description(), Ui::Icon::Critical, Version::kAppTitle);
        m_log.logFailure(QStringLiteral("TimerFuncs"), *failure);
    }
}

void Supervisor::end()
{
    // A cycle lets the event loop run while it waits for the database: the
    // end waits for it, so that nothing it does comes after the record of
    // the end. Its statement is cancelled at once, and a database that does
    // not let go within kEndWaitMs is not waited for.
    ++m_openSerial;
    if (m_parts.cycle.running()) {
        if (!m_endAsked.isValid()) {
            m_endAsked.start();
            m_parts.cycle.cancel();
        }
        if (m_endAsked.elapsed() < kEndWaitMs) {
            m_tasks.setInterval(50);
            m_tasks.run(TaskStep::EndProgram);
            return;
        }
    }
    m_parts.lifecycle.EndProgram(QStringLiteral("TimerFuncs"));
}

void Supervisor::connectStep()
{
    switch (m_sConnStep) {
    case ConnStep::None:
    case ConnStep::MapConnect1:
    case ConnStep::MapConnect2:
    case ConnStep::MapConnect3:
        mapPhase();
        break;
    case ConnStep::SQLConnect:
    case ConnStep::SQLConnect1:
    case ConnStep::SQLConnect2:
    case ConnStep::SQLConnect3:
        databasePhase();
        break;
    }
}

void Supervisor::mapPhase()
{
    const bool dialogShown = m_windows.logOnLoaded();
    if (m_sConnStep != ConnStep::None) {
        const MapSocket::State state = m_sckMap.state();
        if (state == MapSocket::State::Connected) {
            m_sConnStep = ConnStep::SQLConnect;
            rearm();
            return;
        }
        if (state == MapSocket::State::Connecting) {
            rearm(); // the attempt is still under way
            return;
        }
    }

    ConnStep next = ConnStep::None;
    switch (m_sConnStep) {
    case ConnStep::None:
        // The first check of a fresh attempt comes two seconds later.
        m_tasks.setInterval(2000);
        next = ConnStep::MapConnect1;
        break;
    case ConnStep::MapConnect1:
        next = ConnStep::MapConnect2;
        break;
    case ConnStep::MapConnect2:
        next = ConnStep::MapConnect3;
        break;
    default:
        // Three attempts failed: the operator decides, or a new series starts.
        m_sConnStep = ConnStep::None;
        if (dialogShown) {
            m_ui.reOrderLogOn(LogOnLayout::Usual);
            return;
        }
        m_parts.mapLink.MapConnect();
        rearm();
        return;
    }

    m_sConnStep = next;
    if (dialogShown)
        m_ui.reOrderLogOn(LogOnLayout::Connecting);
    m_parts.mapLink.MapConnect();
    rearm();
}

void Supervisor::databasePhase()
{
    // The open runs on the database thread; the task timer stays off until
    // its answer, and the map link and the stop signals go on meanwhile.
    const int serial = ++m_openSerial;
    m_parts.database.open(
        SqlConnect::Which::Both, m_source, [this, serial](const DatabaseWorker::OpenResult &r) {
            if (serial != m_openSerial)
                return;
            m_log.trap(QStringLiteral("TimerFuncs"), [&] { databaseOpened(r.ok); });
        });
}

void Supervisor::openFailed(const QString &text, int number)
{
    if (!m_windows.logOnLoaded() || number == 0 || m_boxShown)
        return;
    m_boxShown = true;
    if (auto g = trapFailure([&] { m_ui.msgBox(text, Ui::Icon::None, QString()); }))
        m_log.logFailure(QStringLiteral("SQLConnect"), *g);
    m_boxShown = false;
}

void Supervisor::rest()
{
    ++m_openSerial;
    m_sConnStep = ConnStep::None;
}

void Supervisor::databaseOpened(bool ok)
{
    if (ok && !m_parts.lease.mayAct())
        return; // stood down meanwhile
    if (ok) {
        if (m_windows.logOnLoaded())
            m_ui.reOrderLogOn(LogOnLayout::Connected);
        m_parts.cycle.start();
        if (!m_windows.loaded(WindowTable::Window::IO))
            m_ui.showTrafficWindow();
        return; // the supervisor rests
    }

    switch (m_sConnStep) {
    case ConnStep::SQLConnect:
        m_sConnStep = ConnStep::SQLConnect1;
        break;
    case ConnStep::SQLConnect1:
        m_sConnStep = ConnStep::SQLConnect2;
        break;
    case ConnStep::SQLConnect2:
        m_sConnStep = ConnStep::SQLConnect3;
        break;
    default:
        // The fourth failure: the operator decides, or everything starts again.
        m_sConnStep = ConnStep::None;
        if (m_windows.logOnLoaded()) {
            m_ui.reOrderLogOn(LogOnLayout::Usual);
            return;
        }
    }
    rearm();
}
