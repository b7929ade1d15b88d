#include "app/CycleMeter.h"

#include "app/DatabaseCycle.h"
#include "app/StatusPanels.h"
#include "common/Metrics.h"
#include "common/Sessions.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"

CycleMeter::CycleMeter(const DatabaseCycle &cycle, const StatusPanels &panels,
    const Sessions &sessions, Metrics &metrics, const Clock &clock, QObject *parent)
    : QObject(parent), m_cycle(cycle), m_sessions(sessions), m_metrics(metrics), m_clock(clock)
{
    // The cycle writes the summary with its timer stopped (step 4 stops it);
    // the status command's summary between cycles finds it running.
    connect(&panels, &StatusPanels::panelTextChanged, this, [this](const QString &key) {
        if (key == QLatin1String("keyStatus") && m_cycle.everStarted()
            && !m_cycle.tmrDB().isActive())
            m_inCycle = true;
    });
    // Connected after the cycle's own handler, so this runs once its tick returned.
    connect(&m_cycle.tmrDB(), &QTimer::timeout, this, &CycleMeter::tickEnded);
}

void CycleMeter::record(const LogRecord &record, const QDateTime &)
{
    if (m_inCycle && record.procedure == QLatin1String("tmrDB_Timer")
        && record.message.contains(QLatin1String(" Step: ")))
        m_failed = true;
}

void CycleMeter::noteSession(
    const std::shared_ptr<DbSession> &now, const DbSession *&last, int which)
{
    // Every (re)open makes a new session object; the first is the start's.
    const DbSession *current = now.get();
    if (!current || current == last)
        return;
    if (last)
        m_metrics.dbSessionReopened(Metrics::Session(which));
    last = current;
}

void CycleMeter::tickEnded()
{
    noteSession(m_sessions.cnJobs, m_lastJobs, int(Metrics::Session::Jobs));
    noteSession(m_sessions.cnORVIKDB, m_lastOrvikDb, int(Metrics::Session::OrvikDb));
    if (!m_inCycle)
        return;
    m_inCycle = false;
    const bool ok = !m_failed;
    m_failed = false;
    m_metrics.cycleEnded(
        ok, double(qMax<qint64>(0, m_cycle.msSinceLastTick())) / 1000.0, m_clock.now());
    Q_EMIT cycleEnded();
}
