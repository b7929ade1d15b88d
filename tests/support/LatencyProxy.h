#pragma once

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <deque>
#include <memory>

// A loopback TCP proxy in a thread of its own, between a client (the
// gateway) and a server (PostgreSQL, a map server): every chunk is forwarded
// `delayMs` late in each direction, as a far network would; it can stop
// forwarding altogether (a host that vanished, packets dropped) and it counts
// the client's round trips: each time the client speaks after the server
// did is one.
class LatencyProxy
{
public:
    LatencyProxy(const QString &targetHost, quint16 targetPort, int delayMs)
        : m_host(targetHost), m_port(targetPort), m_delayMs(delayMs)
    {
        m_thread.start();
        m_core = new Core(this);
        m_core->moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            m_core, [this] { m_core->listen(); }, Qt::BlockingQueuedConnection);
    }
    ~LatencyProxy()
    {
        QMetaObject::invokeMethod(
            m_core, [this] { delete m_core; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    quint16 port() const { return m_listenPort; }
    int roundTrips() const { return m_roundTrips.loadRelaxed(); }
    void resetRoundTrips() { m_roundTrips.storeRelaxed(0); }
    // Holds everything, both ways, until set back: the other end hears
    // nothing and its packets go unanswered.
    void setBlackhole(bool on) { m_blackhole.storeRelaxed(on ? 1 : 0); }
    void setDelayMs(int ms) { m_delayMs.storeRelaxed(ms); }

private:
    struct Chunk
    {
        qint64 due;
        QByteArray bytes;
    };
    struct Pair
    {
        QPointer<QTcpSocket> client, server;
        std::deque<Chunk> toServer, toClient;
        bool serverSpoke = true; // the client's first words are a round trip
    };

    class Core : public QObject
    {
    public:
        explicit Core(LatencyProxy *owner) : m_owner(owner) { }
        void listen()
        {
            // Made here, in the proxy's thread, so that they live there.
            m_pump = new QTimer(this);
            m_pump->setInterval(1);
            QObject::connect(m_pump, &QTimer::timeout, this, [this] { pump(); });
            m_server = new QTcpServer(this);
            m_server->listen(QHostAddress::LocalHost, 0);
            m_owner->m_listenPort = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, this, [this] { accept(); });
            m_clock.start();
            m_pump->start();
        }

    private:
        void accept()
        {
            while (QTcpSocket *client = m_server->nextPendingConnection()) {
                auto pair = std::make_shared<Pair>();
                pair->client = client;
                pair->server = new QTcpSocket(this);
                pair->server->connectToHost(m_owner->m_host, m_owner->m_port);
                pair->server->waitForConnected(5000);
                client->setParent(this);
                QObject::connect(client, &QTcpSocket::readyRead, this, [this, pair] {
                    const QByteArray bytes = pair->client->readAll();
                    if (pair->serverSpoke) {
                        m_owner->m_roundTrips.fetchAndAddRelaxed(1);
                        pair->serverSpoke = false;
                    }
                    pair->toServer.push_back({m_clock.elapsed() + delay(), bytes});
                });
                QObject::connect(pair->server, &QTcpSocket::readyRead, this, [this, pair] {
                    pair->serverSpoke = true;
                    pair->toClient.push_back(
                        {m_clock.elapsed() + delay(), pair->server->readAll()});
                });
                auto close = [pair] {
                    if (pair->client)
                        pair->client->disconnectFromHost();
                    if (pair->server)
                        pair->server->disconnectFromHost();
                };
                QObject::connect(client, &QTcpSocket::disconnected, this, close);
                QObject::connect(pair->server, &QTcpSocket::disconnected, this, close);
                m_pairs.append(pair);
            }
        }
        int delay() const { return m_owner->m_delayMs.loadRelaxed(); }
        void pump()
        {
            if (m_owner->m_blackhole.loadRelaxed())
                return;
            const qint64 now = m_clock.elapsed();
            for (const auto &pair : std::as_const(m_pairs)) {
                while (!pair->toServer.empty() && pair->toServer.front().due <= now) {
                    if (pair->server)
                        pair->server->write(pair->toServer.front().bytes);
                    pair->toServer.pop_front();
                }
                while (!pair->toClient.empty() && pair->toClient.front().due <= now) {
                    if (pair->client)
                        pair->client->write(pair->toClient.front().bytes);
                    pair->toClient.pop_front();
                }
            }
        }

        LatencyProxy *m_owner;
        QTcpServer *m_server = nullptr;
        QTimer *m_pump = nullptr;
        QElapsedTimer m_clock;
        QList<std::shared_ptr<Pair>> m_pairs;
    };

    QString m_host;
    quint16 m_port;
    QAtomicInt m_delayMs;
    QAtomicInt m_blackhole{0};
    QAtomicInt m_roundTrips{0};
    quint16 m_listenPort = 0;
    QThread m_thread;
    Core *m_core = nullptr;
};
