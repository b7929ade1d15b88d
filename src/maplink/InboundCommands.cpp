#include "maplink/InboundCommands.h"

#include "common/MapProtocol.h"
#include "common/Metrics.h"
#include "common/StatusRows.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

#include <QElapsedTimer>

namespace {

const QString &fieldAt(const QStringList &fields, int index)
{
    if (index < 0 || index >= fields.size())
        throw Failure(Failure::SubscriptOutOfRange);
    return fields.at(index);
}

// Leading and trailing blanks off; other white space stays.
QString trimBlanks(const QString &s)
{
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && s.at(from) == QLatin1Char(' '))
        ++from;
    while (to > from && s.at(to - 1) == QLatin1Char(' '))
        --to;
    return s.mid(from, to - from);
}

bool isSevenDigitNumber(const QString &s)
{
    return s.size() == 7 && Convert::isNumeric(s);
}

} // namespace

InboundCommands::InboundCommands(MapSocket &sckMap, const MapSettings &map, StatusRows &rows,
    LinkState &link, mdlSendScheds &sendScheds, const Clock &clock, ErrorLog &log, Metrics &metrics,
    std::function<void()> lineListReceived)
    : m_sckMap(sckMap),
      m_map(map),
      m_rows(rows),
      m_link(link),
      m_sendScheds(sendScheds),
      m_clock(clock),
      m_log(log),
      m_metrics(metrics),
      m_lineListReceived(std::move(lineListReceived))
{
}

void InboundCommands::ProcessDollarA(QStringList &fields)
{
    // The server's answer to our login: this connection is logged in.
    m_link.bLoggedIn = true;
    m_log.trap(QStringLiteral("ProcessDollarA"), [&] {
        if (!Convert::sameText(fieldAt(fields, 1), MapProtocol::kUpdateModeReport))
            return;
        const QString mode = trimBlanks(fieldAt(fields, 2));
        if (mode.isEmpty())
            m_sckMap.send(MapProtocol::kSetUpdateModeS + MapProtocol::kLineEnd);
    });
}

QString InboundCommands::lineListEntry(StationRole role, const QString &field)
{
    const QString trimmed = trimBlanks(field);
    const bool admitted = role == StationRole::Client
        ? !trimmed.isEmpty()
        : trimmed.startsWith(MapProtocol::kOrganizationPrefix, Qt::CaseInsensitive);
    if (!admitted)
        return QString();

    QString entry = field;
    entry.remove(MapProtocol::kOrganizationPrefix, Qt::CaseInsensitive);
    if (isSevenDigitNumber(entry)) {
        // A licence number: 1234567 reads 12-345-67.
        entry = entry.left(2) + QLatin1Char('-') + entry.mid(2, 3) + QLatin1Char('-')
            + entry.mid(5, 2);
    }
    // An admitted entry that became empty still takes its place in the list.
    if (entry.isNull())
        entry = QLatin1String("");
    return entry;
}

void InboundCommands::ProcessDollarQ(QStringList &fields)
{
    m_log.trap(QStringLiteral("ProcessDollarQ"), [&] {
        QString list = MapProtocol::kFieldSeparator;
        for (qsizetype i = 2; i < fields.size(); ++i) {
            const QString entry = lineListEntry(m_map.strRole, fields.at(i));
            if (!entry.isNull())
                list += entry + MapProtocol::kFieldSeparator;
        }
        if (list == MapProtocol::kFieldSeparator)
            list.clear();
        m_rows.strLinesList = list;
        m_rows.bLinesChanged = true;
    });
    lineListAnswered();
}

void InboundCommands::lineListAnswered()
{
    // The database cycle waits for this answer, failed or not.
    m_link.dtLinesTime = m_clock.now();
    m_link.bRequestLines = false;
    if (m_lineListReceived)
        m_lineListReceived();
}

void InboundCommands::ProcessDollarMapNotification(QString &message)
{
    const QString context = QStringLiteral("Buf: ") + message;
    const auto failure = trapFailure([&] {
        QString normal = message;
        normal.replace(MapProtocol::kItemSeparator, MapProtocol::kFieldSeparator);
        normal.remove(MapProtocol::kEscapedNewLine);
        const QStringList fields = normal.split(MapProtocol::kFieldSeparator);
        if (Convert::sameText(fieldAt(fields, 3), MapProtocol::kExpLineSchedReq)) {
            QElapsedTimer answering;
            answering.start();
            QString type = QStringLiteral("Request");
            m_sendScheds.ProcessExpLineSchedReq(type, message);
            m_metrics.mapRequestAnswered(double(answering.nsecsElapsed()) / 1e9);
        }
    });
    if (failure)
        m_log.Err2File(QStringLiteral("ProcessDollarMapNotification"),
            QStringLiteral("Error: ") + context, failure->number(), failure->description(),
            QStringLiteral("Debug.TXT"));
}
