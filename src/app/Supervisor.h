#pragma once

#include <QElapsedTimer>
#include <QString>

class AppLifecycle;
class DatabaseCycle;
class LeaseKeeper;
class DatabaseThread;
class ErrorLog;
class MainCommands;
class MapLink;
class MapSocket;
class TaskTimer;
class Ui;
class WindowTable;
struct DataSource;

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
        DatabaseThread &database; // opens the sessions
        DatabaseCycle &cycle; // started once both sessions are open
        // A standby pair's lease: the connections are made only while this
        // gateway holds it (a standby opens no map connection).
        LeaseKeeper &lease;
    };
    // How long the end waits for a cycle whose statement it cancelled.
    static constexpr int kEndWaitMs = 1000;

    // source: what the logon dialog chose for the jobs session.
    Supervisor(Parts parts, const DataSource &source, TaskTimer &tasks, const WindowTable &windows,
        const MapSocket &sckMap, Ui &ui, ErrorLog &log);

    void tmrTasks_Timer();
    void TimerFuncs();

    ConnStep connStep() const { return m_sConnStep; }
    // A database open failed: while the logon dialog is up the operator
    // sees why, one box at a time (timers go on while it waits).
    void openFailed(const QString &text, int number);
    // This gateway stood down from a pair's lease: an open under way is
    // not answered, and connecting starts again when it wins the lease.
    void rest();
    // "MapConnect1" and the like; empty for None.
    static QString connStepName(ConnStep step);

private:
    void connectStep();
    void mapPhase();
    void databasePhase();
    // The sessions' open ended (on the database thread); a failure has
    // been shown by openFailed().
    void databaseOpened(bool ok);
    void end();
    // Another tick: "ConnectAll" and the task timer on.
    void rearm();

    Parts m_parts;
    const DataSource &m_source;
    TaskTimer &m_tasks;
    const WindowTable &m_windows;
    const MapSocket &m_sckMap;
    Ui &m_ui;
    ErrorLog &m_log;
    ConnStep m_sConnStep = ConnStep::None;
    // Each open handed to the database thread; an answer to an open that a
    // later command overtook (a new start, the end) is let go.
    int m_openSerial = 0;
    QElapsedTimer m_endAsked; // since the end first waited for a cycle
    bool m_boxShown = false;
};
