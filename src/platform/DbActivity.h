#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>

// What the database thread waits for, read by the event thread: the
// statement or open under way, since when (by the monotonic clock) and the
// time-out it runs under. The event thread tells a stall from it and stops
// feeding the service watchdog only when a wait outlasts its own time-out.
class DbActivity
{
public:
    struct Now
    {
        bool busy = false;
        QString what; // "ORVIK_Jobs: Update AppStatus ...", "opening ORVIKDB"
        qint64 ms = 0; // how long it has waited
        int limitSeconds = 0; // its own time-out; 0: none
    };

    void begin(const QString &what, int limitSeconds)
    {
        QMutexLocker lock(&m_mutex);
        m_what = what;
        m_limit = limitSeconds;
        m_since.start();
        m_busy = true;
    }
    void end()
    {
        QMutexLocker lock(&m_mutex);
        m_busy = false;
    }
    Now now() const
    {
        QMutexLocker lock(&m_mutex);
        Now n;
        n.busy = m_busy;
        if (m_busy) {
            n.what = m_what;
            n.ms = m_since.elapsed();
            n.limitSeconds = m_limit;
        }
        return n;
    }

private:
    mutable QMutex m_mutex;
    bool m_busy = false;
    QString m_what;
    int m_limit = 0;
    QElapsedTimer m_since;
};
