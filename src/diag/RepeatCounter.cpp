#include "diag/RepeatCounter.h"

#include <algorithm>

QString LogRecord::severityWord(Severity severity)
{
    switch (severity) {
    case Severity::Warning:
        return QStringLiteral("warning");
    case Severity::Error:
        return QStringLiteral("error");
    case Severity::Info:
        break;
    }
    return QStringLiteral("info");
}

QString LogRecord::repeatKey() const
{
    return procedure + QChar(0x1f) + message + QChar(0x1f) + QString::number(number);
}

bool RepeatCounter::admit(const LogRecord &record, const QDateTime &now)
{
    Window &w = m_windows[record.repeatKey()];
    if (!w.start.isValid() || w.start.secsTo(now) >= m_window || now < w.start) {
        // A window whose count was not taken yet is dropped with it: callers
        // take the finished windows before they admit.
        w = Window();
        w.start = now;
    }
    ++w.seen;
    if (w.seen <= m_allowed)
        return true;
    w.held.record = record;
    w.held.since = w.start;
    ++w.held.count;
    return false;
}

QList<RepeatCounter::Held> RepeatCounter::takeFinished(const QDateTime &now, bool everything)
{
    QList<Held> done;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        const Window &w = it.value();
        if (everything || w.start.secsTo(now) >= m_window || now < w.start) {
            if (w.held.count > 0)
                done << w.held;
            it = m_windows.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(
        done.begin(), done.end(), [](const Held &a, const Held &b) { return a.since < b.since; });
    return done;
}
