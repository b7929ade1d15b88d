#pragma once

#include "diag/LogRecord.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

// Counts identical records within a time window so that an outage that
// repeats one failure every second does not push everything else out of a
// log: the first `allowed` records of a window are written, the rest only
// counted, and the count is written once the window is over.
class RepeatCounter
{
public:
    struct Held
    {
        LogRecord record; // the last one counted
        int count = 0; // records counted and not written
        QDateTime since; // the window's start
    };

    RepeatCounter(int allowed, int windowSeconds) : m_allowed(allowed), m_window(windowSeconds) { }

    // True: write the record; false: it was counted instead.
    bool admit(const LogRecord &record, const QDateTime &now);
    // The counts of the windows that are over (or of all, with everything),
    // oldest first; their windows are forgotten.
    QList<Held> takeFinished(const QDateTime &now, bool everything = false);
    // The repeating of a procedure's records stopped: the counts of its
    // windows, oldest first, all but the one of `except` (a repeat key);
    // those windows are forgotten.
    QList<Held> takeProcedure(const QString &procedure, const QString &except = QString());

    int windowSeconds() const { return m_window; }

private:
    struct Window
    {
        QString procedure;
        QDateTime start;
        int seen = 0;
        Held held;
    };

    QList<Held> take(const std::function<bool(const QString &, const Window &)> &isDone);

    int m_allowed;
    int m_window;
    QHash<QString, Window> m_windows;
};
