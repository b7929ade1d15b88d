#include "PgServer.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <csignal>

// The headless gateway against a PostgreSQL server that stops answering:
// another program's lock holds the selection, or the server's processes are
// stopped as on a host that hangs. The map link is the event thread's and
// goes on answering; the stall is told; SIGTERM ends the gateway at once,
// its statement cancelled and undone by the server.
class TestE2eStall : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void stalledDatabaseStopsNeitherTheMapNorTheStop_data();
    void stalledDatabaseStopsNeitherTheMapNorTheStop();
    void serverBackWhileTheGatewayEnds_data();
    void serverBackWhileTheGatewayEnds();

private:
    // The map server's end: answers the line list request, asks for a line
    // when told and notes how long the answer took.
    struct Map
    {
        QTcpServer server;
        QTcpSocket *peer = nullptr;
        QByteArray received;
        int pushes = 0;

        void read()
        {
            received += peer->readAll();
            qsizetype end;
            while ((end = received.indexOf("\r\n")) >= 0) {
                const QByteArray line = received.left(end);
                received.remove(0, end + 2);
                if (line.startsWith("$Q,0"))
                    peer->write("$Q,0,1234567\r\n");
                if (line.startsWith("$NotifyOrganization,dedod,"))
                    ++pushes;
                if (line.startsWith("$NotifyOrganization,req,"))
                    answered = true;
            }
        }
        // Asks for a line and waits for the answer; its milliseconds, or -1.
        qint64 ask(int timeoutMs)
        {
            answered = false;
            QElapsedTimer t;
            t.start();
            peer->write("$MapNotification,req,1,ExpLineSchedReq\\c34506201\r\n");
            if (!QTest::qWaitFor([&] { return answered; }, timeoutMs))
                return -1;
            return t.elapsed();
        }
        bool answered = false;
    };

    // The day's one job under way, alone in the tables.
    void oneJob();
    // volmarad on home, its map server map, the status page on statusPort
    // (0: none), its service manager's socket notifyPath (empty: none).
    void launch(QProcess &gateway, const TempHome &home, Map &map, quint16 statusPort,
        const QString &notifyPath);
    // Another program's lock on the jobs table, held by holder's open
    // transaction until it commits.
    void lockJobs(QProcess &holder);

    std::unique_ptr<PgServer> m_pg;
};

void TestE2eStall::initTestCase()
{
    const QString why = PgServer::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    m_pg = std::make_unique<PgServer>();
    QVERIFY2(m_pg->start(), qPrintable(m_pg->lastError()));
    QVERIFY2(m_pg->createSchema(), qPrintable(m_pg->lastError()));
}

void TestE2eStall::cleanupTestCase()
{
    m_pg.reset();
}

void TestE2eStall::stalledDatabaseStopsNeitherTheMapNorTheStop_data()
{
    QTest::addColumn<bool>("serverStopped"); // else: the jobs table locked
    QTest::newRow("jobs table locked") << false;
    QTest::newRow("server stopped") << true;
}

void TestE2eStall::oneJob()
{
    QVERIFY(m_pg->psql(QStringLiteral("DELETE FROM Jobs; DELETE FROM Scheds;")));
    const QString start = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
                 "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate) VALUES "
                 "('%1', 7, '12-345-67', 1, 55, 'Dana', '%1', '%1', 123456, 'ops', '%1');")
                            .arg(start)),
        qPrintable(m_pg->lastError()));
}

void TestE2eStall::launch(QProcess &gateway, const TempHome &home, Map &map, quint16 statusPort,
    const QString &notifyPath)
{
    QVERIFY(map.server.listen(QHostAddress::LocalHost, 0));
    connect(&map.server, &QTcpServer::newConnection, this, [&map, this] {
        map.peer = map.server.nextPendingConnection();
        connect(map.peer, &QTcpSocket::readyRead, this, [&map] { map.read(); });
    });
    home.write(QStringLiteral("Volmara.INI"),
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(map.server.serverPort())
            + "\r\nGMT=2\r\n[Database]\r\nSQLServer=" + m_pg->connectionString().toUtf8()
            + "\r\n[Misc]\r\nDBInterval=1\r\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
        env.remove(QString::fromLatin1(name));
    if (!notifyPath.isEmpty())
        env.insert(QStringLiteral("NOTIFY_SOCKET"), notifyPath);
    gateway.setProcessEnvironment(env);
    gateway.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args{QStringLiteral("--home"), home.path()};
    if (statusPort != 0)
        args << QStringLiteral("--status-listen") << QStringLiteral("127.0.0.1:%1").arg(statusPort);
    gateway.start(
        QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(QStringLiteral("volmarad")), args);
    QVERIFY(gateway.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(map.pushes > 0, 20000);
}

void TestE2eStall::lockJobs(QProcess &holder)
{
    holder.start(QDir(PgServer::binDir()).filePath(QStringLiteral("psql")),
        {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-h"),
            QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_pg->port()),
            QStringLiteral("-U"), QLatin1String(PgServer::kUser), QStringLiteral("-d"),
            QLatin1String(PgServer::kDatabase)});
    QVERIFY(holder.waitForStarted(10000));
    holder.write("BEGIN; LOCK TABLE Jobs IN ACCESS EXCLUSIVE MODE;\n");
    QTRY_VERIFY_WITH_TIMEOUT(
        m_pg->scalar(QStringLiteral("SELECT count(*) FROM pg_locks WHERE relation = "
                                    "'jobs'::regclass AND mode = 'AccessExclusiveLock' "
                                    "AND granted"))
            == QLatin1String("1"),
        10000);
}

void TestE2eStall::stalledDatabaseStopsNeitherTheMapNorTheStop()
{
    QFETCH(bool, serverStopped);
    oneJob();
    if (QTest::currentTestFailed())
        return;
    Map map;
    TempHome home;
    const quint16 statusPort = [] {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : quint16(0);
    }();
    QProcess gateway;
    launch(gateway, home, map, statusPort, QString());
    if (QTest::currentTestFailed())
        return;
    QVERIFY(map.ask(5000) >= 0);

    // Another program holds the jobs table: the selection waits for it. Or
    // the server stops: whatever the gateway sends next waits.
    QProcess holder;
    const QList<pid_t> serverPids = serverStopped ? m_pg->serverPids() : QList<pid_t>();
    const auto resumeServer = [&] {
        for (pid_t pid : serverPids)
            ::kill(pid, SIGCONT);
    };
    const auto resume = qScopeGuard(resumeServer);
    if (serverStopped) {
        QVERIFY(!serverPids.isEmpty());
        for (pid_t pid : serverPids)
            ::kill(pid, SIGSTOP);
    } else {
        lockJobs(holder);
        if (QTest::currentTestFailed())
            return;
    }

    // Past the stall's notice the map is still answered, every time.
    QTRY_VERIFY_WITH_TIMEOUT(home.lines(QStringLiteral("Debug.TXT"))
                                 .filter(QStringLiteral("The database has not answered for"))
                                 .size()
            == 1,
        20000);
    QList<qint64> answers;
    for (int i = 0; i < 10; ++i)
        answers << map.ask(5000);
    QVERIFY2(!answers.contains(-1), qPrintable(QDebug::toString(answers)));
    qInfo() << "answers while the database waited (ms):" << answers;

    // The health check names the wait.
    QNetworkAccessManager net;
    std::unique_ptr<QNetworkReply> health(net.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(statusPort)))));
    QVERIFY(QTest::qWaitFor([&] { return health->isFinished(); }, 5000));
    QCOMPARE(health->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
    const QByteArray body = health->readAll();
    QVERIFY2(body.contains("the database has not answered for"), body.constData());

    // The stop, while the statement waits.
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(gateway.processId()), SIGTERM);
    QVERIFY(gateway.waitForFinished(10000));
    qInfo("SIGTERM honoured after %lld ms", stopping.elapsed());
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);
    QVERIFY(home.lines(QStringLiteral("Debug.TXT")).last().contains(QStringLiteral("EndProgram")));

    // The server undid the cancelled statement: no job stays marked.
    resumeServer();
    if (!serverStopped) {
        holder.write("COMMIT;\n");
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
    }
    QCOMPARE(m_pg->scalar(QStringLiteral("SELECT count(*) FROM Jobs WHERE UsedFlag = 2")),
        QStringLiteral("0"));
}

void TestE2eStall::serverBackWhileTheGatewayEnds_data()
{
    // When the server comes back: counted from the stop signal (at once:
    // the cancel ends the cycle; a little past the end's wait for the
    // cycle: while the end waits for the database thread) or from the
    // record of the end (the thread has been given up and the process ends
    // as the statement returns).
    QTest::addColumn<bool>("fromTheRecord");
    QTest::addColumn<int>("resumeMs");
    QTest::newRow("at the stop") << false << 0;
    QTest::newRow("while the end waits") << false << 1100;
    QTest::newRow("at the last record") << true << 0;
    QTest::newRow("30 ms after it") << true << 30;
    QTest::newRow("100 ms after it") << true << 100;
}

// The stop while the selection waits for another program's lock and the
// server answers not even the cancel (its processes stopped). The end waits
// a moment for the database thread and then goes without it; the server
// comes back before, during or after that, so that the thread's statement
// returns while the process ends. Nothing the thread goes on with may be
// gone by then, and the record of the end stays the last.
void TestE2eStall::serverBackWhileTheGatewayEnds()
{
    QFETCH(bool, fromTheRecord);
    QFETCH(int, resumeMs);
    oneJob();
    if (QTest::currentTestFailed())
        return;
    Map map;
    TempHome home;
    QProcess gateway;
    launch(gateway, home, map, 0, QString());
    if (QTest::currentTestFailed())
        return;

    QProcess holder;
    lockJobs(holder);
    if (QTest::currentTestFailed())
        return;
    // The gateway's selection waits behind it.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_pg->scalar(QStringLiteral(
            "SELECT count(*) FROM pg_locks WHERE relation = 'jobs'::regclass AND NOT granted"))
            == QLatin1String("1"),
        10000);
    const QList<pid_t> serverPids = m_pg->serverPids();
    QVERIFY(!serverPids.isEmpty());
    bool resumed = false;
    const auto resumeServer = [&] {
        if (resumed)
            return;
        resumed = true;
        for (pid_t pid : serverPids)
            ::kill(pid, SIGCONT);
    };
    const auto resume = qScopeGuard(resumeServer);
    for (pid_t pid : serverPids)
        ::kill(pid, SIGSTOP);

    // Every record goes to standard error too: the end's is heard at once.
    QByteArray output = gateway.readAll();
    bool endSeen = false;
    QTimer resumeTimer;
    resumeTimer.setSingleShot(true);
    resumeTimer.setTimerType(Qt::PreciseTimer);
    connect(&resumeTimer, &QTimer::timeout, this, resumeServer);
    connect(&gateway, &QProcess::readyRead, this, [&] {
        output += gateway.readAll();
        if (!endSeen && output.contains("EndProgram: TimerFuncs")) {
            endSeen = true;
            if (fromTheRecord)
                resumeTimer.start(resumeMs);
        }
    });
    ::kill(pid_t(gateway.processId()), SIGTERM);
    if (!fromTheRecord)
        resumeTimer.start(resumeMs);
    QTRY_VERIFY_WITH_TIMEOUT(gateway.state() == QProcess::NotRunning, 20000);
    output += gateway.readAll();
    QVERIFY2(endSeen, output.constData());
    QVERIFY2(gateway.exitStatus() == QProcess::NormalExit, output.constData());
    QVERIFY2(gateway.exitCode() == 0, output.constData());
    // A sanitizer's report, when the gateway is built with one.
    QVERIFY2(!output.contains("Sanitizer"), output.constData());
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(QStringLiteral(" EndProgram: TimerFuncs")),
        qPrintable(lines.join(QLatin1Char('\n'))));

    resumeServer();
    holder.write("COMMIT;\n");
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QCOMPARE(m_pg->scalar(QStringLiteral("SELECT count(*) FROM Jobs WHERE UsedFlag = 2")),
        QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TestE2eStall)
#include "tst_e2e_stall.moc"
