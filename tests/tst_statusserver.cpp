#include "TestSupport.h"

#include "common/ListenAddress.h"
#include "common/Metrics.h"
#include "common/TrafficTail.h"
#include "platform/Clock.h"
#include "status/HealthCheck.h"
#include "status/LogTail.h"
#include "status/StatusServer.h"
#include "status/StatusSource.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <optional>

#include <functional>

// The status server in this process over a source of our own: what each
// request gets, the health rule, the metrics' format and counts, the bounds
// on connections, and the page in a real browser.
class TestStatusServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void listenAddress_data();
    void listenAddress();
    void health_data();
    void health();
    void requests_data();
    void requests();
    void metricsCountAndPassPromtool();
    void boundsOnConnections();
    void trafficTailKeepsWholeLines();
    void pageInChromium();

private:
    struct Reply
    {
        int status = 0;
        QByteArray head;
        QByteArray body;
        bool closed = false; // the server closed the connection
    };
    void start(const QString &token = QString(), GuardedTcpServer::Limits limits = {});
    Reply exchange(const QByteArray &request, int timeoutMs = 5000);
    Reply get(const QByteArray &path, const QByteArray &extraHeaders = QByteArray());

    struct FakeSource : StatusSource
    {
        StatusSnapshot status;
        QList<LineSummary> dayLines;
        QHash<QString, QList<TripSummary>> dayTrips;
        StatusSnapshot snapshot() const override { return status; }
        QList<LineSummary> lines() const override { return dayLines; }
        std::optional<QList<TripSummary>> trips(const QString &key) const override
        {
            if (!dayTrips.contains(key))
                return std::nullopt;
            return dayTrips.value(key);
        }
    };

    Clock m_clock;
    Metrics m_metrics;
    std::optional<LogTail> m_log;
    TrafficTail m_traffic;
    FakeSource m_source;
    std::unique_ptr<StatusServer> m_server;
};

namespace {

// A gateway in good health: both sessions working, the map logged in.
StatusSnapshot healthy()
{
    StatusSnapshot s;
    s.version = QStringLiteral("Version 3.0.50");
    s.summary = s.liveSummary = QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Connected");
    s.jobs = {true, true, true, QStringLiteral("JOBS - Open")};
    s.orvikDb = {true, true, true, QStringLiteral("ORVIKDB - Open")};
    s.mapAddress = QStringLiteral("10.0.0.5:21953");
    s.mapState = QStringLiteral("Connected");
    s.mapConnected = s.mapLoggedIn = true;
    s.cycleStarted = true;
    s.intervalSeconds = 15;
    return s;
}

QDateTime at(int secondsAfterNoon)
{
    return QDateTime(QDate(2026, 3, 2), QTime(12, 0)).addSecs(secondsAfterNoon);
}

// The value of one sample line ("name{labels} value") of a metrics text.
double sample(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

} // namespace

void TestStatusServer::init()
{
    m_clock.setNow(at(0));
    m_source = FakeSource();
    m_source.status = healthy();
    m_metrics = Metrics();
    m_log.emplace();
    m_traffic = TrafficTail();
}

void TestStatusServer::cleanup()
{
    m_server.reset();
}

void TestStatusServer::start(const QString &token, GuardedTcpServer::Limits limits)
{
    m_server = std::make_unique<StatusServer>(m_source, m_metrics, *m_log, m_traffic, m_clock);
    ListenAddress where{QHostAddress(QHostAddress::LocalHost), 0};
    QString error;
    QVERIFY2(m_server->listen(where, token, limits, &error), qPrintable(error));
}

TestStatusServer::Reply TestStatusServer::exchange(const QByteArray &request, int timeoutMs)
{
    Reply r;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    QByteArray in;
    bool disconnected = false;
    connect(&socket, &QTcpSocket::readyRead, [&] { in += socket.readAll(); });
    connect(&socket, &QTcpSocket::disconnected, [&] { disconnected = true; });
    socket.write(request);
    // Whole once the head is in and the body is as long as it says.
    auto whole = [&] {
        const int end = int(in.indexOf("\r\n\r\n"));
        if (end < 0)
            return false;
        const QRegularExpression length(
            QStringLiteral("Content-Length: (\\d+)"), QRegularExpression::CaseInsensitiveOption);
        const auto m = length.match(QString::fromLatin1(in.left(end)));
        return request.startsWith("HEAD") || !m.hasMatch()
            || in.size() - end - 4 >= m.captured(1).toInt();
    };
    // A reply that does not come is told by its status 0.
    (void)QTest::qWaitFor([&] { return disconnected || whole(); }, timeoutMs);
    // A close that follows the answer is seen with it.
    (void)QTest::qWaitFor([&] { return disconnected; }, 50);
    const int end = int(in.indexOf("\r\n\r\n"));
    if (end >= 0) {
        r.head = in.left(end);
        r.body = in.mid(end + 4);
        r.status = in.mid(9, 3).toInt();
    }
    r.closed = disconnected;
    return r;
}

TestStatusServer::Reply TestStatusServer::get(
    const QByteArray &path, const QByteArray &extraHeaders)
{
    return exchange("GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extraHeaders + "\r\n");
}

void TestStatusServer::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown"); // as it reads back; empty when refused
    QTest::addColumn<bool>("loopback");

    QTest::newRow("IPv4 loopback") << "127.0.0.1:9531"
                                   << "127.0.0.1:9531" << true;
    QTest::newRow("all IPv4 addresses") << " 0.0.0.0:80 "
                                        << "0.0.0.0:80" << false;
    QTest::newRow("IPv6 in brackets") << "[::1]:9531"
                                      << "[::1]:9531" << true;
    QTest::newRow("IPv6 without brackets") << "::1:9531"
                                           << "" << false;
    QTest::newRow("host name") << "localhost:9531"
                               << "" << false;
    QTest::newRow("no port") << "127.0.0.1"
                             << "" << false;
    QTest::newRow("port 0") << "127.0.0.1:0"
                            << "" << false;
    QTest::newRow("port too large") << "127.0.0.1:65536"
                                    << "" << false;
}

void TestStatusServer::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(bool, loopback);
    QString why;
    const auto where = ListenAddress::parse(text, &why);
    QCOMPARE(where.has_value(), !shown.isEmpty());
    if (!where) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(where->toString(), shown);
    QCOMPARE(where->isLoopback(), loopback);
}

void TestStatusServer::health_data()
{
    using Change = std::function<void(StatusSnapshot &, Metrics &)>;
    QTest::addColumn<Change>("change");
    QTest::addColumn<QStringList>("reasons"); // a piece of each reason, in order

    // The last cycle completed 10 s ago unless a row says otherwise.
    QTest::newRow("healthy") << Change([](StatusSnapshot &, Metrics &) {}) << QStringList();
    QTest::newRow("jobs session never opened")
        << Change([](StatusSnapshot &s, Metrics &) { s.jobs = {}; })
        << QStringList{"jobs (JOBS) database session was never opened"};
    QTest::newRow("ORVIKDB closed, jobs not working")
        << Change([](StatusSnapshot &s, Metrics &) {
               s.orvikDb.open = s.orvikDb.working = false;
               s.orvikDb.summary = QStringLiteral("ORVIKDB - Closed");
               s.jobs.working = false;
           })
        << QStringList{"jobs (JOBS) database session is open but its connection does not work",
               "ORVIKDB database session is not open (ORVIKDB - Closed)"};
    QTest::newRow("map gone") << Change([](StatusSnapshot &s, Metrics &) {
        s.mapConnected = s.mapLoggedIn = false;
        s.mapState = QStringLiteral("Connecting");
    }) << QStringList{"map server 10.0.0.5:21953 is not connected (Connecting)"};
    QTest::newRow("map silent after login")
        << Change([](StatusSnapshot &s, Metrics &) { s.mapLoggedIn = false; })
        << QStringList{"connected but has not answered the login"};
    QTest::newRow("database stalled") << Change([](StatusSnapshot &s, Metrics &) {
        s.databaseWait = QStringLiteral("JOBS: the job selection");
        s.databaseWaitSeconds = 42;
    }) << QStringList{"database has not answered for 42 s: JOBS: the job selection"};
    QTest::newRow("still connecting") << Change([](StatusSnapshot &s, Metrics &m) {
        s.cycleStarted = false;
        s.startStep = QStringLiteral("SQLConnect1");
        m = Metrics();
    }) << QStringList{"not started: connecting (SQLConnect1)"};
    QTest::newRow("only failed cycles") << Change([](StatusSnapshot &, Metrics &m) {
        m = Metrics();
        m.cycleEnded(false, 0.2, at(-5));
        m.cycleEnded(false, 0.2, at(-1));
    }) << QStringList{"no database cycle has completed yet (2 failed"};
    QTest::newRow("cycle older than three intervals") << Change([](StatusSnapshot &, Metrics &m) {
        m = Metrics();
        m.cycleEnded(true, 0.2, at(-46));
    }) << QStringList{"no database cycle completed in the last 45 s (interval 15 s)"};
    QTest::newRow("short interval: never less than 30 s") << Change(
        [](StatusSnapshot &s, Metrics &m) {
            s.intervalSeconds = 1;
            m = Metrics();
            m.cycleEnded(true, 0.2, at(-29));
        }) << QStringList();
    QTest::newRow("one failure after a recent completed cycle")
        << Change([](StatusSnapshot &, Metrics &m) { m.cycleEnded(false, 0.2, at(-1)); })
        << QStringList();
    // A standby of a pair has no map connection and runs no cycle: it is
    // healthy while it tries the lease.
    auto standby = [](StatusSnapshot &s, Metrics &m) {
        s.pairRole = QStringLiteral("standby");
        s.pairName = QStringLiteral("north");
        s.pairHolder = QStringLiteral("bus02 77 00c0ffee");
        s.pairTrying = true;
        s.mapConnected = s.mapLoggedIn = false;
        s.cycleStarted = false;
        s.jobs = s.orvikDb = {};
        m = Metrics();
    };
    QTest::newRow("standby trying the lease") << Change(standby) << QStringList();
    QTest::newRow("standby not trying") << Change([standby](StatusSnapshot &s, Metrics &m) {
        standby(s, m);
        s.pairTrying = false;
    }) << QStringList{"the standby of pair north does not try the lease"};
    QTest::newRow("active of a pair without its map") << Change([](StatusSnapshot &s, Metrics &) {
        s.pairRole = QStringLiteral("active");
        s.pairName = QStringLiteral("north");
        s.mapConnected = s.mapLoggedIn = false;
    }) << QStringList{"is not connected"};
}

void TestStatusServer::health()
{
    QFETCH(std::function<void(StatusSnapshot &, Metrics &)>, change);
    QFETCH(QStringList, reasons);
    m_metrics.cycleEnded(true, 0.3, at(-10));
    change(m_source.status, m_metrics);

    const HealthCheck::Result r = HealthCheck::evaluate(m_source.status, m_metrics, at(0));
    QCOMPARE(r.ok, reasons.isEmpty());
    QCOMPARE(r.reasons.size(), reasons.size());
    for (int i = 0; i < reasons.size(); ++i)
        QVERIFY2(r.reasons.at(i).contains(reasons.at(i)), qPrintable(r.reasons.at(i)));

    // The same through HTTP: 200 or 503, the reasons in the JSON.
    start();
    const Reply reply = get("/healthz");
    QCOMPARE(reply.status, reasons.isEmpty() ? 200 : 503);
    const QJsonObject o = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(o.value(QStringLiteral("status")).toString(),
        reasons.isEmpty() ? QStringLiteral("ok") : QStringLiteral("fail"));
    QCOMPARE(o.value(QStringLiteral("reasons")).toArray().size(), reasons.size());
    QCOMPARE(o.value(QStringLiteral("role")).toString(), m_source.status.pairRole);
    QCOMPARE(o.value(QStringLiteral("holder")).toString(), m_source.status.pairHolder);
    // The pair's counts only where there is a pair.
    const QByteArray metrics = get("/metrics").body;
    QCOMPARE(metrics.contains("volmara_pair_active "), !m_source.status.pairName.isEmpty());
    if (m_source.status.pairRole == QLatin1String("standby"))
        QVERIFY(metrics.contains("volmara_pair_active 0\n"));
}

void TestStatusServer::requests_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("inHead"); // must be in the head
    QTest::addColumn<QByteArray>("inBody"); // must be in the body ("-" for an empty body)

    const QByteArray end = " HTTP/1.1\r\nHost: x\r\n\r\n";
    QTest::newRow("page") << "" << ("GET /" + end) << 200
                          << QByteArray("Content-Security-Policy: default-src 'none'; script-src "
                                        "'sha256-")
                          << QByteArray("dir=\"rtl\"");
    QTest::newRow("head has no body") << "" << ("HEAD /healthz" + end) << 200
                                      << QByteArray("Content-Length: ") << QByteArray("-");
    QTest::newRow("post refused") << ""
                                  << QByteArray("POST /healthz HTTP/1.1\r\nHost: x\r\n"
                                                "Content-Length: 3\r\n\r\na=1")
                                  << 405 << QByteArray("Allow: GET, HEAD") << QByteArray();
    QTest::newRow("delete refused")
        << "" << ("DELETE /lines" + end) << 405 << QByteArray("Allow") << QByteArray();
    QTest::newRow("unknown path") << "" << ("GET /admin" + end) << 404 << QByteArray()
                                  << QByteArray();
    QTest::newRow("lines") << "" << ("GET /lines" + end) << 200 << QByteArray("application/json")
                           << QByteArray(R"({"lines":[{"firstStart":"2026-03-02T05:10:00")");
    QTest::newRow("one line's trips, the text kept as text")
        << "" << ("GET /lines?line=010051" + end) << 200 << QByteArray()
        << QByteArray(R"("driver":"<b>\"דנה\"</b>")");
    QTest::newRow("no such line") << "" << ("GET /lines?line=999999" + end) << 404 << QByteArray()
                                  << QByteArray("no such line");
    QTest::newRow("token missing") << "s3cret" << ("GET /metrics" + end) << 401
                                   << QByteArray("WWW-Authenticate: Bearer") << QByteArray();
    QTest::newRow("token wrong")
        << "s3cret" << QByteArray("GET /healthz HTTP/1.1\r\nAuthorization: Bearer s3creT\r\n\r\n")
        << 401 << QByteArray() << QByteArray();
    QTest::newRow("token given")
        << "s3cret" << QByteArray("GET /healthz HTTP/1.1\r\nauthorization:  Bearer s3cret\r\n\r\n")
        << 200 << QByteArray() << QByteArray(R"("status":"ok")");
    QTest::newRow("token checked before the method")
        << "s3cret" << ("PUT /" + end) << 401 << QByteArray() << QByteArray();
}

void TestStatusServer::requests()
{
    QFETCH(QString, token);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, inHead);
    QFETCH(QByteArray, inBody);
    m_metrics.cycleEnded(true, 0.3, at(-1));
    LineSummary line;
    line.key = QStringLiteral("010051");
    line.trips = 1;
    line.firstStart = line.lastStart = QDateTime(QDate(2026, 3, 2), QTime(5, 10), Qt::UTC);
    m_source.dayLines = {line};
    TripSummary trip;
    trip.driver = QStringLiteral("<b>\"דנה\"</b>");
    m_source.dayTrips.insert(line.key, {trip});
    start(token);

    const Reply reply = exchange(request);
    QCOMPARE(reply.status, status);
    QVERIFY2(reply.head.contains(inHead), reply.head.constData());
    QVERIFY(reply.head.contains("Cache-Control: no-store"));
    if (inBody == "-")
        QVERIFY(reply.body.isEmpty());
    else
        QVERIFY2(reply.body.contains(inBody), reply.body.left(400).constData());
    // The answer leaves the connection for the next request.
    QVERIFY(!reply.closed);
}

void TestStatusServer::metricsCountAndPassPromtool()
{
    start();
    const QByteArray before = get("/metrics").body;
    QCOMPARE(sample(before, "volmara_cycles_total"), 0.0);
    QCOMPARE(sample(before, "volmara_last_cycle_end_timestamp_seconds"), 0.0);

    m_metrics.cycleEnded(true, 0.3, at(-20));
    m_metrics.cycleEnded(false, 7, at(-2));
    m_metrics.linePushed(120);
    m_metrics.linePushed(80);
    m_metrics.mapConnected();
    m_metrics.mapConnected();
    m_metrics.mapRequestAnswered(0.004);
    m_metrics.dbSessionReopened(Metrics::Session::OrvikDb);
    m_metrics.jobsSelected(64);
    m_metrics.schedsInserted(10);
    m_metrics.schedsInserted(5);
    LogRecord warning;
    warning.severity = LogRecord::Severity::Warning;
    m_log->record(warning, at(0));
    m_source.status.lines = 3;
    m_source.status.trips = 12;
    m_source.status.orvikDb.working = false;
    m_source.status.version = QStringLiteral("x\"y");

    const QByteArray text = get("/metrics").body;
    const struct
    {
        const char *series;
        double value;
    } expected[] = {
        {"volmara_cycles_total", 2},
        {"volmara_cycle_failures_total", 1},
        {"volmara_cycle_duration_seconds_bucket{le=\"0.5\"}", 1},
        {"volmara_cycle_duration_seconds_bucket{le=\"10\"}", 2},
        {"volmara_cycle_duration_seconds_bucket{le=\"+Inf\"}", 2},
        {"volmara_cycle_duration_seconds_sum", 7.3},
        {"volmara_last_cycle_end_timestamp_seconds", double(at(-2).toSecsSinceEpoch())},
        {"volmara_jobs_selected", 64},
        {"volmara_scheds_inserted_total", 15},
        {"volmara_lines", 3},
        {"volmara_trips", 12},
        {"volmara_pushes_total", 2},
        {"volmara_push_bytes_total", 200},
        {"volmara_map_connected", 1},
        {"volmara_map_reconnects_total", 1},
        {"volmara_map_requests_total", 1},
        {"volmara_map_answer_seconds_bucket{le=\"0.0025\"}", 0},
        {"volmara_map_answer_seconds_bucket{le=\"0.005\"}", 1},
        {"volmara_db_session_open{session=\"jobs\"}", 1},
        {"volmara_db_session_open{session=\"orvikdb\"}", 0},
        {"volmara_db_reconnects_total{session=\"orvikdb\"}", 1},
        {"volmara_db_reconnects_total{session=\"jobs\"}", 0},
        {"volmara_log_records_total{severity=\"warning\"}", 1},
        {"volmara_log_records_total{severity=\"error\"}", 0},
    };
    for (const auto &e : expected)
        QVERIFY2(qFuzzyCompare(sample(text, e.series) + 1, e.value + 1),
            qPrintable(QString::fromLatin1(e.series) + QStringLiteral(" = ")
                + QString::number(sample(text, e.series))));
    QVERIFY(text.contains("volmara_build_info{version=\"3.0.50\"} 1\n"));

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        QSKIP("promtool (Debian package prometheus) is not installed: the format was not checked");
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted(10000));
    check.write(text);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    const QByteArray said = check.readAllStandardOutput() + check.readAllStandardError();
    QVERIFY2(check.exitCode() == 0 && said.trimmed().isEmpty(), said.constData());
}

void TestStatusServer::boundsOnConnections()
{
    GuardedTcpServer::Limits limits;
    limits.maxConnections = 4;
    limits.maxRequestBytes = 2048;
    limits.idleMs = 600;
    start(QString(), limits);

    // Idle clients up to the bound; one more is turned away at once.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < limits.maxConnections; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, m_server->port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        m_server->tcpServer()->connectionCount(), limits.maxConnections, 5000);
    const Reply refused = get("/healthz");
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.closed);
    QCOMPARE(m_server->tcpServer()->refusedCount(), quint64(1));

    // An idle client is let go after the idle time; then requests pass again.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->tcpServer()->connectionCount(), 0, 5000);
    for (const auto &s : idle)
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), QAbstractSocket::UnconnectedState, 2000);
    QCOMPARE(get("/healthz").status, 503); // no cycle yet: the JSON answer, not the refusal

    // A request that grows past the bound is answered 413 and closed.
    const Reply big = exchange("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(3000, 'a'));
    QCOMPARE(big.status, 413);
    QVERIFY(big.closed);

    // One that never ends is closed after the idle time, unanswered.
    const Reply slow = exchange("GET /healthz HTTP/1.1\r\nHost:", 3000);
    QVERIFY(slow.closed);
    QCOMPARE(slow.status, 0);
}

void TestStatusServer::trafficTailKeepsWholeLines()
{
    TrafficTail tail(3);
    tail.add(TrafficTail::Direction::In, QStringLiteral("$Q,0\r\n"), at(0));
    QVERIFY(tail.lines().isEmpty()); // off: nothing kept
    tail.setOn(true);
    // A line split over two reads is one line; an empty one is none.
    tail.add(TrafficTail::Direction::In, QStringLiteral("$A,L"), at(1));
    tail.add(TrafficTail::Direction::Out, QStringLiteral("$Q,0\r\n\r\n"), at(2));
    tail.add(TrafficTail::Direction::In, QStringLiteral(",\r"), at(3));
    tail.add(TrafficTail::Direction::Out,
        QStringLiteral("$N,") + QString(TrafficTail::kMaxLineChars * 3, QLatin1Char('x'))
            + QStringLiteral("\r\n$Z\r\n"),
        at(4));
    const QList<TrafficTail::Line> lines = tail.lines();
    QCOMPARE(lines.size(), 3); // the oldest went
    QCOMPARE(lines.at(0).text, QStringLiteral("$A,L,"));
    QCOMPARE(lines.at(0).direction, TrafficTail::Direction::In);
    QCOMPARE(lines.at(0).at, at(3));
    const QString longLine
        = QStringLiteral("$N,") + QString(TrafficTail::kMaxLineChars * 3, QLatin1Char('x'));
    QCOMPARE(lines.at(1).text,
        longLine.left(TrafficTail::kMaxLineChars)
            + QStringLiteral("… (%1 characters)").arg(longLine.size()));
    QCOMPARE(lines.at(2).text, QStringLiteral("$Z"));
}

void TestStatusServer::pageInChromium()
{
    QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        chromium = QStandardPaths::findExecutable(QStringLiteral("chromium-browser"));
    if (chromium.isEmpty())
        QSKIP("chromium (Debian package chromium) is not installed: the page was not loaded");

    // Texts from databases and peers, meant to break the page if it used
    // them as markup.
    m_metrics.cycleEnded(true, 0.3, at(-1));
    m_source.status.summary = m_source.status.liveSummary
        = QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Connected");
    m_source.status.popupText = QStringLiteral("SQLServer Status - 1\r\nMap State - 7");
    LineSummary line;
    line.key = QStringLiteral("010051");
    line.name = QStringLiteral("<img src=x onerror=alert(1)>");
    line.trips = 4;
    m_source.dayLines = {line};
    LogRecord r;
    r.procedure = QStringLiteral("tmrDB_Timer");
    r.message = QStringLiteral("נהג </td><script>alert(2)</script>");
    m_log->record(r, at(0));
    m_traffic.setOn(true);
    m_traffic.add(TrafficTail::Direction::Out, QStringLiteral("$Q,0\r\n"), at(0));
    start();

    QTemporaryDir profile;
    QProcess browser;
    browser.start(chromium,
        {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
            QStringLiteral("--disable-gpu"), QStringLiteral("--disable-quic"),
            QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
            QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
            QStringLiteral("--user-data-dir=") + profile.path(),
            QStringLiteral("--enable-logging=stderr"), QStringLiteral("--v=0"),
            QStringLiteral("--virtual-time-budget=3000"), QStringLiteral("--dump-dom"),
            QStringLiteral("http://127.0.0.1:%1/").arg(m_server->port())});
    QVERIFY(browser.waitForStarted(10000));
    // The server answers from this thread's event loop while the browser runs.
    QVERIFY(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; }, 120000));
    const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
    const QString log = QString::fromUtf8(browser.readAllStandardError());

    // Every console line is a fault of the page: a script error, a refused
    // inline script (its hash), a resource it could not load.
    const QStringList console = log.split(QLatin1Char('\n')).filter(QStringLiteral(":CONSOLE"));
    QVERIFY2(console.isEmpty(), qPrintable(console.join(QLatin1Char('\n'))));
    QVERIFY2(dom.contains(QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Connected</div>")),
        qPrintable(dom.left(3000)));
    QVERIFY(dom.contains(QStringLiteral(">תקין</span>")));
    // The texts are there as text: escaped, no element made of them.
    QVERIFY(dom.contains(QStringLiteral("&lt;img src=x onerror=alert(1)&gt;")));
    QVERIFY(dom.contains(QStringLiteral("נהג &lt;/td&gt;&lt;script&gt;alert(2)&lt;/script&gt;")));
    QVERIFY(!dom.contains(QStringLiteral("<img src=\"x\"")));
    QVERIFY(dom.contains(QStringLiteral("<td>$Q,0</td>")));
}

QTEST_GUILESS_MAIN(TestStatusServer)
#include "tst_statusserver.moc"
