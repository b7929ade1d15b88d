#include "common/Histogram.h"

#include <algorithm>

Histogram::Histogram(QList<double> bounds)
    : m_bounds(std::move(bounds)), m_buckets(m_bounds.size() + 1, 0)
{
}

void Histogram::observe(double value)
{
    // The first bound the value does not exceed; past the last, +Inf.
    const auto it = std::lower_bound(m_bounds.cbegin(), m_bounds.cend(), value);
    ++m_buckets[int(it - m_bounds.cbegin())];
    ++m_count;
    m_sum += value;
}

quint64 Histogram::cumulativeCount(int i) const
{
    quint64 n = 0;
    for (int b = 0; b <= i && b < m_buckets.size(); ++b)
        n += m_buckets.at(b);
    return n;
}
