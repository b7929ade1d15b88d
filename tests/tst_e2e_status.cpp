#include "TestSupport.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

// The real volmarad with the map server simulator and the demo day: its
// status server as a monitor sees it, SIGHUP, and one gateway per folder.
class TestE2eStatus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void healthFollowsTheMapAndCountsMove();
    void hangupReloadsAndNeverEnds();
    void oneGatewayPerFolder();

private:
    struct Http
    {
        int status = 0;
        QByteArray body;
    };
    static QString bin(const QString &name);
    static quint16 freePort();
    Http get(quint16 port, const QString &path);
    double metric(quint16 port, const QByteArray &series);
    void writeSettings(const QByteArray &misc);
    void startSimulator();
    void stopSimulator();
    void startDaemon(const QStringList &extra = {});
    QString daemonErr();

    std::unique_ptr<TempHome> m_home;
    quint16 m_mapPort = 0;
    QProcess m_sim;
    QProcess m_daemon;
    QString m_err;
    QNetworkAccessManager m_net;
};

QString TestE2eStatus::bin(const QString &name)
{
    return QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(name);
}

quint16 TestE2eStatus::freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

void TestE2eStatus::init()
{
    m_home = std::make_unique<TempHome>();
    m_err.clear();
    m_mapPort = freePort();
    QVERIFY(m_mapPort != 0);
    QCOMPARE(QProcess::execute(bin(QStringLiteral("volmara-dbinit")),
                 {m_home->file(QStringLiteral("db")), QStringLiteral("--demo")}),
        0);
}

void TestE2eStatus::cleanup()
{
    for (QProcess *p : {&m_daemon, &m_sim}) {
        if (p->state() == QProcess::NotRunning)
            continue;
        p->terminate();
        if (!p->waitForFinished(10000))
            p->kill();
        p->waitForFinished(5000);
    }
    m_home.reset();
}

TestE2eStatus::Http TestE2eStatus::get(quint16 port, const QString &path)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    std::unique_ptr<QNetworkReply> reply(m_net.get(request));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 10000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

double TestE2eStatus::metric(quint16 port, const QByteArray &series)
{
    for (const QByteArray &line : get(port, QStringLiteral("/metrics")).body.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

void TestE2eStatus::writeSettings(const QByteArray &misc)
{
    m_home->write(QStringLiteral("Volmara.INI"),
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(m_mapPort)
            + "\r\nGMT=2\r\n[Database]\r\nSQLServer=sqlite:db\r\n[Misc]\r\n" + misc);
}

void TestE2eStatus::startSimulator()
{
    m_sim.setProcessChannelMode(QProcess::MergedChannels);
    m_sim.start(bin(QStringLiteral("volmara-mapsim")),
        {QStringLiteral("--port"), QString::number(m_mapPort), QStringLiteral("--quiet"),
            QStringLiteral("--request-line"), QStringLiteral("05102100"),
            QStringLiteral("--request-every"), QStringLiteral("1")});
    QVERIFY(m_sim.waitForStarted(10000));
    QVERIFY(m_sim.waitForReadyRead(10000)); // the listening address
}

void TestE2eStatus::stopSimulator()
{
    m_sim.kill();
    QVERIFY(m_sim.waitForFinished(10000));
}

void TestE2eStatus::startDaemon(const QStringList &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
        env.remove(QString::fromLatin1(name));
    m_daemon.setProcessEnvironment(env);
    m_daemon.start(bin(QStringLiteral("volmarad")),
        QStringList{QStringLiteral("--home"), m_home->path()} + extra);
    QVERIFY(m_daemon.waitForStarted(10000));
}

QString TestE2eStatus::daemonErr()
{
    m_err += QString::fromUtf8(m_daemon.readAllStandardError());
    return m_err;
}

void TestE2eStatus::healthFollowsTheMapAndCountsMove()
{
    const quint16 port = freePort();
    writeSettings("DBInterval=1\r\nStatusListen=127.0.0.1:1\r\n");
    startSimulator();
    // The option wins over the settings key.
    startDaemon({QStringLiteral("--status-listen"), QStringLiteral("127.0.0.1:%1").arg(port)});

    QTRY_VERIFY2_WITH_TIMEOUT(
        get(port, QStringLiteral("/healthz")).status == 200, qPrintable(daemonErr()), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(metric(port, "volmara_map_requests_total") >= 1, 10000);
    const double cycles = metric(port, "volmara_cycles_total");
    QVERIFY(cycles >= 1);
    QVERIFY(metric(port, "volmara_pushes_total") >= 15); // the demo day's lines
    QCOMPARE(metric(port, "volmara_lines"), 15.0);
    QCOMPARE(metric(port, "volmara_map_reconnects_total"), 0.0);

    // The map server goes: 503, naming it.
    stopSimulator();
    QTRY_COMPARE_WITH_TIMEOUT(get(port, QStringLiteral("/healthz")).status, 503, 15000);
    const QByteArray failing = get(port, QStringLiteral("/healthz")).body;
    QVERIFY2(
        failing.contains("\"status\":\"fail\"") && failing.contains("the map server 127.0.0.1:"),
        failing.constData());
    QCOMPARE(metric(port, "volmara_map_connected"), 0.0);

    // And comes back: 200 again, one reconnect counted, the cycle went on.
    startSimulator();
    QTRY_COMPARE_WITH_TIMEOUT(get(port, QStringLiteral("/healthz")).status, 200, 30000);
    QCOMPARE(metric(port, "volmara_map_reconnects_total"), 1.0);
    QVERIFY(metric(port, "volmara_cycles_total") > cycles);
    // The records so far are counted: the start, the status server's, the logon's, the cycle's
    // exit while the map was gone.
    QVERIFY2(
        metric(port, "volmara_log_records_total{severity=\"info\"}") >= 4, qPrintable(daemonErr()));
    QVERIFY(daemonErr().contains(QStringLiteral("--status-listen")));
}

void TestE2eStatus::hangupReloadsAndNeverEnds()
{
    const quint16 first = freePort();
    const quint16 second = freePort();
    QVERIFY(first != second);
    // An interval the cycle keeps to 3600: said at the start.
    writeSettings(
        "DBInterval=7200\r\nStatusListen=127.0.0.1:" + QByteArray::number(first) + "\r\n");
    startSimulator();
    startDaemon();
    QTRY_VERIFY2_WITH_TIMEOUT(
        get(first, QStringLiteral("/healthz")).status == 200, qPrintable(daemonErr()), 30000);
    QVERIFY2(daemonErr().contains(QStringLiteral(
                 "warning: ReadINI: [Misc] DBInterval = 7200 is outside 1 to 3600 seconds (3600 "
                 "is used)")),
        qPrintable(m_err));
    // Only the first cycle ran; the next would be an hour away.
    const double cycles = metric(first, "volmara_cycles_total");

    // A shorter interval takes effect at once.
    writeSettings("DBInterval=1\r\nStatusListen=127.0.0.1:" + QByteArray::number(first) + "\r\n");
    ::kill(pid_t(m_daemon.processId()), SIGHUP);
    QTRY_VERIFY2_WITH_TIMEOUT(daemonErr().contains(QStringLiteral(
                                  "info: Reload: Volmara.INI reloaded: DBInterval 3600 -> 1 s")),
        qPrintable(m_err), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(metric(first, "volmara_cycles_total") >= cycles + 3, 15000);

    // A file --check-config would refuse changes nothing, with one record.
    writeSettings(
        "DBInterval=abc\r\nStatusListen=127.0.0.1:" + QByteArray::number(second) + "\r\n");
    ::kill(pid_t(m_daemon.processId()), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(
        daemonErr().contains(QStringLiteral("Volmara.INI not reloaded")), 10000);
    QVERIFY2(m_err.contains(QStringLiteral(
                 "error: Reload: Volmara.INI not reloaded: [Misc] DBInterval = abc is not a number "
                 "of seconds (15 is used). The running settings stay.")),
        qPrintable(m_err));
    QCOMPARE(get(first, QStringLiteral("/healthz")).status, 200);

    // A new status address rebinds; the old one is let go.
    writeSettings("DBInterval=1\r\nStatusListen=127.0.0.1:" + QByteArray::number(second) + "\r\n");
    ::kill(pid_t(m_daemon.processId()), SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(get(second, QStringLiteral("/healthz")).status, 200, 10000);
    QCOMPARE(get(first, QStringLiteral("/healthz")).status, 0);
    QVERIFY2(
        daemonErr().contains(
            QStringLiteral("status server 127.0.0.1:%1 -> 127.0.0.1:%2").arg(first).arg(second)),
        qPrintable(m_err));

    // Several at once: still running, still serving.
    for (int i = 0; i < 5; ++i)
        ::kill(pid_t(m_daemon.processId()), SIGHUP);
    QTest::qWait(500);
    QCOMPARE(m_daemon.state(), QProcess::Running);
    QCOMPARE(get(second, QStringLiteral("/healthz")).status, 200);
    m_daemon.terminate();
    QVERIFY(m_daemon.waitForFinished(15000));
    QCOMPARE(m_daemon.exitCode(), 0);
}

void TestE2eStatus::oneGatewayPerFolder()
{
    writeSettings("DBInterval=1\r\n");
    startSimulator();
    startDaemon();
    QTRY_VERIFY_WITH_TIMEOUT(m_home->exists(QStringLiteral("volmara.lock")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_home->read(QStringLiteral("Debug.TXT")).contains("starts in"), 10000);

    QProcess second;
    second.start(bin(QStringLiteral("volmarad")), {QStringLiteral("--home"), m_home->path()});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 75);
    const QString said = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("(PID %1)").arg(m_daemon.processId()))
            && said.contains(QDir(m_home->path()).absolutePath()),
        qPrintable(said));

    // The settings check takes no lock: it runs beside the gateway.
    QProcess check;
    check.start(bin(QStringLiteral("volmarad")),
        {QStringLiteral("--check-config"), QStringLiteral("--home"), m_home->path()});
    QVERIFY(check.waitForFinished(30000));
    QCOMPARE(check.exitCode(), 0);

    // Once the first has ended, the folder is free again.
    m_daemon.terminate();
    QVERIFY(m_daemon.waitForFinished(15000));
    startDaemon();
    QTRY_VERIFY_WITH_TIMEOUT(
        m_home->read(QStringLiteral("Debug.TXT")).count("starts in") == 2, 10000);
    QCOMPARE(m_daemon.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestE2eStatus)
#include "tst_e2e_status.moc"
