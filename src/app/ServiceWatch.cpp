#include "app/ServiceWatch.h"

#include "app/Gateway.h"
#include "app/Supervisor.h"
#include "common/StatusRows.h"
#include "common/TaskTimer.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "pair/LeaseKeeper.h"
#include "platform/ServiceNotifier.h"

namespace {

// Status and pings without a watchdog: the status still follows the gateway.
constexpr int kStatusEveryMs = 5000;

} // namespace

ServiceWatch::ServiceWatch(Gateway &gateway, QObject *parent) : QObject(parent), m_gw(gateway)
{
    const qint64 watchdog = ServiceNotifier::watchdogMs();
    // Twice within every watchdog limit, as sd_watchdog_enabled(3) advises.
    m_timer.setInterval(int(watchdog > 0 ? qMax<qint64>(100, watchdog / 2) : kStatusEveryMs));
    connect(&m_timer, &QTimer::timeout, this, &ServiceWatch::tick);
}

void ServiceWatch::ready()
{
    if (!ServiceNotifier::listening())
        return;
    m_lastStatus = statusLine();
    ServiceNotifier::notify("READY=1\n" + m_lastStatus);
    m_timer.start();
    tick();
}

void ServiceWatch::stopping()
{
    m_stopping = true;
    m_timer.stop();
    ServiceNotifier::notify("STOPPING=1");
}

bool ServiceWatch::healthy() const
{
    // The event loop runs (this is one of its ticks). What remains to ask
    // is whether the database thread waits past its own time-out, and
    // whether the cycle goes on at all.
    const DatabaseThread &database = m_gw.database();
    if (database.hung())
        return false;
    // A standby of a pair runs no cycle: it lives while its keeper tries
    // the lease.
    if (m_gw.lease().role() == LeaseKeeper::Role::Standby)
        return m_gw.lease().started();
    const DatabaseCycle &cycle = m_gw.cycle();
    if (!cycle.everStarted()) {
        // The supervisor brings the connections up: its timer runs, or an
        // open it handed over is under way.
        return m_gw.tasks().isActive() || database.pending() > 0;
    }
    // A cycle that waits for a database within its time-out is alive, where
    // ever the tick falls in it.
    if (cycle.running() && database.activity().busy)
        return true;
    const qint64 since = cycle.msSinceLastTick();
    const qint64 limit
        = qMax<qint64>(kMinSilenceMs, qint64(kLateIntervals) * cycle.tmrDB().interval());
    if (cycle.running())
        return since <= limit;
    if (!cycle.tmrDB().isActive())
        return false;
    return since >= 0 ? since <= limit : true; // the first tick is a second away
}

QByteArray ServiceWatch::statusLine() const
{
    QString text;
    if (m_gw.lease().role() == LeaseKeeper::Role::Standby) {
        text = QStringLiteral("Standing by (pair ") + m_gw.lease().config().name + QLatin1Char(')');
    } else if (!m_gw.cycle().everStarted()) {
        const QString step = Supervisor::connStepName(m_gw.supervisor().connStep());
        text = QStringLiteral("Connecting")
            + (step.isEmpty() ? QString() : QStringLiteral(" (") + step + QLatin1Char(')'));
    } else {
        text = m_gw.statusRows().strStatus;
        if (text.isEmpty())
            text = QStringLiteral("Running");
    }
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return "STATUS=" + text.toUtf8();
}

void ServiceWatch::tick()
{
    if (m_stopping)
        return;
    const QByteArray status = statusLine();
    if (status != m_lastStatus) {
        m_lastStatus = status;
        ServiceNotifier::notify(status);
    }
    if (ServiceNotifier::watchdogMs() > 0 && healthy())
        ServiceNotifier::notify("WATCHDOG=1");
}
