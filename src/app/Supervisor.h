#pragma once

#include <QString>

class Gateway;

// The task timer's commands: the main window's first layout, the end of the
// program, and bringing up the map link and the database sessions.
class Supervisor
{
public:
    explicit Supervisor(Gateway &gateway);

    void tmrTasks_Timer();
    void TimerFuncs();

    QString connStep() const { return m_sConnStep; }

private:
    void connectStep();
    void mapPhase();
    void databasePhase();
    // Another tick: "ConnectAll" and the task timer on.
    void rearm();

    Gateway &m_gw;
    QString m_sConnStep;
};
