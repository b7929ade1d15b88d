#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <deque>

// The last lines that crossed the map connection, both ways, for a view of
// the traffic without a window. Kept only while switched on (it costs a copy
// of every line); long lines are kept cut, with their length said.
class TrafficTail
{
public:
    enum class Direction { In, Out };

    struct Line
    {
        QDateTime at;
        Direction direction = Direction::Out;
        QString text;
    };

    static constexpr int kDefaultCapacity = 100;
    static constexpr int kMaxLineChars = 300;

    explicit TrafficTail(int capacity = kDefaultCapacity) : m_capacity(capacity) { }

    void setOn(bool on);
    bool isOn() const { return m_on; }

    // Text as it crossed the connection: cut into lines at carriage returns
    // and line feeds; an unfinished line waits for the rest of its text.
    void add(Direction direction, const QString &text, const QDateTime &at);

    // Oldest first.
    QList<Line> lines() const { return QList<Line>(m_lines.cbegin(), m_lines.cend()); }

private:
    void keep(Direction direction, const QString &line, qsizetype length, const QDateTime &at);

    int m_capacity;
    bool m_on = false;
    std::deque<Line> m_lines;
    QString m_partial[2]; // an unfinished line per direction, cut
    qsizetype m_partialLength[2] = {}; // its whole length
};
