#pragma once

#include <QString>

class AppLifecycle;
class DatabaseCycle;
class ErrorLog;
class MainCommands;
class MapLink;
class MapSocket;
class SqlConnect;
class TaskTimer;
class Ui;
class WindowTable;

// The task timer's commands: the main window's first layout, the end of the
// program, and bringing up the map link and the database sessions.
class Supervisor
{
public:
    // Where a series of connection attempts stands (sConnStep).
    enum class ConnStep {
        None,
        MapConnect1,
        MapConnect2,
        MapConnect3,
        SQLConnect,
        SQLConnect1,
        SQLConnect2,
        SQLConnect3
    };

    // The parts the commands run.
    struct Parts
    {
        MainCommands &commands; // the layout pass
        AppLifecycle &lifecycle; // the end
        MapLink &mapLink;
        SqlConnect &sqlConnect;
        DatabaseCycle &cycle; // started once both sessions are open
    };

    Supervisor(Parts parts, TaskTimer &tasks, const WindowTable &windows, const MapSocket &sckMap,
        Ui &ui, ErrorLog &log);

    void tmrTasks_Timer();
    void TimerFuncs();

    ConnStep connStep() const { return m_sConnStep; }
    // "MapConnect1" and the like; empty for None.
    static QString connStepName(ConnStep step);

private:
    void connectStep();
    void mapPhase();
    void databasePhase();
    // Another tick: "ConnectAll" and the task timer on.
    void rearm();

    Parts m_parts;
    TaskTimer &m_tasks;
    const WindowTable &m_windows;
    const MapSocket &m_sckMap;
    Ui &m_ui;
    ErrorLog &m_log;
    ConnStep m_sConnStep = ConnStep::None;
};
