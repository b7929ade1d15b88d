#pragma once

#include "platform/DateTime.h"

#include <QDateTime>
#include <QString>

// How long something stayed down: the first failure begins an outage, the
// next success ends it, so that the record of its return can say how long
// it was away.
class Outage
{
public:
    // A failure: the outage begins now, unless it began already.
    void begin(const QDateTime &now)
    {
        if (!m_since.isValid())
            m_since = now;
    }
    bool active() const { return m_since.isValid(); }
    QDateTime since() const { return m_since; }

    // It works again: "after 75 s (down since 10:01:02)", or empty when no
    // outage was under way.
    QString end(const QDateTime &now)
    {
        if (!m_since.isValid())
            return QString();
        const qint64 seconds = qMax<qint64>(0, DateTime::secondsBetween(m_since, now));
        const QString text = QStringLiteral("after %1 s (down since %2)")
                                 .arg(seconds)
                                 .arg(m_since.toString(QStringLiteral("HH:mm:ss")));
        m_since = QDateTime();
        return text;
    }

private:
    QDateTime m_since;
};
