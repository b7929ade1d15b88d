// The headless gateway against a PostgreSQL server that stops answering, as
// a site's operator would see it: the map server's line requests (answer
// times), the service manager's watchdog notifications (gaps) and the stop.
//
//   bench_stall [--ordinary S] [--lock S] [--stop S]
//
// Phases, each printed as one row: ordinary 1 s cycles for S s (65); another
// program holding the jobs table for S s (90); the server's processes
// stopped (SIGSTOP) for S s (60), then SIGTERM to the gateway while they
// still are. The map asks for a line every 200 ms throughout.

#include "PgServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "bench_stall: %s\n", qPrintable(why));
    std::exit(1);
}

void spin(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

double percentile(QList<qint64> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return double(v.at(std::min<qsizetype>(v.size() - 1, qsizetype(p * double(v.size())))));
}

// The map server's end: answers the line list request, asks for a line
// every 200 ms and notes each answer's time (-1: none within 5 s).
class Map : public QObject
{
public:
    Map()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            fail(QStringLiteral("no loopback port for the map"));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_peer = m_server.nextPendingConnection();
            connect(m_peer, &QTcpSocket::readyRead, this, [this] { read(); });
        });
        m_ask.setInterval(200);
        connect(&m_ask, &QTimer::timeout, this, [this] { ask(); });
    }
    quint16 port() const { return m_server.serverPort(); }
    int pushes() const { return m_pushes; }
    void startAsking() { m_ask.start(); }
    // The answer times since the last call; a request still open counts
    // once its 5 s are over.
    QList<qint64> take()
    {
        if (m_asked.isValid() && m_asked.elapsed() > 5000) {
            m_answers << -1;
            m_asked.invalidate();
        }
        return std::exchange(m_answers, {});
    }

private:
    void ask()
    {
        if (!m_peer)
            return;
        if (m_asked.isValid()) {
            if (m_asked.elapsed() <= 5000)
                return; // one request at a time
            m_answers << -1;
        }
        m_asked.start();
        m_peer->write("$MapNotification,req,1,ExpLineSchedReq\\c34506201\r\n");
    }
    void read()
    {
        m_received += m_peer->readAll();
        qsizetype end;
        while ((end = m_received.indexOf("\r\n")) >= 0) {
            const QByteArray line = m_received.left(end);
            m_received.remove(0, end + 2);
            if (line.startsWith("$Q,0"))
                m_peer->write("$Q,0,1234567\r\n");
            if (line.startsWith("$NotifyOrganization,dedod,"))
                ++m_pushes;
            if (line.startsWith("$NotifyOrganization,req,") && m_asked.isValid()) {
                m_answers << m_asked.elapsed();
                m_asked.invalidate();
            }
        }
    }

    QTcpServer m_server;
    QTcpSocket *m_peer = nullptr;
    QByteArray m_received;
    QTimer m_ask;
    QElapsedTimer m_asked;
    QList<qint64> m_answers;
    int m_pushes = 0;
};

// The service manager's end of NOTIFY_SOCKET: the times of "WATCHDOG=1".
class Notify : public QObject
{
public:
    explicit Notify(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        if (m_fd < 0 || size_t(p.size()) >= sizeof addr.sun_path)
            fail(QStringLiteral("no notification socket"));
        std::copy(p.begin(), p.end(), addr.sun_path);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            fail(QStringLiteral("cannot bind %1").arg(path));
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0 && QByteArray(buf, int(n)).contains("WATCHDOG=1"))
                m_times << m_clock.elapsed();
        });
        m_clock.start();
    }
    ~Notify() override { ::close(m_fd); }
    qint64 now() const { return m_clock.elapsed(); }
    // The longest gap between notifications within [from, to], counting
    // the phase's edges as notifications' absence: the gap before the
    // first one and after the last one count too.
    struct Gaps
    {
        int count = 0;
        qint64 longest = 0;
    };
    Gaps gaps(qint64 from, qint64 to) const
    {
        Gaps g;
        qint64 last = from;
        for (qint64 t : m_times) {
            if (t < from || t > to)
                continue;
            ++g.count;
            g.longest = std::max(g.longest, t - last);
            last = t;
        }
        g.longest = std::max(g.longest, to - last);
        return g;
    }

private:
    QString m_path;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    QList<qint64> m_times;
};

void row(const char *phase, double seconds, QList<qint64> answers, const Notify::Gaps &gaps)
{
    const int missed = int(answers.removeAll(-1));
    std::printf("%-34s %6.0f %6d %6d %8.1f %8.1f %8lld %6d %9.1f\n", phase, seconds,
        int(answers.size()) + missed, missed, percentile(answers, 0.5), percentile(answers, 0.99),
        answers.isEmpty() ? 0LL : (long long)*std::max_element(answers.begin(), answers.end()),
        gaps.count, double(gaps.longest) / 1000.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int ordinarySeconds = 65;
    int lockSeconds = 90;
    int stopSeconds = 60;
    for (int i = 0; i < args.size(); ++i) {
        bool number = false;
        const int value = i + 1 < args.size() ? args.at(i + 1).toInt(&number) : -1;
        int *target = args.at(i) == QLatin1String("--ordinary") ? &ordinarySeconds
            : args.at(i) == QLatin1String("--lock")             ? &lockSeconds
            : args.at(i) == QLatin1String("--stop")             ? &stopSeconds
                                                                : nullptr;
        if (!target || !number || value < 0) {
            std::fprintf(stderr,
                "usage: bench_stall [--ordinary SECONDS] [--lock SECONDS] [--stop SECONDS]\n"
                "  a phase of 0 seconds is left out (the stop still ends the run)\n");
            return 64;
        }
        *target = value;
        ++i;
    }
    if (!PgServer::unavailableReason().isEmpty())
        fail(PgServer::unavailableReason());
    PgServer pg;
    if (!pg.start() || !pg.createSchema())
        fail(pg.lastError());
    // A day of 1,000 jobs on 100 lines, under way now.
    const QString start = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!pg.psql(QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, "
            "RouteEnd, RouteCode, RecordUpdater, OrderDate) SELECT '%1', g, '12-345-67', g, 55, "
            "'Dana', '%1', '%1', 123456 + (g % 100) * 1000, 'ops', '%1' "
            "FROM generate_series(1, 1000) g;")
                     .arg(start)))
        fail(pg.lastError());

    Map map;
    QTemporaryDir home;
    QFile ini(home.filePath(QStringLiteral("Volmara.INI")));
    if (!ini.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write the settings"));
    ini.write("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(map.port())
        + "\r\nGMT=2\r\n[Database]\r\nSQLServer=" + pg.connectionString().toUtf8()
        + "\r\n[Misc]\r\nDBInterval=1\r\n");
    ini.close();
    Notify notify(home.filePath(QStringLiteral("notify")));

    QProcess gateway;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WATCHDOG_PID"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("NOTIFY_SOCKET"), home.filePath(QStringLiteral("notify")));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("60000000"));
    gateway.setProcessEnvironment(env);
    gateway.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gateway.setStandardOutputFile(QProcess::nullDevice());
    gateway.start(QCoreApplication::applicationDirPath() + QStringLiteral("/volmarad"),
        {QStringLiteral("--home"), home.path()});
    if (!gateway.waitForStarted(10000))
        fail(QStringLiteral("volmarad did not start"));
    QElapsedTimer waiting;
    waiting.start();
    while (map.pushes() == 0 && waiting.elapsed() < 30000)
        spin(100);
    if (map.pushes() == 0)
        fail(QStringLiteral("no push within 30 s"));
    map.startAsking();
    map.take();

    std::printf("%-34s %6s %6s %6s %8s %8s %8s %6s %9s\n", "phase", "s", "asked", "missed",
        "p50 ms", "p99 ms", "max ms", "wdog", "gap s");

    // Ordinary cycles: the watchdog's gaps wherever its ticks fall.
    qint64 from = notify.now();
    if (ordinarySeconds > 0) {
        spin(ordinarySeconds * 1000);
        row("1 s cycles", ordinarySeconds, map.take(), notify.gaps(from, notify.now()));
    }

    // Another program's lock holds the selection.
    if (lockSeconds > 0) {
        QProcess holder;
        holder.start(QDir(PgServer::binDir()).filePath(QStringLiteral("psql")),
            {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-h"),
                QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(pg.port()),
                QStringLiteral("-U"), QLatin1String(PgServer::kUser), QStringLiteral("-d"),
                QLatin1String(PgServer::kDatabase)});
        if (!holder.waitForStarted(10000))
            fail(QStringLiteral("psql did not start"));
        holder.write("BEGIN; LOCK TABLE Jobs IN ACCESS EXCLUSIVE MODE;\n");
        from = notify.now();
        spin(lockSeconds * 1000);
        row("jobs table locked", lockSeconds, map.take(), notify.gaps(from, notify.now()));
        holder.write("ROLLBACK;\n");
        holder.closeWriteChannel();
        holder.waitForFinished(10000);
        spin(5000);
        map.take();
    }

    // The server's processes stopped; then the stop while they still are.
    const QList<pid_t> pids = pg.serverPids();
    if (pids.isEmpty())
        fail(QStringLiteral("no server processes found"));
    for (pid_t pid : pids)
        ::kill(pid, SIGSTOP);
    from = notify.now();
    spin(stopSeconds * 1000);
    if (stopSeconds > 0)
        row("server stopped (SIGSTOP)", stopSeconds, map.take(), notify.gaps(from, notify.now()));
    QElapsedTimer stopping;
    stopping.start();
    gateway.terminate();
    const bool ended = gateway.waitForFinished(30000);
    const qint64 endMs = stopping.elapsed();
    for (pid_t pid : pids)
        ::kill(pid, SIGCONT);
    std::printf("\nSIGTERM while the server is stopped: %s in %lld ms (status %d)\n",
        ended ? "ended" : "NOT ended", (long long)endMs, gateway.exitCode());
    if (!ended)
        gateway.kill();
    gateway.waitForFinished(5000);
    const QString left = pg.scalar(QStringLiteral("SELECT count(*) FROM Jobs WHERE UsedFlag = 2"));
    std::printf("jobs left at flag 2 once the server resumed: %s\n", qPrintable(left));
    return 0;
}
