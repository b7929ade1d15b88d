// The gateway's core end to end over the embedded files: a day of in-day
// jobs (1,000 to 5,000 lines, 5,000 route rules) and a map server on
// loopback, in a thread of its own, that reads everything and asks for a
// line every 20 ms. Prints per day size: the first and the steady cycle time,
// InsertScheds per row against the C prepared-insert floor over the same
// table, the answer latency p50 and p99 while 2-second cycles run, and the
// peak resident memory of the cycles. Each size runs in a process of its own, so that the
// peak belongs to that size alone.
//
// With --pg the same day goes through a throwaway PostgreSQL cluster on
// loopback, reached with psqlODBC as a server site is (the server programs
// must be installed), through a proxy that forwards each chunk --delay ms
// late each way (default 10: about 20 ms a round trip) and counts the round
// trips of a steady cycle; there is no C floor for it.
//
// With --pair the gateway is the active of a standby pair (a lease of 20 s
// renewed on its own session, every write of the jobs session fenced): the
// extra cost of the pair is the difference to a run without it.
//
// Usage: bench_cycle [--pg] [--pair] [--delay MS] [--jobs N,N,...] [jobs ...]
// (default 10000 20000 100000). A last line gives the steady cycle's cost per
// job at each size; with --pg the round trips of the first and the steady
// cycles are counted.

#include "app/Gateway.h"
#include "common/LineKey.h"
#include "common/MenuMarks.h"
#include "common/StatusRows.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "db/EmbeddedSchema.h"
#include "db/LargeDay.h"
#include "db/SqlConnect.h"
#include "db/SqlDialect.h"
#include "db/mdlQueries.h"
#include "maplink/MapLink.h"
#include "pair/LeaseKeeper.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"
#include "platform/RowSet.h"

#include "LatencyProxy.h"
#include "PgServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(10, 0));

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "bench_cycle: %s\n", qPrintable(what));
    std::exit(1);
}

QString routeCodeOf(int line)
{
    return QString::number(100000 + line * 7);
}

// The large day of volmara-dbinit --jobs, at the bench's fixed moment.
void fillDay(const QString &folder, int jobs)
{
    EmbeddedSchema::create(folder);
    LargeDay::fill(folder, kNow, jobs);
}

// The same day in a PostgreSQL cluster, with the indexes of the embedded
// files' jobs table.
void fillDay(PgServer &pg, int jobs)
{
    const int lines = LargeDay::defaultLines(jobs);
    QString rules;
    for (int r = 0; r < 5000; ++r) {
        const int line = r % lines;
        const bool half = (r / lines) % 2;
        rules += QStringLiteral("%1('%2', NULL, NULL, '1234567', '1899-12-30 %3', '1899-12-30 "
                                "%4', '0,6,13,21,30,38', '1,1,2,1,1,0')")
                     .arg(r ? QStringLiteral(",") : QString(),
                         LineKey::routeName(LineKey::fromRouteCode(routeCodeOf(line).toInt())),
                         half ? QStringLiteral("12:00:00") : QStringLiteral("00:00:00"),
                         half ? QStringLiteral("23:59:59") : QStringLiteral("11:59:59"));
    }
    if (!pg.createSchema()
        || !pg.psql(QStringLiteral(
            "CREATE INDEX JobsCarRec ON Jobs (CarNum, RecID, PKID);\n"
            "CREATE INDEX JobsUsedFlag ON Jobs (UsedFlag);\n"
            "CREATE INDEX JobsRouteStart ON Jobs (RouteStart);\n"
            "CREATE INDEX RouteTimesName ON RteDB.RouteTimes (RouteName);\n"
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
            "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) "
            "SELECT '2026-12-07 03:00', 1000 + j %% 900, (5000000 + j)::text, j + 1, "
            "7000 + j %% 400, 'נהג מספר ' || (j %% 400), s, s + interval '1 hour', "
            "100000 + (j %% %2) * 7, 'ops', '2026-12-07', 0 FROM generate_series(0, %1 - 1) j, "
            "LATERAL (SELECT timestamp '2026-12-07 04:30' + (j * 37 %% 70000) * interval "
            "'1 second' AS s) t;\n"
            "INSERT INTO RteDB.RouteTimes VALUES %3;\n"
            "ANALYZE;\n")
                        .arg(jobs)
                        .arg(lines)
                        .arg(rules)
                        .replace(QStringLiteral("%%"), QStringLiteral("%"))))
        fail(pg.lastError());
}

// The map server: reads everything, asks for one line every 20 ms and notes
// how long each answer took.
class Peer : public QObject
{
public:
    explicit Peer(const QString &route) : m_request(requestFor(route)) { }

    quint16 listen()
    {
        m_server = new QTcpServer(this);
        m_server->listen(QHostAddress::LocalHost, 0);
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            m_socket = m_server->nextPendingConnection();
            connect(m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
        });
        return m_server->serverPort();
    }
    void startAsking()
    {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            if (!m_socket || m_asked.isValid())
                return; // one request at a time
            m_asked.start();
            m_socket->write(m_request);
        });
        timer->start(20);
    }
    QList<double> latencies()
    {
        QMutexLocker lock(&m_mutex);
        return m_latencies;
    }

private:
    static QByteArray requestFor(const QString &route)
    {
        return "$MapNotification,bench,1,ExpLineSchedReq\\c" + route.toLatin1() + "\r\n";
    }
    void read()
    {
        m_buffer += m_socket->readAll();
        static const QByteArray answer("$NotifyOrganization,bench,");
        // One pass over what came, and the lines read are removed once: a
        // push is megabytes, and removing each line from the front of the
        // buffer made this peer, not the gateway, the slow part.
        qsizetype from = 0, at;
        while ((at = m_buffer.indexOf("\r\n", from)) >= 0) {
            const bool isAnswer = QByteArrayView(m_buffer).sliced(from).startsWith(answer);
            from = at + 2;
            if (isAnswer && m_asked.isValid()) {
                QMutexLocker lock(&m_mutex);
                m_latencies << m_asked.nsecsElapsed() / 1e6;
                m_asked.invalidate();
            }
        }
        m_buffer.remove(0, from);
    }

    QByteArray m_request;
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_socket = nullptr;
    QByteArray m_buffer;
    QElapsedTimer m_asked;
    QMutex m_mutex;
    QList<double> m_latencies;
};

double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(std::min<qsizetype>(values.size() - 1, qsizetype(p * values.size())));
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The same rows through sqlite3's own prepared insert, in one transaction,
// into a copy of Scheds with the same unique index.
double cFloorUsPerRow(const QString &folder, RowSet &rs)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(qPrintable(EmbeddedSchema::orvikDbFile(folder)), &db) != SQLITE_OK)
        fail(QStringLiteral("sqlite3_open"));
    sqlite3_exec(db,
        "CREATE TABLE Floor AS SELECT * FROM Scheds WHERE 0; CREATE UNIQUE INDEX FloorDistinct ON "
        "Floor (ifnull(IntrMedRecordID, x''), ifnull(Makat, x''), ifnull(DriverName, x''), "
        "ifnull(DriverNumber, x''), ifnull(StartTime, x''), ifnull(EndTime, x''), "
        "ifnull(Source, x''), ifnull(Destination, x''), ifnull(TruckNumber, x''), "
        "ifnull(TruckID, x''), ifnull(ORVIKID, x''))",
        nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
        "INSERT OR IGNORE INTO Floor (IntrMedRecordID, Makat, DriverName, DriverNumber, "
        "StartTime, EndTime, Source, Destination, TruckNumber, TruckID, ORVIKID) "
        "VALUES (?,?,?,?,?,?,'','',?,?,?)",
        -1, &st, nullptr);
    QElapsedTimer t;
    t.start();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    int rows = 0;
    for (rs.moveFirst(); !rs.eof(); rs.moveNext(), ++rows) {
        const QByteArray line = mdlQueries::lineText(rs.field(QStringLiteral("Makat"))).toUtf8();
        const QByteArray driver = rs.field(QStringLiteral("DriverName")).toString().toUtf8();
        const QByteArray start = rs.field(QStringLiteral("RouteStart")).toString().toUtf8();
        const QByteArray end = rs.field(QStringLiteral("RouteEnd")).toString().toUtf8();
        const QByteArray car = rs.field(QStringLiteral("CarNum")).toString().toUtf8();
        sqlite3_bind_int64(st, 1, rs.field(QStringLiteral("RecID")).toLongLong());
        sqlite3_bind_text(st, 2, line.constData(), int(line.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, driver.constData(), int(driver.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 4, rs.field(QStringLiteral("DriverCode")).toLongLong());
        sqlite3_bind_text(st, 5, start.constData(), int(start.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 6, end.constData(), int(end.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 7, car.constData(), int(car.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 8, rs.field(QStringLiteral("CarNo")).toLongLong());
        sqlite3_bind_text(st, 9, car.constData(), int(car.size()), SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double us = t.nsecsElapsed() / 1e3 / std::max(rows, 1);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return us;
}

class NoUi : public Ui
{
public:
    void msgBox(const QString &, Icon, const QString &) override { }
    bool askYesNo(const QString &, Icon, const QString &) override { return false; }
    void showMainWindow() override { }
    bool mainWindowMinimized() const override { return false; }
    void layoutMainWindow() override { }
    void loadLogOn() override { }
    void unloadLogOn() override { }
    void reOrderLogOn(LogOnLayout) override { }
    void showTrafficWindow() override { }
    void saveTrafficWindow() override { }
    void clearTrafficWindow() override { }
    void showStatusPopup(const QString &) override { }
    void resizeTrafficWindow() override { }
};

// Waits for the cycle under way, the event loop running (the map's
// requests are answered meanwhile, the database stage runs on its thread).
// The loop sleeps between events as the gateway's own does: a loop that
// polled without sleeping took a core from the database thread and the map.
void waitForCycle(Gateway &gw)
{
    QEventLoop loop;
    QObject::connect(&gw.cycle(), &DatabaseCycle::cycleEnded, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    if (gw.cycle().running())
        loop.exec();
}

int runOne(int jobs, bool postgres, bool pair, int delayMs)
{
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("db"));
    PgServer pg;
    std::unique_ptr<LatencyProxy> proxy;
    QString source = QStringLiteral("sqlite:") + folder;
    if (postgres) {
        if (!pg.start())
            fail(pg.lastError());
        fillDay(pg, jobs);
        // The server as far away as a site's: each chunk forwarded late,
        // both ways; and the round trips counted.
        proxy = std::make_unique<LatencyProxy>(QStringLiteral("127.0.0.1"), pg.port(), delayMs);
        source = pg.connectionString().replace(
            QStringLiteral("PORT=%1").arg(pg.port()), QStringLiteral("PORT=%1").arg(proxy->port()));
    } else {
        fillDay(folder, jobs);
    }

    if (pair) {
        QFile ini(home.filePath(QStringLiteral("Volmara.INI")));
        if (!ini.open(QIODevice::WriteOnly))
            fail(QStringLiteral("cannot write the settings"));
        ini.write("[Pair]\r\nName=bench\r\nLeaseSeconds=20\r\n");
    }
    Gateway gw(home.path());
    NoUi ui;
    gw.setUi(&ui);
    gw.clock().setNow(kNow);
    gw.dataSource().strSQLServer = source;
    gw.dataSource().strCatalog = QStringLiteral("ORVIK_Jobs");
    bool opened = false;
    gw.database().call(
        [&](DatabaseWorker &w) { opened = w.open(SqlConnect::Which::Both, gw.dataSource()).ok; });
    if (!opened)
        fail(QStringLiteral("cannot open the databases"));
    if (pair) {
        // The lease won, without the gateway's own start of the connections
        // and its cycle timer: the benchmark drives both itself.
        QObject::disconnect(&gw.lease(), &LeaseKeeper::becameActive, &gw, nullptr);
        gw.lease().start(gw.dataSource());
        QElapsedTimer winning;
        winning.start();
        while (!gw.lease().mayAct() && winning.elapsed() < 30000)
            spin(10);
        if (!gw.lease().mayAct())
            fail(QStringLiteral("the lease was not won"));
    }

    QThread peerThread;
    const QString route = LineKey::routeName(LineKey::fromRouteCode(routeCodeOf(0).toInt()));
    auto *peer = new Peer(route);
    peer->moveToThread(&peerThread);
    peerThread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        peer, [&] { port = peer->listen(); }, Qt::BlockingQueuedConnection);
    gw.mapSettings().strMapIP = QStringLiteral("127.0.0.1");
    gw.mapSettings().iMapPort = port;
    gw.mapLink().MapConnect();
    QElapsedTimer wait;
    wait.start();
    while (gw.sckMap().state() != MapSocket::State::Connected && wait.elapsed() < 5000)
        spin(10);
    gw.link().bRequestLines = false;
    gw.link().dtLinesTime = kNow;
    gw.cycle().loadInterval(QStringLiteral("2"));

    QElapsedTimer t;
    if (proxy)
        proxy->resetRoundTrips();
    t.start();
    gw.cycle().tmrDB_Timer();
    waitForCycle(gw);
    const double firstMs = t.nsecsElapsed() / 1e6;
    const int firstTrips = proxy ? proxy->roundTrips() : -1;
    spin(500);
    QMetaObject::invokeMethod(peer, [peer] { peer->startAsking(); });

    // 2-second cycles, the clock moving with them.
    QList<double> steady;
    QList<int> trips;
    for (int c = 0; c < 6; ++c) {
        gw.clock().advanceSeconds(2);
        if (proxy)
            proxy->resetRoundTrips();
        t.restart();
        gw.cycle().tmrDB_Timer();
        waitForCycle(gw);
        steady << t.nsecsElapsed() / 1e6;
        if (proxy)
            trips << proxy->roundTrips(); // over both sessions' connections
        spin(std::max(50, 2000 - int(t.elapsed())));
    }
    const QList<double> latencies = peer->latencies();
    // The gateway's peak: what follows (the whole table read again beside
    // the day, for InsertScheds alone) is the benchmark's, not the gateway's.
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const long peakMb = long(usage.ru_maxrss / 1024);

    // InsertScheds alone, with a selection that has stored nothing yet.
    RowSet::Ptr rs;
    double insertUs = 0;
    gw.database().call([&](DatabaseWorker &w) {
        rs = w.sessions().cnJobs->execute(QStringLiteral("Select ") + SqlDialect::selectionColumns()
            + QStringLiteral(" From Jobs"));
        // Emptied without dead rows on the server: a deleted row's key entry
        // would slow every insert after it.
        w.sessions().cnORVIKDB->execute(
            postgres ? QStringLiteral("TRUNCATE Scheds") : QStringLiteral("Delete From Scheds"));
        StatusRows rows;
        MenuMarks marks;
        mdlQueries fresh(w.sessions(), rows, marks, gw.clock(), gw.log(), home.path());
        QElapsedTimer inserting;
        inserting.start();
        fresh.InsertScheds(*rs);
        insertUs = inserting.nsecsElapsed() / 1e3 / std::max(1, rs->recordCount());
        w.closeAll();
    });
    // No C floor over a server: "-".
    QByteArray floorUs("-"), ratio("-");
    if (!postgres) {
        const double us = cFloorUsPerRow(folder, *rs);
        floorUs = QByteArray::number(us, 'f', 2);
        ratio = QByteArray::number(insertUs / us, 'f', 2);
    }

    // The round trips of a steady cycle: the median, then the most (a cycle
    // where the driver sets its statement time-out again, or looks up the
    // columns of a result it has not seen, makes one or two more).
    std::sort(trips.begin(), trips.end());
    const QByteArray roundTrips = trips.isEmpty()
        ? QByteArray("-")
        : QByteArray::number(trips.at(trips.size() / 2)) + '/' + QByteArray::number(trips.last());
    const QByteArray firstRoundTrips
        = firstTrips < 0 ? QByteArray("-") : QByteArray::number(firstTrips);
    std::sort(steady.begin(), steady.end());
    const double steadyMs = steady.at(steady.size() / 2);
    std::printf("%-8d %-6d %6s %9.0f %10.0f %9.2f %7s %6s %11.2f %9s %6s %8.1f %8.1f %6d %7ld\n",
        jobs, LargeDay::defaultLines(jobs),
        postgres ? QByteArray::number(2 * delayMs).constData() : "-", firstMs, steadyMs,
        steadyMs * 1000 / jobs, firstRoundTrips.constData(), roundTrips.constData(), insertUs,
        floorUs.constData(), ratio.constData(), percentile(latencies, 0.5),
        percentile(latencies, 0.99), int(latencies.size()), peakMb);
    std::fflush(stdout);
    QMetaObject::invokeMethod(
        peer, [peer] { delete peer; }, Qt::BlockingQueuedConnection);
    peerThread.quit();
    peerThread.wait();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    Clock::settleTimeZone();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool postgres = args.removeAll(QStringLiteral("--pg")) > 0;
    const bool pair = args.removeAll(QStringLiteral("--pair")) > 0;
    int delayMs = 10;
    const int delayAt = int(args.indexOf(QStringLiteral("--delay")));
    if (delayAt >= 0 && delayAt + 1 < args.size()) {
        delayMs = args.at(delayAt + 1).toInt();
        args.remove(delayAt, 2);
    }
    if (args.size() == 2 && args.first() == QLatin1String("--one"))
        return runOne(args.at(1).toInt(), postgres, pair, delayMs);
    // --jobs 10000,100000,300000 names the sizes as a list; plain numbers do too.
    const int jobsAt = int(args.indexOf(QStringLiteral("--jobs")));
    if (jobsAt >= 0 && jobsAt + 1 < args.size()) {
        const QStringList sizes = args.at(jobsAt + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        args.remove(jobsAt, 2);
        args << sizes;
    }
    for (const QString &a : std::as_const(args)) {
        if (a.toInt() <= 0) {
            std::fprintf(stderr,
                "usage: bench_cycle [--pg] [--pair] [--delay MS] [--jobs N,N,...] [JOBS...]\n"
                "  JOBS: jobs in the day, one table row each "
                "(10000 20000 100000 when none)\n"
                "  --pg: PostgreSQL through psqlODBC behind a proxy that "
                "delays each chunk MS ms each way (10)\n"
                "  --pair: as the active of a standby pair\n");
            return 64;
        }
    }
    if (postgres && !PgServer::unavailableReason().isEmpty())
        fail(PgServer::unavailableReason());
    if (args.isEmpty())
        args = {QStringLiteral("10000"), QStringLiteral("20000"), QStringLiteral("100000")};
    std::printf("jobs     lines  rtt ms  first ms  steady ms  us/job  trips first/steady  "
                "insert us/row  C floor  ratio  p50 ms   p99 ms  asked  RSS MB\n");
    std::fflush(stdout);
    // The growth line: what a steady cycle costs per job at each size (a
    // day that grows tenfold should cost tenfold, not more).
    QStringList growth;
    for (const QString &jobs : args) {
        QProcess one;
        one.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList oneArgs{
            QStringLiteral("--one"), jobs, QStringLiteral("--delay"), QString::number(delayMs)};
        if (postgres)
            oneArgs << QStringLiteral("--pg");
        if (pair)
            oneArgs << QStringLiteral("--pair");
        one.start(app.applicationFilePath(), oneArgs);
        one.waitForFinished(-1);
        const QByteArray row = one.readAllStandardOutput();
        std::fwrite(row.constData(), 1, size_t(row.size()), stdout);
        std::fflush(stdout);
        if (one.exitCode() != 0)
            return one.exitCode();
        const QList<QByteArray> fields = row.simplified().split(' ');
        if (fields.size() > 5)
            growth << QStringLiteral("%1 jobs %2 us")
                          .arg(
                              QString::fromLatin1(fields.at(0)), QString::fromLatin1(fields.at(5)));
    }
    if (growth.size() > 1)
        std::printf("growth of the steady cycle per job: %s\n", qPrintable(growth.join(", ")));
    return 0;
}
