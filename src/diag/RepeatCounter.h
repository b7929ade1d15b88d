#pragma once

#include "diag/LogRecord.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

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

    int windowSeconds() const { return m_window; }

private:
    struct Window
    {
        QDateTime start;
        int seen = 0;
        Held held;
    };

    int m_allowed;
    int m_window;
    QHash<QString, Window> m_windows;
};
