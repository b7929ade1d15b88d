#pragma once

#include <QList>

// A cumulative histogram of observed values, as monitoring systems read one:
// the count of observations at or below each upper bound, their number and
// their sum. The bounds are fixed when it is made.
class Histogram
{
public:
    // bounds: ascending upper bounds; the implicit last one is +Inf.
    explicit Histogram(QList<double> bounds);

    void observe(double value);

    const QList<double> &bounds() const { return m_bounds; }
    // Observations at or below bounds()[i] (cumulative); i == bounds().size() is +Inf.
    quint64 cumulativeCount(int i) const;
    quint64 count() const { return m_count; }
    double sum() const { return m_sum; }

private:
    QList<double> m_bounds;
    QList<quint64> m_buckets; // per bucket, not cumulative; one more than the bounds
    quint64 m_count = 0;
    double m_sum = 0;
};
