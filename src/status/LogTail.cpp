#include "status/LogTail.h"

void LogTail::record(const LogRecord &record, const QDateTime &now)
{
    ++m_counts[int(record.severity)];
    m_entries.push_back(Entry{now, record});
    while (int(m_entries.size()) > m_capacity)
        m_entries.pop_front();
}
