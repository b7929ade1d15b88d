#pragma once

#include "app/Gateway.h"
#include "maplink/MapLink.h"
#include "platform/MapSocket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// The map server's end of a real loopback connection with a gateway: listens
// on any free port of 127.0.0.1, lets the gateway connect and log in, writes
// what a test feeds and collects what the gateway sends.
class MapPeer
{
public:
    explicit MapPeer(Gateway &gw) : m_gw(gw) { }

    // Listens, runs MapConnect and waits for the login line.
    bool connectGateway()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        m_gw.mapSettings().strMapIP = QStringLiteral("127.0.0.1");
        m_gw.mapSettings().iMapPort = quint16(server.serverPort());
        m_gw.mapLink().MapConnect();
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000))
            return false;
        peer = server.nextPendingConnection();
        if (!QTest::qWaitFor(
                [&] { return m_gw.sckMap().state() == MapSocket::State::Connected; }, 5000))
            return false;
        if (!QTest::qWaitFor([&] { return peer->canReadLine(); }, 5000))
            return false;
        login = peer->readLine();
        return true;
    }

    // Writes bytes and waits until the gateway has handled the first read of them.
    bool feed(const QByteArray &bytes)
    {
        QSignalSpy spy(&m_gw.sckMap(), &MapSocket::dataArrival);
        peer->write(bytes);
        return QTest::qWaitFor([&] { return spy.count() > 0; }, 5000);
    }

    // Everything the gateway sent since the last call: the gateway sends a
    // marker line and whatever arrived before it is returned.
    QByteArray takeReceived()
    {
        static const QByteArray marker("$TestMarker\r\n");
        m_gw.sckMap().send(QString::fromLatin1(marker));
        const bool seen = QTest::qWaitFor(
            [&] {
                m_buffer += peer->readAll();
                return m_buffer.contains(marker);
            },
            5000);
        const qsizetype at = m_buffer.indexOf(marker);
        if (!seen || at < 0)
            return QByteArrayLiteral("<marker lost>");
        const QByteArray out = m_buffer.left(at);
        m_buffer.remove(0, at + marker.size());
        return out;
    }

    // Writes bytes and then "$A,L," and returns what the gateway sent before
    // its "$SetUpdateMode,S" answer: everything the bytes caused, however
    // many reads they took.
    QByteArray exchange(const QByteArray &bytes, int timeoutMs = 20000)
    {
        static const QByteArray answer("$SetUpdateMode,S\r\n");
        peer->write(bytes);
        peer->write("$A,L,\r\n");
        const bool seen = QTest::qWaitFor(
            [&] {
                m_buffer += peer->readAll();
                return m_buffer.endsWith(answer);
            },
            timeoutMs);
        if (!seen)
            return QByteArrayLiteral("<no answer to $A,L,>");
        const QByteArray out = m_buffer.left(m_buffer.size() - answer.size());
        m_buffer.clear();
        return out;
    }

    QTcpServer server;
    QTcpSocket *peer = nullptr;
    QByteArray login;

private:
    Gateway &m_gw;
    QByteArray m_buffer;
};
