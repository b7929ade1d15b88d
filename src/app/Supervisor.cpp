#include "Supervisor.h"

#include "AppLifecycle.h"
#include "Gateway.h"
#include "MainCommands.h"
#include "Ui.h"
#include "Version.h"
#include "diag/ErrorLog.h"
#include "platform/Convert.h"
#include "platform/Failure.h"

Supervisor::Supervisor(Gateway &gateway) : m_gw(gateway) { }

void Supervisor::tmrTasks_Timer()
{
    const auto failure = trapFailure([&] {
        m_gw.tmrTasks().stop();
        m_gw.tmrTasks().setInterval(200);
        TimerFuncs();
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("tmrTasks_Timer"), *failure);
}

void Supervisor::TimerFuncs()
{
    const auto failure = trapFailure([&] {
        const QString step = m_gw.state().strTaskStep;
        if (Convert::sameText(step, QStringLiteral("Main Appearance"))) {
            m_gw.commands().MDIForm_Resize();
        } else if (Convert::sameText(step, QStringLiteral("EndProgram"))) {
            m_gw.lifecycle().EndProgram(QStringLiteral("TimerFuncs"));
        }
        // Any other word: idle, the timer stays off.
    });
    if (failure) {
        if (m_gw.state().logOnLoaded() && failure->number() != 0)
            m_gw.ui().msgBox(failure->description(), Ui::Icon::Critical, Version::kAppTitle);
        m_gw.log().logFailure(QStringLiteral("TimerFuncs"), *failure);
    }
}
