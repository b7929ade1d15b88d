#include "Supervisor.h"

#include "AppLifecycle.h"
#include "Gateway.h"
#include "MainCommands.h"
#include "Ui.h"
#include "Version.h"
#include "db/SqlConnect.h"
#include "diag/ErrorLog.h"
#include "maplink/MapLink.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

namespace {

bool is(const QString &word, const char *expected)
{
    return Convert::sameText(word, QLatin1String(expected));
}

} // namespace

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

void Supervisor::rearm()
{
    m_gw.state().strTaskStep = QStringLiteral("ConnectAll");
    Gateway::enableTimer(m_gw.tmrTasks());
}

void Supervisor::TimerFuncs()
{
    const auto failure = trapFailure([&] {
        const QString step = m_gw.state().strTaskStep;
        if (is(step, "Main Appearance")) {
            m_gw.commands().MDIForm_Resize();
        } else if (is(step, "EndProgram")) {
            m_gw.lifecycle().EndProgram(QStringLiteral("TimerFuncs"));
        } else if (is(step, "StartConnectAll")) {
            m_sConnStep.clear();
            connectStep();
        } else if (is(step, "ConnectAll")) {
            connectStep();
        }
        // Any other word: idle, the timer stays off.
    });
    if (failure) {
        if (m_gw.state().logOnLoaded() && failure->number() != 0)
            m_gw.ui().msgBox(failure->description(), Ui::Icon::Critical, Version::kAppTitle);
        m_gw.log().logFailure(QStringLiteral("TimerFuncs"), *failure);
    }
}

void Supervisor::connectStep()
{
    if (m_sConnStep.isEmpty() || is(m_sConnStep, "MapConnect1") || is(m_sConnStep, "MapConnect2")
        || is(m_sConnStep, "MapConnect3")) {
        mapPhase();
    } else if (is(m_sConnStep, "SQLConnect") || is(m_sConnStep, "SQLConnect1")
        || is(m_sConnStep, "SQLConnect2") || is(m_sConnStep, "SQLConnect3")) {
        databasePhase();
    }
}

void Supervisor::mapPhase()
{
    const bool dialogShown = m_gw.state().logOnLoaded();
    if (!m_sConnStep.isEmpty()) {
        const int state = m_gw.sckMap().state();
        if (state == MapSocket::Connected) {
            m_sConnStep = QStringLiteral("SQLConnect");
            rearm();
            return;
        }
        if (state == MapSocket::Connecting) {
            rearm(); // the attempt is still under way
            return;
        }
    }

    QString next;
    if (m_sConnStep.isEmpty()) {
        // The first check of a fresh attempt comes two seconds later.
        m_gw.tmrTasks().setInterval(2000);
        next = QStringLiteral("MapConnect1");
    } else if (is(m_sConnStep, "MapConnect1")) {
        next = QStringLiteral("MapConnect2");
    } else if (is(m_sConnStep, "MapConnect2")) {
        next = QStringLiteral("MapConnect3");
    } else {
        // Three attempts failed: the operator decides, or a new series starts.
        m_sConnStep.clear();
        if (dialogShown) {
            m_gw.ui().reOrderLogOn(QStringLiteral("Usual"));
            return;
        }
        m_gw.mapLink().MapConnect();
        rearm();
        return;
    }

    m_sConnStep = next;
    if (dialogShown)
        m_gw.ui().reOrderLogOn(QStringLiteral("Connecting"));
    m_gw.mapLink().MapConnect();
    rearm();
}

void Supervisor::databasePhase()
{
    bool ok = false;
    m_gw.sqlConnect().SQLConnect(ok, QString(), QString());
    if (ok) {
        if (m_gw.state().logOnLoaded())
            m_gw.ui().reOrderLogOn(QStringLiteral("Connected"));
        m_gw.tmrDB().setInterval(1000);
        Gateway::enableTimer(m_gw.tmrDB());
        if (!m_gw.state().windowLoaded(QStringLiteral("IO")))
            m_gw.ui().showTrafficWindow();
        return; // the supervisor rests
    }

    if (is(m_sConnStep, "SQLConnect")) {
        m_sConnStep = QStringLiteral("SQLConnect1");
    } else if (is(m_sConnStep, "SQLConnect1")) {
        m_sConnStep = QStringLiteral("SQLConnect2");
    } else if (is(m_sConnStep, "SQLConnect2")) {
        m_sConnStep = QStringLiteral("SQLConnect3");
    } else {
        // The fourth failure: the operator decides, or everything starts again.
        m_sConnStep.clear();
        if (m_gw.state().logOnLoaded()) {
            m_gw.ui().reOrderLogOn(QStringLiteral("Usual"));
            return;
        }
    }
    rearm();
}
