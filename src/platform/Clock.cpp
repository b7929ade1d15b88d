#include "Clock.h"

QDateTime Clock::now() const
{
    QMutexLocker lock(&m_mutex);
    return m_fixed.isValid() ? m_fixed : QDateTime::currentDateTime();
}

bool Clock::isSet() const
{
    QMutexLocker lock(&m_mutex);
    return m_fixed.isValid();
}

double Clock::secondsSinceMidnight() const
{
    return now().time().msecsSinceStartOfDay() / 1000.0;
}

void Clock::setNow(const QDateTime &moment)
{
    QMutexLocker lock(&m_mutex);
    m_fixed = moment;
}

void Clock::advanceMs(qint64 ms)
{
    QMutexLocker lock(&m_mutex);
    m_fixed = (m_fixed.isValid() ? m_fixed : QDateTime::currentDateTime()).addMSecs(ms);
}

void Clock::useSystemTime()
{
    QMutexLocker lock(&m_mutex);
    m_fixed = QDateTime();
}

void Clock::settleTimeZone()
{
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
}
