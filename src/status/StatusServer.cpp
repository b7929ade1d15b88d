#include "status/StatusServer.h"

#include "common/Metrics.h"
#include "common/TrafficTail.h"
#include "common/Version.h"
#include "platform/Clock.h"
#include "status/HealthCheck.h"
#include "status/LogTail.h"
#include "status/MetricsText.h"
#include "status/StatusJson.h"
#include "status/StatusPage.h"
#include "status/StatusSource.h"

#include <QtHttpServer/QHttpServerRequest>

#include <QCryptographicHash>
#include <QTcpSocket>
#include <QUrlQuery>

StatusServer::StatusServer(const StatusSource &source, const Metrics &metrics, const LogTail &log,
    const TrafficTail &traffic, const Clock &clock, QObject *parent)
    : QAbstractHttpServer(parent),
      m_source(source),
      m_metrics(metrics),
      m_log(log),
      m_traffic(traffic),
      m_clock(clock)
{
}

bool StatusServer::listen(const ListenAddress &where, const QString &token,
    GuardedTcpServer::Limits limits, QString *error)
{
    if (m_tcp) {
        if (error)
            *error = QStringLiteral("already listening");
        return false;
    }
    auto *tcp = new GuardedTcpServer(limits, this);
    if (!tcp->listen(where.address, where.port)) {
        if (error)
            *error = tcp->errorString();
        delete tcp;
        return false;
    }
    m_token = token.toUtf8();
    m_tcp = tcp;
    bind(tcp);
    return true;
}

quint16 StatusServer::port() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

QByteArray StatusServer::header(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &h : request.headers()) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second.trimmed();
    }
    return QByteArray();
}

bool StatusServer::authorized(const QHttpServerRequest &request) const
{
    if (m_token.isEmpty())
        return true;
    const QByteArray given = header(request, "Authorization");
    const QByteArray scheme = "Bearer ";
    if (!given.startsWith(scheme))
        return false;
    // Compared in time that does not tell how much of it was right.
    const QByteArray a
        = QCryptographicHash::hash(given.mid(scheme.size()), QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(m_token, QCryptographicHash::Sha256);
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

bool StatusServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    const bool close = header(request, "Connection").compare("close", Qt::CaseInsensitive) == 0;
    send(socket, answer(request), head, close);
    return true;
}

void StatusServer::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    send(socket, text(404, "Not Found\n"), false, false);
}

StatusServer::Answer StatusServer::answer(const QHttpServerRequest &request) const
{
    if (!authorized(request)) {
        Answer a = text(401,
            "Unauthorized: this status server needs \"Authorization: Bearer "
            "<token>\"\n");
        a.headers << qMakePair(
            QByteArray("WWW-Authenticate"), QByteArray("Bearer realm=\"volmara\""));
        return a;
    }
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
        Answer a = text(405, "Method Not Allowed: the status server only reads (GET, HEAD)\n");
        a.headers << qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD"));
        return a;
    }
    const QString path = request.url().path();
    if (path == QLatin1String("/"))
        return page();
    if (path == QLatin1String("/healthz"))
        return health();
    if (path == QLatin1String("/metrics"))
        return metrics();
    if (path == QLatin1String("/status.json"))
        return statusJson();
    if (path == QLatin1String("/lines"))
        return lines(
            QUrlQuery(request.url()).queryItemValue(QStringLiteral("line"), QUrl::FullyDecoded));
    return text(404, "Not Found\n");
}

StatusServer::Answer StatusServer::page() const
{
    Answer a;
    a.contentType = "text/html; charset=utf-8";
    a.body = StatusPage::html();
    a.headers << qMakePair(
        QByteArray("Content-Security-Policy"), StatusPage::contentSecurityPolicy());
    return a;
}

StatusServer::Answer StatusServer::health() const
{
    const StatusSnapshot status = m_source.snapshot();
    const HealthCheck::Result result = HealthCheck::evaluate(status, m_metrics, m_clock.now());
    return json(result.ok ? 200 : 503, StatusJson::health(result, status, m_metrics));
}

StatusServer::Answer StatusServer::metrics() const
{
    Answer a;
    a.contentType = MetricsText::kContentType;
    a.body = MetricsText::render(m_metrics, m_source.snapshot(), m_log,
        QStringLiteral("%1.%2.%3")
            .arg(Version::kMajor)
            .arg(Version::kMinor)
            .arg(Version::kRevision));
    return a;
}

StatusServer::Answer StatusServer::statusJson() const
{
    const QDateTime now = m_clock.now();
    const StatusSnapshot status = m_source.snapshot();
    const HealthCheck::Result result = HealthCheck::evaluate(status, m_metrics, now);
    return json(200, StatusJson::status(status, result, m_metrics, m_log, m_traffic, now));
}

StatusServer::Answer StatusServer::lines(const QString &lineKey) const
{
    if (lineKey.isEmpty())
        return json(200, StatusJson::lines(m_source.lines()));
    const auto trips = m_source.trips(lineKey);
    if (!trips)
        return json(404, R"({"error":"no such line"})");
    return json(200, StatusJson::trips(lineKey, *trips));
}

StatusServer::Answer StatusServer::json(int status, const QByteArray &body)
{
    Answer a;
    a.status = status;
    a.contentType = "application/json";
    a.body = body;
    return a;
}

StatusServer::Answer StatusServer::text(int status, const QByteArray &body)
{
    Answer a;
    a.status = status;
    a.contentType = "text/plain; charset=utf-8";
    a.body = body;
    return a;
}

QByteArray StatusServer::reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

void StatusServer::send(QTcpSocket *socket, const Answer &a, bool head, bool close)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + ' ' + reasonPhrase(a.status)
        + "\r\nContent-Type: " + a.contentType
        + "\r\nContent-Length: " + QByteArray::number(a.body.size())
        + "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto &h : a.headers)
        out += h.first + ": " + h.second + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (!head)
        out += a.body;
    socket->write(out);
    if (close)
        socket->disconnectFromHost();
    if (m_tcp)
        m_tcp->answered(socket);
}
