#pragma once

#include "common/ListenAddress.h"
#include "status/GuardedTcpServer.h"

#include <QtHttpServer/QAbstractHttpServer>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class Clock;
class LogTail;
class Metrics;
class QHttpServerRequest;
class TrafficTail;
class StatusSource;

// The gateway's status over HTTP, on the event thread: the page (/), its data
// (/status.json, /lines), the health check (/healthz) and the counts
// (/metrics). Read-only: GET and HEAD, anything else is 405. With a token,
// every request must carry "Authorization: Bearer <token>" (401 otherwise).
// Each answer is built from one snapshot of the source, so a request costs
// little; the listening socket bounds connections, request size and idle time.
class StatusServer : public QAbstractHttpServer
{
    Q_OBJECT
public:
    StatusServer(const StatusSource &source, const Metrics &metrics, const LogTail &log,
        const TrafficTail &traffic, const Clock &clock, QObject *parent = nullptr);

    // Listens on the address (port 0: any free one); false with the reason in
    // error when it cannot. Once only.
    bool listen(const ListenAddress &where, const QString &token, GuardedTcpServer::Limits limits,
        QString *error);
    bool isListening() const { return m_tcp != nullptr; }
    quint16 port() const;
    const GuardedTcpServer *tcpServer() const { return m_tcp; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Answer
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    Answer answer(const QHttpServerRequest &request) const;
    Answer page() const;
    Answer health() const;
    Answer metrics() const;
    Answer statusJson() const;
    Answer lines(const QString &lineKey) const;
    bool authorized(const QHttpServerRequest &request) const;
    void send(QTcpSocket *socket, const Answer &a, bool head, bool close);

    static Answer json(int status, const QByteArray &body);
    static Answer text(int status, const QByteArray &body);
    static QByteArray reasonPhrase(int status);
    static QByteArray header(const QHttpServerRequest &request, const QByteArray &name);

    const StatusSource &m_source;
    const Metrics &m_metrics;
    const LogTail &m_log;
    const TrafficTail &m_traffic;
    const Clock &m_clock;
    GuardedTcpServer *m_tcp = nullptr;
    QByteArray m_token;
};
