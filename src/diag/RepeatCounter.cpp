#include "diag/RepeatCounter.h"

#include <algorithm>
#include <functional>

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
        w.procedure = record.procedure;
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
    return take([&](const QString &, const Window &w) {
        return everything || w.start.secsTo(now) >= m_window || now < w.start;
    });
}

QList<RepeatCounter::Held> RepeatCounter::takeProcedure(
    const QString &procedure, const QString &except)
{
    if (m_windows.isEmpty())
        return {};
    return take([&](const QString &key, const Window &w) {
        return key != except && w.procedure == procedure;
    });
}

QList<RepeatCounter::Held> RepeatCounter::take(
    const std::function<bool(const QString &, const Window &)> &isDone)
{
    QList<Held> done;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        const Window &w = it.value();
        if (isDone(it.key(), w)) {
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
