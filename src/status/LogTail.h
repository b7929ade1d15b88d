#pragma once

#include "diag/ErrorLog.h"
#include "diag/LogRecord.h"

#include <QDateTime>
#include <QList>

#include <deque>

// The debug log as the status page and /metrics see it: the last records in
// their parts, and how many of each severity came since start. Every record
// counts, also those the log file holds back as repeats.
class LogTail : public ErrorLog::Sink
{
public:
    static constexpr int kDefaultCapacity = 100;

    struct Entry
    {
        QDateTime at;
        LogRecord record;
    };

    explicit LogTail(int capacity = kDefaultCapacity) : m_capacity(capacity) { }

    void record(const LogRecord &record, const QDateTime &now) override;
    void flush(const QDateTime &, bool) override { }
    void endRepeats(const QString &, const QDateTime &) override { }

    // Oldest first.
    QList<Entry> entries() const { return QList<Entry>(m_entries.cbegin(), m_entries.cend()); }
    quint64 count(LogRecord::Severity severity) const { return m_counts[int(severity)]; }

private:
    int m_capacity;
    std::deque<Entry> m_entries;
    quint64 m_counts[3] = {};
};
