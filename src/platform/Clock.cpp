#include "Clock.h"

QDateTime Clock::now() const
{
    return m_fixed.isValid() ? m_fixed : QDateTime::currentDateTime();
}

double Clock::secondsSinceMidnight() const
{
    return now().time().msecsSinceStartOfDay() / 1000.0;
}

void Clock::setNow(const QDateTime &moment)
{
    m_fixed = moment;
}

void Clock::advanceMs(qint64 ms)
{
    m_fixed = now().addMSecs(ms);
}

void Clock::useSystemTime()
{
    m_fixed = QDateTime();
}

void Clock::settleTimeZone()
{
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
}
