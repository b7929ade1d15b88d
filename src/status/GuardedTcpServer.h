#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// The status server's listening socket with the bounds the HTTP module leaves
// out: at most so many connections at once (one more is answered 503 and
// closed), at most so many bytes of request before its answer (413, closed),
// and a connection must finish a request within the idle time of its start or
// of its last answer, or it is closed. So idle or slow clients cost a socket
// each, up to the bound, and never the event thread's time.
class GuardedTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Limits
    {
        int maxConnections = 32;
        qint64 maxRequestBytes = 16 * 1024;
        int idleMs = 10000;
        // Answers not yet read by a client above which it is dropped.
        qint64 maxUnreadBytes = 4 * 1024 * 1024;
    };

    explicit GuardedTcpServer(Limits limits, QObject *parent = nullptr);

    const Limits &limits() const { return m_limits; }
    int connectionCount() const { return int(m_connections.size()); }
    quint64 refusedCount() const { return m_refused; }

    // A request on socket was answered: its byte count and its idle clock
    // start again.
    void answered(QTcpSocket *socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        qint64 requestBytes = 0;
        QElapsedTimer since;
    };

    void refuse(qintptr descriptor);
    void received(QTcpSocket *socket);
    void sweep();
    static void closeWith(QTcpSocket *socket, const QByteArray &statusLine);

    Limits m_limits;
    QHash<QTcpSocket *, Connection> m_connections;
    QTimer m_sweep;
    quint64 m_refused = 0;
};
