#include "common/TaskTimer.h"

TaskTimer::TaskTimer(QObject *parent) : QObject(parent)
{
    // Switched off until start-up gives the first command.
    m_tmrTasks.setInterval(kTickMs);
    connect(&m_tmrTasks, &QTimer::timeout, this, &TaskTimer::timeout);
}

void TaskTimer::run(TaskStep step)
{
    m_step = step;
    enable();
}

void TaskTimer::enable()
{
    if (!m_tmrTasks.isActive())
        m_tmrTasks.start();
}
