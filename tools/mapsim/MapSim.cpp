#include "MapSim.h"

#include "common/MapProtocol.h"
#include "platform/CodePage.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

// A line that never ends is cut here rather than held for ever.
constexpr qsizetype kMaxLine = 4 * 1024 * 1024;

} // namespace

MapSim::MapSim(const Options &options, QObject *parent)
    : QObject(parent), m_opt(options), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &MapSim::onNewConnection);
    m_requestTimer.setInterval(qMax(1, m_opt.requestEverySeconds) * 1000);
    connect(&m_requestTimer, &QTimer::timeout, this, &MapSim::sendRequest);
}

QStringList MapSim::defaultVehicles()
{
    // Our organisation's buses as the map server lists them, and one of
    // another operator's that a "Server" station leaves out.
    return {QStringLiteral("dedod/1234567"), QStringLiteral("dedod/2345678"),
        QStringLiteral("dedod/3456789"), QStringLiteral("dedod/4567801"),
        QStringLiteral("dedod/5678012"), QStringLiteral("dedod/6780123"),
        QStringLiteral("dedod/44444"), QStringLiteral("galim/7012345")};
}

bool MapSim::start()
{
    if (!m_opt.receivedFile.isEmpty()) {
        m_received.setFileName(m_opt.receivedFile);
        if (!m_received.open(QIODevice::WriteOnly | QIODevice::Append)) {
            std::fprintf(stderr, "volmara-mapsim: cannot open %s: %s\n",
                qPrintable(m_opt.receivedFile), qPrintable(m_received.errorString()));
            return false;
        }
    }
    if (!m_server->listen(m_opt.host, m_opt.port)) {
        std::fprintf(stderr, "volmara-mapsim: cannot listen on %s:%u: %s\n",
            qPrintable(m_opt.host.toString()), unsigned(m_opt.port),
            qPrintable(m_server->errorString()));
        return false;
    }
    std::printf("Listening on %s:%u\n", qPrintable(m_opt.host.toString()),
        unsigned(m_server->serverPort()));
    std::fflush(stdout);
    if (!m_opt.requestLine.isEmpty())
        m_requestTimer.start();

    // Lines typed on standard input go to every client as they are.
    m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdin, &QSocketNotifier::activated, this, &MapSim::readStdin);
    return true;
}

quint16 MapSim::port() const
{
    return m_server->serverPort();
}

QString MapSim::peerName(const QTcpSocket *client)
{
    return client->peerAddress().toString() + QLatin1Char(':')
        + QString::number(client->peerPort());
}

void MapSim::print(const QString &tag, const QString &text) const
{
    if (m_opt.quiet)
        return;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    const QByteArray out = (stamp + QLatin1Char(' ') + tag + QLatin1Char(' ') + text).toUtf8();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void MapSim::onNewConnection()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        m_clients.append(client);
        const QString name = peerName(client);
        print(QStringLiteral("**"), QStringLiteral("connected ") + name);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadyRead(client); });
        connect(client, &QTcpSocket::disconnected, this, [this, client, name] {
            print(QStringLiteral("**"), QStringLiteral("disconnected ") + name);
            m_clients.removeAll(client);
            m_pending.remove(client);
            client->deleteLater();
        });
        if (m_opt.dropAfterSeconds > 0) {
            QTimer::singleShot(m_opt.dropAfterSeconds * 1000, client, [this, client] {
                print(QStringLiteral("**"),
                    QStringLiteral("dropping ") + peerName(client)
                        + QStringLiteral(" (--drop-after)"));
                client->abort();
            });
        }
    }
}

void MapSim::onReadyRead(QTcpSocket *client)
{
    const QByteArray bytes = client->readAll();
    if (m_received.isOpen()) {
        m_received.write(bytes);
        m_received.flush();
    }
    QByteArray &pending = m_pending[client];
    pending += bytes;
    qsizetype nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
        QByteArray line = pending.left(nl);
        pending.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        handleLine(client, CodePage::toText(line));
    }
    if (pending.size() > kMaxLine) {
        print(QStringLiteral("<-"),
            QStringLiteral("(line of %1 bytes without an end, dropped)").arg(pending.size()));
        pending.clear();
    }
}

void MapSim::handleLine(QTcpSocket *client, const QString &line)
{
    print(QStringLiteral("<-"), line.isEmpty() ? QStringLiteral("(empty line)") : line);
    const QString command = line.section(QLatin1Char(','), 0, 0);
    if (command.compare(QLatin1String("$L"), Qt::CaseInsensitive) == 0) {
        send(client, QStringLiteral("$A,L,") + m_opt.updateMode);
    } else if (command.compare(MapProtocol::kLineList, Qt::CaseInsensitive) == 0) {
        send(client,
            QStringLiteral("$Q,0") + (m_opt.vehicles.isEmpty() ? QString() : QStringLiteral(","))
                + m_opt.vehicles.join(QLatin1Char(',')));
    }
}

void MapSim::send(QTcpSocket *client, const QString &line)
{
    print(QStringLiteral("->"), line);
    client->write(CodePage::toBytes(line + MapProtocol::kLineEnd));
}

void MapSim::sendToAll(const QString &line)
{
    if (m_clients.isEmpty()) {
        print(QStringLiteral("**"), QStringLiteral("no client for: ") + line);
        return;
    }
    for (QTcpSocket *client : std::as_const(m_clients))
        send(client, line);
}

void MapSim::sendRequest()
{
    if (m_clients.isEmpty())
        return;
    // As a map server asks: the items after the organisation joined by "\c".
    sendToAll(MapProtocol::kMapNotification + QLatin1Char(',') + m_opt.requestOrganization
        + QLatin1Char(',') + QString::number(++m_requestSeq) + QLatin1Char(',')
        + MapProtocol::kExpLineSchedReq + MapProtocol::kItemSeparator + m_opt.requestLine);
}

void MapSim::dropAll(const QString &why)
{
    print(QStringLiteral("**"),
        QStringLiteral("dropping every connection (") + why + QLatin1Char(')'));
    const auto clients = m_clients;
    for (QTcpSocket *client : clients)
        client->abort();
}

void MapSim::readStdin()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        m_stdin->setEnabled(false); // end of input: keep serving
        return;
    }
    m_stdinBuffer.append(buf, n);
    qsizetype nl;
    while ((nl = m_stdinBuffer.indexOf('\n')) >= 0) {
        QByteArray line = m_stdinBuffer.left(nl);
        m_stdinBuffer.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        // Typed text is UTF-8; it goes out in the code page.
        sendToAll(QString::fromUtf8(line));
    }
}
