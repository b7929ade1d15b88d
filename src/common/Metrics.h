#pragma once

#include "common/Histogram.h"

#include <QDateTime>
#include <QString>

// The gateway's running counts for its status page and its /metrics: plain
// counters and histograms on the event thread, written by the parts where
// things happen and read when someone asks. Gauges that describe the present
// (sessions open, lines held, map connected) are not kept here: they are read
// from their owners at the moment of the question.
class Metrics
{
public:
    enum class Session { Jobs, OrvikDb };

    Metrics();

    // One database cycle ran to its end (ok) or left by its failure exit;
    // seconds from its start, at the moment end.
    void cycleEnded(bool ok, double seconds, const QDateTime &end);
    // Rows the job selection returned in the last cycle that ran one.
    void jobsSelected(qint64 rows);
    // Rows the schedules insert stored.
    void schedsInserted(qint64 rows);
    // One line's schedule sent to the map server, pushed or asked for.
    void linePushed(qint64 bytes);
    // A session reopened after it was found broken (not its first open).
    void dbSessionReopened(Session session);
    // The map connection came up; every one after the first is a reconnect.
    void mapConnected();
    // A map request for a line answered, seconds after it was read.
    void mapRequestAnswered(double seconds);

    quint64 cycles() const { return m_cycles; }
    quint64 cycleFailures() const { return m_cycleFailures; }
    const Histogram &cycleDuration() const { return m_cycleDuration; }
    // The end of the last cycle, ok or not; invalid before the first.
    QDateTime lastCycleEnd() const { return m_lastCycleEnd; }
    // The end of the last cycle that ran to its end; invalid before the first.
    QDateTime lastGoodCycleEnd() const { return m_lastGoodCycleEnd; }
    bool lastCycleOk() const { return m_lastCycleOk; }
    qint64 lastJobsSelected() const { return m_jobsSelected; }
    quint64 schedsInsertedTotal() const { return m_schedsInserted; }
    quint64 pushes() const { return m_pushes; }
    quint64 pushBytes() const { return m_pushBytes; }
    quint64 dbReconnects(Session session) const { return m_dbReconnects[int(session)]; }
    quint64 mapConnects() const { return m_mapConnects; }
    quint64 mapReconnects() const { return m_mapConnects > 0 ? m_mapConnects - 1 : 0; }
    quint64 mapRequests() const { return m_mapAnswer.count(); }
    const Histogram &mapAnswer() const { return m_mapAnswer; }

    // "jobs" or "orvikdb", as labels and texts name a session.
    static QString sessionLabel(Session session);

private:
    quint64 m_cycles = 0;
    quint64 m_cycleFailures = 0;
    Histogram m_cycleDuration;
    QDateTime m_lastCycleEnd;
    QDateTime m_lastGoodCycleEnd;
    bool m_lastCycleOk = false;
    qint64 m_jobsSelected = 0;
    quint64 m_schedsInserted = 0;
    quint64 m_pushes = 0;
    quint64 m_pushBytes = 0;
    quint64 m_dbReconnects[2] = {};
    quint64 m_mapConnects = 0;
    Histogram m_mapAnswer;
};
