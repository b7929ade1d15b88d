#include "common/TrafficTail.h"

void TrafficTail::setOn(bool on)
{
    m_on = on;
    if (!on) {
        for (int d = 0; d < 2; ++d) {
            m_partial[d].clear();
            m_partialLength[d] = 0;
        }
    }
}

void TrafficTail::add(Direction direction, const QString &text, const QDateTime &at)
{
    if (!m_on)
        return;
    const int d = int(direction);
    // Only the first kMaxLineChars + 1 characters of a line are held: a peer
    // that never ends its line cannot make this grow.
    auto append = [&](QStringView piece) {
        m_partial[d] += piece.left(qMax<qsizetype>(0, kMaxLineChars + 1 - m_partial[d].size()));
        m_partialLength[d] += piece.size();
    };
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        append(QStringView(text).mid(from, i - from));
        if (m_partialLength[d] > 0)
            keep(direction, m_partial[d], m_partialLength[d], at);
        m_partial[d].clear();
        m_partialLength[d] = 0;
        from = i + 1;
    }
    append(QStringView(text).mid(from));
}

void TrafficTail::keep(
    Direction direction, const QString &line, qsizetype length, const QDateTime &at)
{
    QString shown = line;
    if (length > kMaxLineChars)
        shown = line.left(kMaxLineChars) + QStringLiteral("… (%1 characters)").arg(length);
    m_lines.push_back(Line{at, direction, shown});
    while (int(m_lines.size()) > m_capacity)
        m_lines.pop_front();
}
