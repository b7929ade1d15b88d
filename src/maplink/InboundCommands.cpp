#include "InboundCommands.h"

#include "MapProtocol.h"
#include "app/Gateway.h"
#include "diag/ErrorLog.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

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

InboundCommands::InboundCommands(Gateway &gateway) : m_gw(gateway) { }

void InboundCommands::ProcessDollarA(QStringList &fields)
{
    const auto failure = trapFailure([&] {
        if (!Convert::sameText(fieldAt(fields, 1), MapProtocol::kUpdateModeReport))
            return;
        const QString mode = trimBlanks(fieldAt(fields, 2));
        if (mode.isEmpty())
            m_gw.sckMap().send(MapProtocol::kSetUpdateModeS + MapProtocol::kLineEnd);
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("ProcessDollarA"), *failure);
}

QString InboundCommands::lineListEntry(const QString &role, const QString &field)
{
    const QString trimmed = trimBlanks(field);
    bool admitted = false;
    if (Convert::sameText(role, QStringLiteral("Client")))
        admitted = !trimmed.isEmpty();
    else if (Convert::sameText(role, QStringLiteral("Server")))
        admitted = trimmed.startsWith(MapProtocol::kOrganizationPrefix, Qt::CaseInsensitive);
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
    AppState &st = m_gw.state();
    const auto failure = trapFailure([&] {
        QString list = MapProtocol::kFieldSeparator;
        for (qsizetype i = 2; i < fields.size(); ++i) {
            const QString entry = lineListEntry(st.strRole, fields.at(i));
            if (!entry.isNull())
                list += entry + MapProtocol::kFieldSeparator;
        }
        if (list == MapProtocol::kFieldSeparator)
            list.clear();
        st.strLinesList = list;
        st.bLinesChanged = true;
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("ProcessDollarQ"), *failure);
    // The database cycle waits for this answer, failed or not.
    st.dtLastQueryAll = DateTime::zero();
    st.dtLinesTime = m_gw.clock().now();
    st.bRequestLines = false;
    Gateway::enableTimer(m_gw.tmrDB());
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
            QString type = QStringLiteral("Request");
            m_gw.sendScheds().ProcessExpLineSchedReq(type, message);
        }
    });
    if (failure)
        m_gw.log().Err2File(QStringLiteral("ProcessDollarMapNotification"),
            QStringLiteral("Error: ") + context, failure->number(), failure->description(),
            QStringLiteral("Debug.TXT"));
}
