#pragma once

#include "common/MapSettings.h"

#include <QString>

#include <functional>

class Clock;
class DatabaseCycle;
class DatabaseThread;
class LeaseKeeper;
class ErrorLog;
class MapSocket;
class MenuMarks;
class Settings;
class StatusPanels;
class TaskTimer;
class Ui;
class WindowTable;
struct LinkState;

struct StatusRows;

// Start-up, close request and the end of the program. The close request never
// ends anything itself: it hands the end to the task timer, so that a cycle or
// socket event that is running finishes first.
class AppLifecycle
{
public:
    // What start-up fills in and what the end shuts.
    struct Targets
    {
        MapSettings &map; // the role
        LinkState &link;
        StatusRows &rows; // the version
        WindowTable &windows;
        MenuMarks &marks;
        StatusPanels &panels;
        DatabaseCycle &cycle; // the interval; stopped at the end
        TaskTimer &tasks;
        MapSocket &sckMap; // closed at the end
        DatabaseThread &database; // its sessions closed at the end
        LeaseKeeper &lease; // a standby pair's lease, released at the end
    };

    // How long the end waits for the database thread to close the sessions.
    static constexpr int kCloseWaitMs = 300;

    AppLifecycle(
        Targets targets, const Settings &settings, Ui &ui, const Clock &clock, ErrorLog &log);

    // The start-up sequence of the main window, with the command line's role word.
    void MDIForm_Load(const QString &commandLine);
    void StartApp();
    void BuildVersion();

    // Always refuses the close (returns true: cancel) and asks whether to
    // exit; unless the answer is No, the task timer ends the program.
    bool MDIForm_QueryUnload();
    void MDIForm_Unload();
    void mnuExit_Click();
    // A service manager's stop (SIGTERM, SIGINT): the same path, no question.
    void requestEnd();

    // Ends the process; called by the task timer. Its record is the last one:
    // the process ends there, also when the task timer's tick came inside a
    // message box or the logon dialog, whose callers never run on.
    void EndProgram(const QString &caller);

    // What ending the process means (by default, at once, without returning
    // to any event loop); tests replace it to watch it happen.
    void setProcessEnder(std::function<void()> ender) { m_endProcess = std::move(ender); }

    // The role a command line names; Server when it names none. A word that
    // is no role is logged and Server is used.
    StationRole roleFromCommandLine(const QString &commandLine);

private:
    void handOverToTaskTimer();

    Targets m_t;
    const Settings &m_settings;
    Ui &m_ui;
    const Clock &m_clock;
    ErrorLog &m_log;
    std::function<void()> m_endProcess;
};
