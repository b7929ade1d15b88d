#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

class Clock;
class ErrorLog;
class MenuMarks;
class QDateTime;
struct DayModel;
struct clsLine;
struct clsSched;

// Turns the lines held in memory into "ExpLineSched" messages for the map
// server: the push of every changed line at the end of a database cycle, and
// the answer to the map server's request for one line.
class mdlSendScheds
{
public:
    // Sends one text on the map connection as it is; failure 40006 when the
    // connection is not up. Returns whether the connection takes more now:
    // false pauses a push, which the next "Send New" takes up where it
    // stopped (the lines not yet sent keep bNew).
    using Send = std::function<bool(const QString &text)>;

    // marks: mnuDebugAll asks for every message in "Bufs.TXT".
    mdlSendScheds(
        DayModel &day, Send send, const MenuMarks &marks, const Clock &clock, ErrorLog &log);

    // sType: "Send All", "Send New" or "Request" (any letter case); anything
    // but "Request" pushes the changed lines and reads "Send All" afterwards.
    // sBuf: the received request line, read only for "Request".
    //
    // A push goes round: a round sends the changed lines in collection order;
    // one that pauses (the connection holds as much as it may) goes on where
    // it stopped at the next call; a line changed again after it went out
    // waits for the next round, which begins only when this one has reached
    // the last line. So a map server that reads slower than a day's push per
    // cycle still gets every line, in turn.
    void ProcessExpLineSchedReq(QString &sType, QString &sBuf);

    // A new map connection: the round starts over, since what went to the
    // connection before is lost to the new one.
    void restartRound() { m_roundOpen = false; }
    bool roundOpen() const { return m_roundOpen; }
    // A push gives the event loop back after this many milliseconds (0: it
    // never does), so that the map's requests are answered between its
    // slices; goOn then has the push go on soon (it queues the next "Send
    // New").
    void setSlices(int ms, std::function<void()> goOn)
    {
        m_sliceMs = ms;
        m_goOn = std::move(goOn);
    }
    // A round that took (or has taken so far) longer than limitSeconds is
    // told in one warning record an hour, with its time and bytes.
    void checkRound(qint64 limitSeconds);

    // One schedule entry: vehicle-start-end-stops:times[-driver].
    static QString schedEntry(const clsSched &sched);
    // The line's entries joined by "\c", or "Not Found" for a line without
    // trips.
    static QString scheduleList(const clsLine &line);
    // The line's schedule list as kept on the line, made again only when a
    // trip changed since it was made.
    static const QString &currentSchedule(clsLine &line);
    // The line key a requested route name leads to: c8 c6 c1 c2 c3 c5.
    static QString lookupKey(const QString &code);

private:
    QString messageHead(const QString &organization, const QString &code) const;
    bool send(const QString &message);
    void logBuf(const QString &text);

    DayModel &m_day;
    Send m_send;
    int m_sliceMs = 0;
    std::function<void()> m_goOn;
    quint64 m_round = 0; // the round under way, or the last one
    bool m_roundOpen = false;
    QDateTime m_roundStart;
    qint64 m_roundBytes = 0;
    qint64 m_lastRoundSeconds = 0; // how long the last finished round took
    qint64 m_lastRoundBytes = 0;
    QDateTime m_roundWarned; // the last warning of a slow round
    const MenuMarks &m_marks;
    const Clock &m_clock;
    ErrorLog &m_log;
};
