#include "common/Metrics.h"

// Cycles take seconds (a selection at a large site several); map answers
// take milliseconds, and one waiting behind a cycle's stage up to a second.
Metrics::Metrics()
    : m_cycleDuration({0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120}),
      m_mapAnswer({0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5})
{
}

void Metrics::cycleEnded(bool ok, double seconds, const QDateTime &end)
{
    ++m_cycles;
    if (!ok)
        ++m_cycleFailures;
    m_cycleDuration.observe(seconds);
    m_lastCycleEnd = end;
    m_lastCycleOk = ok;
    if (ok)
        m_lastGoodCycleEnd = end;
}

void Metrics::jobsSelected(qint64 rows)
{
    m_jobsSelected = rows;
}

void Metrics::schedsInserted(qint64 rows)
{
    m_schedsInserted += quint64(qMax<qint64>(0, rows));
}

void Metrics::linePushed(qint64 bytes)
{
    ++m_pushes;
    m_pushBytes += quint64(qMax<qint64>(0, bytes));
}

void Metrics::dbSessionReopened(Session session)
{
    ++m_dbReconnects[int(session)];
}

void Metrics::mapConnected()
{
    ++m_mapConnects;
}

void Metrics::mapRequestAnswered(double seconds)
{
    m_mapAnswer.observe(seconds);
}

QString Metrics::sessionLabel(Session session)
{
    return session == Session::Jobs ? QStringLiteral("jobs") : QStringLiteral("orvikdb");
}
