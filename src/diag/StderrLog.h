#pragma once

#include "diag/ErrorLog.h"
#include "diag/LogRecord.h"
#include "diag/RepeatCounter.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// The headless gateway's copy of the debug log on standard error, where a
// service manager's journal keeps it: UTF-8, one line per record, led by a
// severity word. The same record repeated during an outage is written once,
// and once its five minutes are over, again with the count of the repeats.
class StderrLog : public ErrorLog::Sink
{
public:
    static constexpr int kRepeatWindowSeconds = 300;

    // writer: where the lines go (standard error unless a test says otherwise).
    explicit StderrLog(std::function<void(const QByteArray &)> writer = {});

    void record(const LogRecord &record, const QDateTime &now) override;
    // Writes the counts of the windows that are over (all, with everything).
    void flush(const QDateTime &now, bool everything) override;
    void endRepeats(const QString &procedure, const QDateTime &now) override;
    void counted(const RepeatCounter::Held &held, const QDateTime &now) override;

    // "error: SQLConnect: ... (Error Number: 5, Description: ...)".
    static QString line(const LogRecord &record);

private:
    void write(const QString &text, LogRecord::Severity severity);
    // capped: the span is at most the window (the repeats a window counted).
    void writeCounts(
        const QList<RepeatCounter::Held> &counts, const QDateTime &now, bool capped = true);

    std::function<void(const QByteArray &)> m_writer;
    RepeatCounter m_repeats{1, kRepeatWindowSeconds};
    bool m_journalLevels; // journald reads "<3>" and the like as the level
};
