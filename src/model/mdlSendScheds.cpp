#include "model/mdlSendScheds.h"

#include "common/MapProtocol.h"
#include "common/MapText.h"
#include "common/MenuMarks.h"
#include "diag/ErrorLog.h"
#include "model/DayModel.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"

#include <QElapsedTimer>
#include <QStringList>

namespace {

const QString kRequest = QStringLiteral("Request");
const QString kSendAll = QStringLiteral("Send All");
const QString kBufsFile = QStringLiteral("Bufs.TXT");

// Characters from a 1-based position, empty past the end, as Mid reads them.
QString mid(const QString &s, int start, int length)
{
    if (start > s.size())
        return QString();
    return s.mid(start - 1, length);
}

const QString &fieldAt(const QStringList &fields, int index)
{
    if (index < 0 || index >= fields.size())
        throw Failure(Failure::SubscriptOutOfRange);
    return fields.at(index);
}

} // namespace

mdlSendScheds::mdlSendScheds(
    DayModel &day, Send send, const MenuMarks &marks, const Clock &clock, ErrorLog &log)
    : m_day(day), m_send(std::move(send)), m_marks(marks), m_clock(clock), m_log(log)
{
}

QString mdlSendScheds::schedEntry(const clsSched &sched)
{
    // Every text here comes from a database row: none may frame or split the
    // message it goes into.
    QString entry
        = sched.ORVIKID.isEmpty() ? MapProtocol::kEmptyVehicle : MapText::field(sched.ORVIKID);
    entry += QLatin1Char('-') + DateTime::hhnn(sched.StartDT) + QLatin1Char('-')
        + DateTime::hhnn(sched.EndDT) + QLatin1Char('-') + QString::number(sched.Stops)
        + QLatin1Char(':') + MapText::field(sched.StTimes);
    if (!sched.DriverName.isEmpty())
        entry += QLatin1Char('-') + MapText::field(sched.DriverName);
    return entry;
}

QString mdlSendScheds::scheduleList(const clsLine &line)
{
    if (line.Scheds.isEmpty())
        return MapProtocol::kNotFound;
    QString list;
    for (const auto &sched : line.Scheds) {
        if (!list.isEmpty())
            list += MapProtocol::kItemSeparator;
        list += schedEntry(*sched);
    }
    return list;
}

const QString &mdlSendScheds::currentSchedule(clsLine &line)
{
    if (line.scheduleStale) {
        line.schedule = scheduleList(line);
        line.scheduleStale = false;
    }
    return line.schedule;
}

QString mdlSendScheds::lookupKey(const QString &code)
{
    // Characters 4 and 7 of the route name are not part of the line key.
    return mid(code, 7, 2).right(1) + mid(code, 6, 1) + mid(code, 1, 3) + mid(code, 5, 1);
}

QString mdlSendScheds::messageHead(const QString &organization, const QString &code) const
{
    return MapProtocol::kNotifyOrganization + MapText::field(organization)
        + MapProtocol::kExpLineSched + MapText::field(code) + MapProtocol::kItemSeparator;
}

bool mdlSendScheds::send(const QString &message)
{
    return m_send(message + MapProtocol::kLineEnd);
}

void mdlSendScheds::logBuf(const QString &text)
{
    if (m_marks.checked(MenuMarks::mnuDebugAll))
        m_log.copyLine(kBufsFile, text);
}

void mdlSendScheds::checkRound(qint64 limitSeconds)
{
    const QDateTime now = m_clock.now();
    const qint64 seconds = m_roundOpen
        ? qMax<qint64>(0, DateTime::secondsBetween(m_roundStart, now))
        : m_lastRoundSeconds;
    const qint64 bytes = m_roundOpen ? m_roundBytes : m_lastRoundBytes;
    if (seconds <= limitSeconds)
        return;
    if (m_roundWarned.isValid() && m_roundWarned <= now && m_roundWarned.secsTo(now) < 3600)
        return;
    m_roundWarned = now;
    m_log.Err2File(QStringLiteral("ProcessExpLineSchedReq"),
        QStringLiteral("A push round %1 %2 s for %3 bytes, longer than three cycles: the map "
                       "server reads slower than the day is pushed")
            .arg(m_roundOpen ? QStringLiteral("has taken") : QStringLiteral("took"))
            .arg(seconds)
            .arg(bytes),
        0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Warning);
}

void mdlSendScheds::ProcessExpLineSchedReq(QString &sType, QString &sBuf)
{
    QString step = QStringLiteral("Details Not Applied");
    const auto failure = trapFailure([&] {
        // The cycle's "Send New" pushes every changed line like "Send All":
        // a line is flagged whenever its trips change, and that is what the
        // map server has to hear about.
        if (!Convert::sameText(sType, kRequest))
            sType = kSendAll;
        if (!m_day.colLines)
            return;
        colLinesType &lines = *m_day.colLines;

        if (Convert::sameText(sType, kSendAll)) {
            step = QStringLiteral("Send_All");
            const QDateTime now = m_clock.now();
            QElapsedTimer slice;
            slice.start();
            if (!m_roundOpen) {
                ++m_round;
                m_roundOpen = true;
                m_roundStart = now;
                m_roundBytes = 0;
            }
            // Sent in this round already: a change since waits for the next.
            auto due
                = [this](const clsLine &line) { return line.bNew && line.pushRound != m_round; };
            for (auto it = lines.begin(); it != lines.end(); ++it) {
                clsLine &line = **it;
                if (!due(line))
                    continue;
                const QString message
                    = messageHead(MapProtocol::kOrganization, line.Makat) + currentSchedule(line);
                logBuf(QStringLiteral("SendAll - ") + message);
                const bool more = send(message);
                line.bNew = false;
                line.pushRound = m_round;
                line.dtLastPush = now;
                m_roundBytes += message.size() + MapProtocol::kLineEnd.size();
                // The connection holds as much as a push may queue: the rest
                // goes once the map server has read it (the next "Send New").
                const bool sliceOver = m_sliceMs > 0 && slice.elapsed() >= m_sliceMs;
                if (!more || sliceOver) {
                    // Paused at the last line due: the round has gone out.
                    auto rest = it;
                    while (++rest != lines.end() && !due(**rest)) { }
                    if (rest != lines.end()) {
                        if (more && m_goOn)
                            m_goOn();
                        return;
                    }
                    break;
                }
            }
            m_roundOpen = false;
            m_lastRoundSeconds = qMax<qint64>(0, DateTime::secondsBetween(m_roundStart, now));
            m_lastRoundBytes = m_roundBytes;
            return;
        }

        step = kRequest;
        QString normal = sBuf;
        normal.replace(MapProtocol::kItemSeparator, MapProtocol::kFieldSeparator);
        normal.remove(MapProtocol::kEscapedNewLine);
        const QStringList fields = normal.split(MapProtocol::kFieldSeparator);
        const QString organization = fieldAt(fields, 1);
        const QString code = fieldAt(fields, 4);
        const QString key = lookupKey(code);

        const auto line = lines.value(key);
        if (!line) {
            // The log names the key looked up; the answer names the code asked for.
            logBuf(DateTime::general(m_clock.now()) + QStringLiteral(": O - ")
                + messageHead(organization, key) + MapProtocol::kNotFound);
            send(messageHead(organization, code) + MapProtocol::kNotFound);
            return;
        }
        const QDateTime now = m_clock.now();
        const QString message = messageHead(organization, code) + currentSchedule(*line);
        for (const auto &sched : line->Scheds)
            sched->Sent = now;
        line->bNew = false;
        logBuf(DateTime::general(now) + QStringLiteral(": O - ") + message);
        send(message);
    });
    if (failure)
        m_log.Err2File(QStringLiteral("ProcessExpLineSchedReq"), QStringLiteral("Error - ") + step,
            failure->number(), failure->description(), QStringLiteral("Debug.TXT"));
}
