#pragma once

#include <QObject>
#include <QTimer>

// The task timer's commands (strTaskStep). Any other state of the timer is
// None: the supervisor rests.
enum class TaskStep { None, MainAppearance, EndProgram, StartConnectAll, ConnectAll };

// The task timer tmrTasks and its command. Start-up, the logon dialog and the
// close request give it a command; the map link's error at the logon dialog
// takes it away; the supervisor, connected to timeout(), carries it out.
class TaskTimer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTickMs = 200;

    explicit TaskTimer(QObject *parent = nullptr);

    TaskStep step() const { return m_step; }
    void setStep(TaskStep step) { m_step = step; }
    // Gives the command and switches the timer on; a running countdown goes on.
    void run(TaskStep step);

    // Switches the timer on without restarting a running countdown, as
    // setting a classic timer's Enabled does.
    void enable();
    void stop() { m_tmrTasks.stop(); }
    bool isActive() const { return m_tmrTasks.isActive(); }
    void setInterval(int ms) { m_tmrTasks.setInterval(ms); }
    int interval() const { return m_tmrTasks.interval(); }

Q_SIGNALS:
    void timeout();

private:
    QTimer m_tmrTasks;
    TaskStep m_step = TaskStep::None;
};
