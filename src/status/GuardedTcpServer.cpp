#include "status/GuardedTcpServer.h"

#include <QTcpSocket>

namespace {

constexpr int kSweepMs = 1000;

} // namespace

GuardedTcpServer::GuardedTcpServer(Limits limits, QObject *parent)
    : QTcpServer(parent), m_limits(limits)
{
    m_sweep.setInterval(qMin(kSweepMs, qMax(100, m_limits.idleMs / 4)));
    connect(&m_sweep, &QTimer::timeout, this, &GuardedTcpServer::sweep);
    m_sweep.start();
}

void GuardedTcpServer::closeWith(QTcpSocket *socket, const QByteArray &statusLine)
{
    // No more reading: the HTTP module's parser must not see the rest.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    socket->write("HTTP/1.1 " + statusLine
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n"
          "Content-Length: "
        + QByteArray::number(statusLine.size() + 1) + "\r\n\r\n" + statusLine + '\n');
    socket->disconnectFromHost();
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    if (int(m_connections.size()) >= m_limits.maxConnections) {
        refuse(descriptor);
        return;
    }
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // The module keeps a request's bytes until it is whole; reading stops
    // here well before that grows, and received() answers 413 first.
    socket->setReadBufferSize(m_limits.maxRequestBytes + 4096);
    Connection c;
    c.socket = socket;
    c.since.start();
    m_connections.insert(socket, c);
    // Connected before the HTTP module connects its own: this one runs first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { received(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { m_connections.remove(socket); });
    addPendingConnection(socket);
}

void GuardedTcpServer::refuse(qintptr descriptor)
{
    ++m_refused;
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    closeWith(socket, "503 Service Unavailable");
    // A client that reads nothing does not keep even this one.
    QTimer::singleShot(2000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void GuardedTcpServer::received(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->requestBytes += socket->bytesAvailable();
    if (it->requestBytes > m_limits.maxRequestBytes)
        closeWith(socket, "413 Content Too Large");
}

void GuardedTcpServer::answered(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->requestBytes = 0;
    it->since.restart();
    if (socket->bytesToWrite() > m_limits.maxUnreadBytes) {
        // Asking without reading: what waits for it is not kept.
        socket->abort();
    }
}

void GuardedTcpServer::sweep()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        QTcpSocket *socket = it->socket;
        if (!socket) {
            it = m_connections.erase(it);
            continue;
        }
        if (it->since.elapsed() > m_limits.idleMs) {
            it = m_connections.erase(it);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++it;
    }
}
