#pragma once

#include "diag/ErrorLog.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class Clock;
class DatabaseCycle;
class DbSession;
class Metrics;
class StatusPanels;
struct Sessions;

// Counts the database cycle from outside until the cycle reports its own end
// to Metrics: a tick that wrote the connection summary with its timer stopped
// (steps 4 to 6) ran a cycle; one that wrote the cycle's failure record ("tmrDB_Timer ... Step:")
// failed; a session object that changed between two ticks was reopened. It
// also tells whether a cycle is under way, so that a reload waits for its end.
class CycleMeter : public QObject, public ErrorLog::Sink
{
    Q_OBJECT
public:
    CycleMeter(const DatabaseCycle &cycle, const StatusPanels &panels, const Sessions &sessions,
        Metrics &metrics, const Clock &clock, QObject *parent = nullptr);

    // Between a cycle's summary and the end of its tick.
    bool inCycle() const { return m_inCycle; }

    void record(const LogRecord &record, const QDateTime &now) override;
    void flush(const QDateTime &, bool) override { }
    void endRepeats(const QString &, const QDateTime &) override { }

Q_SIGNALS:
    void cycleEnded();

private:
    void tickEnded();
    void noteSession(const std::shared_ptr<DbSession> &now, const DbSession *&last, int which);

    const DatabaseCycle &m_cycle;
    const Sessions &m_sessions;
    Metrics &m_metrics;
    const Clock &m_clock;
    bool m_inCycle = false;
    bool m_failed = false;
    const DbSession *m_lastJobs = nullptr;
    const DbSession *m_lastOrvikDb = nullptr;
};
