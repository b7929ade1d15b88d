#include "MapLink.h"

#include "InboundCommands.h"
#include "MapProtocol.h"
#include "app/Gateway.h"
#include "app/Ui.h"
#include "app/Version.h"
#include "diag/ErrorLog.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

MapLink::MapLink(Gateway &gateway) : m_gw(gateway) { }

void MapLink::MapConnect()
{
    const auto failure = trapFailure([&] {
        MapSocket &sck = m_gw.sckMap();
        sck.close();
        sck.setRemoteHost(m_gw.state().strMapIP);
        sck.setRemotePort(m_gw.state().iMapPort);
        if (sck.state() == MapSocket::Closed)
            sck.connectToHost();
    });
    if (failure) {
        if (m_gw.state().logOnLoaded() && failure->number() != 0)
            m_gw.ui().msgBox(failure->description(), Ui::Icon::None, Version::kAppTitle);
        m_gw.log().logFailure(QStringLiteral("MapConnect"), *failure);
    }
}

void MapLink::sckmap_Connect()
{
    const auto failure = trapFailure([&] {
        const AppState &st = m_gw.state();
        m_gw.sckMap().send(MapProtocol::kLogin + st.strMapUserID + MapProtocol::kFieldSeparator
            + st.strMapPassword + MapProtocol::kLineEnd);
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("sckmap_Connect"), *failure);
}

void MapLink::sckmap_DataArrival(qint64)
{
    const auto failure = trapFailure([&] { frame(m_gw.sckMap().getData()); });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("sckmap_DataArrival"), *failure);
}

void MapLink::frame(const QString &text)
{
    QString &buf = m_gw.state().strRecvBuf;
    const qsizetype n = text.size();
    qsizetype i = 0;
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
            if (buf.size() + (j - i) > kMaxMessageChars) {
                m_gw.log().Err2File(QStringLiteral("sckmap_DataArrival"),
                    QStringLiteral("Message longer than %1 characters dropped: ")
                            .arg(kMaxMessageChars)
                        + buf.left(40),
                    0, QString(), QStringLiteral("Debug.TXT"));
                buf.clear();
                bInMessage = false;
            } else {
                buf += QStringView(text).mid(i, j - i);
            }
            i = j;
        }
    }
}

void MapLink::sckmap_Error(int, const QString &description)
{
    AppState &st = m_gw.state();
    if (st.logOnLoaded()) {
        // The operator is at the logon dialog: stop trying and tell why.
        const auto failure = trapFailure([&] {
            m_gw.tmrTasks().stop();
            // One box at a time: the cycle's reconnects go on while it is up.
            if (!m_boxShown) {
                m_boxShown = true;
                const auto boxFailure = trapFailure([&] {
                    m_gw.ui().msgBox(QStringLiteral("Error Connecting to Map. Error:")
                            + MapProtocol::kLineEnd + description,
                        Ui::Icon::Critical, QStringLiteral("Connecting to Map"));
                });
                m_boxShown = false;
                if (boxFailure)
                    throw *boxFailure;
            }
            st.strTaskStep.clear();
            m_gw.ui().reOrderLogOn(QStringLiteral("Usual"));
        });
        if (failure)
            m_gw.log().logFailure(QStringLiteral("sckmap_Error"), *failure);
    }
    m_gw.log().Err2File(QStringLiteral("sckmap_Error"), QStringLiteral("Can't connect to Map"), 0,
        QString(), QStringLiteral("Debug.TXT"));
}

void MapLink::ProcessMess(QString &message)
{
    const auto failure = trapFailure([&] {
        message.remove(QLatin1Char('\r'));
        message.remove(QLatin1Char('\n'));
        QStringList fields = message.split(MapProtocol::kFieldSeparator);
        const QString &command = fields.first();
        InboundCommands &inbound = m_gw.inbound();
        if (Convert::sameText(command, MapProtocol::kMapNotification))
            inbound.ProcessDollarMapNotification(message);
        else if (Convert::sameText(command, MapProtocol::kUpdateMode))
            inbound.ProcessDollarA(fields);
        else if (Convert::sameText(command, MapProtocol::kLineList))
            inbound.ProcessDollarQ(fields);
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("ProcessMessIS"), *failure);
}
