// The status server beside the map link: how long the real volmarad takes to
// answer the map server's requests for a line, alone, with 200 idle clients
// on its status port, with clients polling the page's data and /metrics as
// fast as they can, and with both. Prints a table; run by hand:
//   bench_status [--requests N] [--idle N] [--pollers N]

#include "common/MapProtocol.h"
#include "platform/CodePage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QTextStream out(stdout);

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The map server's end: answers the login and the line list, asks for a line
// and times the answer.
class MapServer : public QObject
{
public:
    bool listen(quint16 port) { return m_server.listen(QHostAddress::LocalHost, port); }

    bool connected() const { return m_client && m_loggedIn; }

    // Milliseconds from the request to its answer; -1 when none came in time.
    double ask(const QString &line)
    {
        m_answered = false;
        QElapsedTimer t;
        t.start();
        m_client->write(CodePage::toBytes(MapProtocol::kMapNotification + QStringLiteral(",dedod,")
            + QString::number(++m_seq) + QLatin1Char(',') + MapProtocol::kExpLineSchedReq
            + MapProtocol::kItemSeparator + line + MapProtocol::kLineEnd));
        if (!waitFor([this] { return m_answered; }, 5000))
            return -1;
        return double(t.nsecsElapsed()) / 1e6;
    }

    MapServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_client = m_server.nextPendingConnection();
            connect(m_client, &QTcpSocket::readyRead, this, [this] { read(); });
        });
    }

private:
    void read()
    {
        m_pending += m_client->readAll();
        qsizetype end;
        while ((end = m_pending.indexOf('\r')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            if (line.startsWith("$L,")) {
                m_client->write("$A,L,\r\n");
                m_loggedIn = true;
            } else if (line.startsWith("$Q,0")) {
                m_client->write("$Q,0\r\n");
            } else if (line.contains("ExpLineSched") && line.startsWith("$NotifyOrganization")
                && line.contains("\\c05102100")) {
                m_answered = true;
            }
        }
    }

    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    QByteArray m_pending;
    bool m_loggedIn = false;
    bool m_answered = false;
    int m_seq = 0;
};

// A client of the status server that asks again as soon as it has its answer.
class Poller : public QObject
{
public:
    Poller(quint16 port) : m_port(port)
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
        connect(&m_socket, &QTcpSocket::connected, this, [this] { ask(); });
        connect(&m_socket, &QTcpSocket::disconnected, this,
            [this] { m_socket.connectToHost(QHostAddress::LocalHost, m_port); });
        m_socket.connectToHost(QHostAddress::LocalHost, m_port);
    }
    int answers() const { return m_answers; }
    int refused() const { return m_refused; }

private:
    void ask()
    {
        m_in.clear();
        m_socket.write(m_next++ % 2 ? "GET /metrics HTTP/1.1\r\nHost: b\r\n\r\n"
                                    : "GET /status.json HTTP/1.1\r\nHost: b\r\n\r\n");
    }
    void read()
    {
        m_in += m_socket.readAll();
        const qsizetype head = m_in.indexOf("\r\n\r\n");
        if (head < 0)
            return;
        const qsizetype at = m_in.indexOf("Content-Length: ");
        const qsizetype length = m_in.mid(at + 16, m_in.indexOf('\r', at) - at - 16).toLongLong();
        if (m_in.size() - head - 4 < length)
            return;
        if (m_in.startsWith("HTTP/1.1 200"))
            ++m_answers;
        else
            ++m_refused;
        ask();
    }

    quint16 m_port;
    QTcpSocket m_socket;
    QByteArray m_in;
    int m_next = 0;
    int m_answers = 0;
    int m_refused = 0;
};

// Connections the gateway holds open on the port: its own ends, as the
// kernel lists them (the clients' view lags behind a refusal).
int establishedOn(quint16 port)
{
    QFile tcp(QStringLiteral("/proc/net/tcp"));
    if (!tcp.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int n = 0;
    for (const QByteArray &line : tcp.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f.at(1).endsWith(local) && f.at(3) == "01")
            ++n;
    }
    return n;
}

struct Row
{
    QString phase;
    std::vector<double> ms;
    int held = 0;
    int polled = 0;
    int refused = 0;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int requests = 300, idleCount = 200, pollerCount = 4;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--requests"))
            requests = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--idle"))
            idleCount = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--pollers"))
            pollerCount = args.at(i + 1).toInt();
    }
    const QDir bin(QCoreApplication::applicationDirPath());
    QTemporaryDir home;
    if (QProcess::execute(bin.filePath(QStringLiteral("volmara-dbinit")),
            {home.filePath(QStringLiteral("db")), QStringLiteral("--demo")})
        != 0)
        return 1;
    const quint16 mapPort = freePort();
    const quint16 statusPort = freePort();
    QFile ini(home.filePath(QStringLiteral("Volmara.INI")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(mapPort)
        + "\r\nGMT=2\r\n[Database]\r\nSQLServer=sqlite:db\r\n[Misc]\r\nDBInterval=1\r\n");
    ini.close();

    MapServer map;
    if (!map.listen(mapPort))
        return 1;
    QProcess gateway;
    gateway.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gateway.start(bin.filePath(QStringLiteral("volmarad")),
        {QStringLiteral("--home"), home.path(), QStringLiteral("--status-listen"),
            QStringLiteral("127.0.0.1:%1").arg(statusPort)});
    if (!waitFor([&] { return map.connected(); }, 30000)) {
        std::fputs("volmarad did not log in to the map\n", stderr);
        return 1;
    }
    // The day's lines are there once a request is answered.
    waitFor([&] { return map.ask(QStringLiteral("05102100")) >= 0; }, 30000);

    std::vector<Row> rows;
    auto measure = [&](const QString &phase, const std::vector<std::unique_ptr<Poller>> &pollers) {
        Row r;
        r.phase = phase;
        int polledBefore = 0, refusedBefore = 0;
        for (const auto &p : pollers) {
            polledBefore += p->answers();
            refusedBefore += p->refused();
        }
        for (int i = 0; i < requests; ++i) {
            r.ms.push_back(map.ask(QStringLiteral("05102100")));
            waitFor([] { return false; }, 10); // a map server asks now and then
        }
        r.held = establishedOn(statusPort);
        for (const auto &p : pollers) {
            r.polled += p->answers();
            r.refused += p->refused();
        }
        r.polled -= polledBefore;
        r.refused -= refusedBefore;
        rows.push_back(r);
    };

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    std::vector<std::unique_ptr<Poller>> pollers;
    auto openIdle = [&] {
        for (int i = 0; i < idleCount; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, statusPort);
        }
        waitFor([] { return false; }, 500);
    };
    measure(QStringLiteral("none"), pollers);
    openIdle();
    measure(QStringLiteral("%1 idle").arg(idleCount), pollers);
    idle.clear();
    waitFor([] { return false; }, 500);
    for (int i = 0; i < pollerCount; ++i)
        pollers.push_back(std::make_unique<Poller>(statusPort));
    measure(QStringLiteral("%1 polling without pause").arg(pollerCount), pollers);
    openIdle();
    measure(QStringLiteral("%1 idle and %2 polling").arg(idleCount).arg(pollerCount), pollers);

    gateway.terminate();
    gateway.waitForFinished(15000);

    out << "Map request answered by volmarad (demo day, 1 s cycle), " << requests
        << " requests per row\n\n";
    out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |\n")
               .arg(QStringLiteral("status clients"), -26)
               .arg(QStringLiteral("p50 ms"), 7)
               .arg(QStringLiteral("p99 ms"), 7)
               .arg(QStringLiteral("max ms"), 7)
               .arg(QStringLiteral("lost"), 4)
               .arg(QStringLiteral("held open"), 9)
               .arg(QStringLiteral("answered"), 8)
               .arg(QStringLiteral("refused"), 7);
    out << "|" << QString(28, QLatin1Char('-')) << "|---------|---------|---------|------|"
        << "-----------|----------|---------|\n";
    for (const Row &r : rows) {
        std::vector<double> ok;
        int lost = 0;
        for (double v : r.ms) {
            if (v < 0)
                ++lost;
            else
                ok.push_back(v);
        }
        out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |\n")
                   .arg(r.phase, -26)
                   .arg(percentile(ok, 0.5), 7, 'f', 2)
                   .arg(percentile(ok, 0.99), 7, 'f', 2)
                   .arg(ok.empty() ? 0 : *std::max_element(ok.begin(), ok.end()), 7, 'f', 2)
                   .arg(lost, 4)
                   .arg(r.held, 9)
                   .arg(r.polled, 8)
                   .arg(r.refused, 7);
    }
    return 0;
}
