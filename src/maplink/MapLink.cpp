#include "maplink/MapLink.h"

#include "common/MapProtocol.h"
#include "common/MapSettings.h"
#include "common/TaskTimer.h"
#include "common/Ui.h"
#include "common/Version.h"
#include "common/WindowTable.h"
#include "diag/ErrorLog.h"
#include "maplink/InboundCommands.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

MapLink::MapLink(MapSocket &sckMap, const MapSettings &map, const WindowTable &windows,
    TaskTimer &tasks, Ui &ui, const Clock &clock, ErrorLog &log, InboundCommands &inbound)
    : m_sckMap(sckMap),
      m_map(map),
      m_windows(windows),
      m_tasks(tasks),
      m_ui(ui),
      m_clock(clock),
      m_log(log),
      m_inbound(inbound)
{
}

void MapLink::MapConnect()
{
    const auto failure = trapFailure([&] {
        MapSocket &sck = m_sckMap;
        sck.close();
        sck.setRemoteHost(m_map.strMapIP);
        sck.setRemotePort(m_map.iMapPort);
        if (sck.state() == MapSocket::State::Closed)
            sck.connectToHost();
    });
    if (failure) {
        if (m_windows.logOnLoaded() && failure->number() != 0)
            m_ui.msgBox(failure->description(), Ui::Icon::None, Version::kAppTitle);
        m_log.logFailure(QStringLiteral("MapConnect"), *failure);
    }
}

void MapLink::noteLost()
{
    m_outage.begin(m_clock.now());
}

void MapLink::sckmap_Connect()
{
    // The connect attempts that failed stop repeating. The map works again
    // only when the server answers on this connection: one that takes the
    // connection and says nothing is still away.
    m_log.endRepeats(QStringLiteral("sckmap_Error"));
    m_log.trap(QStringLiteral("sckmap_Connect"), [&] {
        m_sckMap.send(MapProtocol::kLogin + m_map.strMapUserID + MapProtocol::kFieldSeparator
            + m_map.strMapPassword + MapProtocol::kLineEnd);
    });
}

void MapLink::sckmap_DataArrival(qint64)
{
    m_log.trap(QStringLiteral("sckmap_DataArrival"), [&] { frame(m_sckMap.getData()); });
}

void MapLink::frame(const QString &text)
{
    QString &buf = strRecvBuf;
    const qsizetype n = text.size();
    qsizetype i = 0;
    // A connection given up while this batch is handled (an answer that found
    // it gone) takes the rest of the batch with it: answering the rest would
    // only log one failure per message.
    const bool wasConnected = m_sckMap.state() == MapSocket::State::Connected;
    while (i < n) {
        const QChar ch = text.at(i);
        if (ch == MapProtocol::kMessageStart) {
            // A "$" inside a message starts it again.
            buf = QString(QChar(MapProtocol::kMessageStart));
            bInMessage = true;
            ++i;
        } else if (ch == MapProtocol::kMessageEnd) {
            if (bInMessage) {
                buf += ch;
                bInMessage = false;
                QString message = buf;
                buf.clear();
                ProcessMess(message);
                if (wasConnected && m_sckMap.state() != MapSocket::State::Connected)
                    return;
            }
            bInMessage = false;
            ++i;
        } else if (!bInMessage) {
            // Between a carriage return and the next "$": dropped.
            ++i;
        } else {
            // Take the run up to the next "$" or carriage return in one append.
            qsizetype j = i + 1;
            while (j < n && text.at(j) != MapProtocol::kMessageStart
                && text.at(j) != MapProtocol::kMessageEnd)
                ++j;
            // The kind of message is read from its head only when its size asks.
            const qsizetype grown = buf.size() + (j - i);
            int bound = kMaxMessageChars;
            if (grown > bound) {
                bound = buf.size() >= 64
                    ? messageBound(buf)
                    : messageBound(buf + QStringView(text).mid(i, 64).toString());
            }
            if (grown > bound)
                dropOversized(bound == kMaxLineListChars);
            else
                buf += QStringView(text).mid(i, j - i);
            i = j;
        }
    }
}

int MapLink::messageBound(QStringView head)
{
    // The command word ends at the first comma; line feeds inside it are
    // dropped by the dispatcher, so they are passed over here too. A word
    // that has not ended within the first 64 characters is no "$Q".
    QString word;
    for (qsizetype i = 0; i < head.size() && i < 64; ++i) {
        const QChar ch = head.at(i);
        if (ch == MapProtocol::kFieldSeparator.front()) {
            return Convert::sameText(word, MapProtocol::kLineList) ? kMaxLineListChars
                                                                   : kMaxMessageChars;
        }
        if (ch != QLatin1Char('\n'))
            word += ch;
    }
    return kMaxMessageChars;
}

void MapLink::dropOversized(bool lineList)
{
    QString &buf = strRecvBuf;
    if (!lineList) {
        m_log.Err2File(QStringLiteral("sckmap_DataArrival"),
            QStringLiteral("Message longer than %1 characters dropped: ").arg(kMaxMessageChars)
                + buf.left(40),
            0, QString(), QStringLiteral("Debug.TXT"));
    } else if (!m_lineListRefused) {
        // Told once: the server sends the same list again at every request.
        m_log.Err2File(QStringLiteral("sckmap_DataArrival"),
            QStringLiteral("The map server's line list is longer than %1 characters (room for "
                           "%2 vehicles): not read; the list received before is kept")
                .arg(kMaxLineListChars)
                .arg(kMaxFleetVehicles),
            0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
    }
    buf.clear();
    bInMessage = false;
    if (lineList) {
        m_lineListRefused = true;
        // It is the answer all the same: the cycle goes on and asks again
        // when the list is due, instead of waiting for an answer that never
        // comes and giving the connection up.
        m_inbound.lineListAnswered();
    }
}

void MapLink::sckmap_Error(int, const QString &description)
{
    noteLost();
    if (m_windows.logOnLoaded()) {
        // The operator is at the logon dialog: stop trying and tell why.
        m_log.trap(QStringLiteral("sckmap_Error"), [&] {
            m_tasks.stop();
            // One box at a time: the cycle's reconnects go on while it is up.
            if (!m_boxShown) {
                m_boxShown = true;
                const auto boxFailure = trapFailure([&] {
                    m_ui.msgBox(QStringLiteral("Error Connecting to Map. Error:")
                            + MapProtocol::kLineEnd + description,
                        Ui::Icon::Critical, QStringLiteral("Connecting to Map"));
                });
                m_boxShown = false;
                if (boxFailure)
                    throw *boxFailure;
            }
            m_tasks.setStep(TaskStep::None);
            m_ui.reOrderLogOn(LogOnLayout::Usual);
        });
    }
    // Where and why, after the record's own text: the address and port tried
    // and the socket's reason.
    m_log.Err2File(QStringLiteral("sckmap_Error"),
        QStringLiteral("Can't connect to Map ") + m_sckMap.remoteHost() + QLatin1Char(':')
            + QString::number(m_sckMap.remotePort()) + QStringLiteral(": ") + description,
        0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
}

void MapLink::ProcessMess(QString &message)
{
    if (m_outage.active()) {
        // The return after a failure is told with how long the map was away.
        m_log.logMessage(QStringLiteral("sckmap_DataArrival"),
            QStringLiteral("Map connection works again ") + m_outage.end(m_clock.now())
                + QStringLiteral(": ") + m_sckMap.remoteHost() + QLatin1Char(':')
                + QString::number(m_sckMap.remotePort()) + QStringLiteral(" answered"));
    }
    m_log.trap(QStringLiteral("ProcessMessIS"), [&] {
        message.remove(QLatin1Char('\r'));
        message.remove(QLatin1Char('\n'));
        QStringList fields = message.split(MapProtocol::kFieldSeparator);
        const QString &command = fields.first();
        InboundCommands &inbound = m_inbound;
        if (Convert::sameText(command, MapProtocol::kMapNotification))
            inbound.ProcessDollarMapNotification(message);
        else if (Convert::sameText(command, MapProtocol::kUpdateMode))
            inbound.ProcessDollarA(fields);
        else if (Convert::sameText(command, MapProtocol::kLineList)) {
            if (m_lineListRefused) {
                m_lineListRefused = false;
                m_log.logMessage(QStringLiteral("sckmap_DataArrival"),
                    QStringLiteral("The map server's line list is read again (%1 characters)")
                        .arg(message.size()));
            }
            inbound.ProcessDollarQ(fields);
        }
    });
}
