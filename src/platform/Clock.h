#pragma once

#include <QDateTime>
#include <QMutex>

// The one source of "now". Real by default; tests set it to any moment (03:59,
// 04:00, just before midnight) and move it forward instead of sleeping. Both
// threads read it.
class Clock
{
public:
    QDateTime now() const;
    // Seconds since local midnight, with milliseconds as the fraction.
    double secondsSinceMidnight() const;
    QDate today() const { return now().date(); }

    // Settable mode. The set moment does not run on by itself.
    void setNow(const QDateTime &moment);
    void advanceMs(qint64 ms);
    void advanceSeconds(qint64 s) { advanceMs(s * 1000); }
    void useSystemTime();
    bool isSet() const;

    // Without TZ the C library looks at /etc/localtime again at every local
    // time conversion; a program that converts many per cycle sets it once,
    // before anything else runs.
    static void settleTimeZone();

private:
    mutable QMutex m_mutex;
    QDateTime m_fixed;
};
