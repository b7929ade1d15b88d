#include "PgServer.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
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

void TestE2eStall::stalledDatabaseStopsNeitherTheMapNorTheStop()
{
    QFETCH(bool, serverStopped);
    QVERIFY(m_pg->psql(QStringLiteral("DELETE FROM Jobs; DELETE FROM Scheds;")));
    // A job of the operational day under way.
    const QString start = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
                 "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate) VALUES "
                 "('%1', 7, '12-345-67', 1, 55, 'Dana', '%1', '%1', 123456, 'ops', '%1');")
                            .arg(start)),
        qPrintable(m_pg->lastError()));

    Map map;
    QVERIFY(map.server.listen(QHostAddress::LocalHost, 0));
    connect(&map.server, &QTcpServer::newConnection, this, [&] {
        map.peer = map.server.nextPendingConnection();
        connect(map.peer, &QTcpSocket::readyRead, this, [&] { map.read(); });
    });
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"),
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(map.server.serverPort())
            + "\r\nGMT=2\r\n[Database]\r\nSQLServer=" + m_pg->connectionString().toUtf8()
            + "\r\n[Misc]\r\nDBInterval=1\r\n");
    const quint16 statusPort = [] {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : quint16(0);
    }();
    QProcess gateway;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
        env.remove(QString::fromLatin1(name));
    gateway.setProcessEnvironment(env);
    gateway.setProcessChannelMode(QProcess::MergedChannels);
    gateway.start(
        QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(QStringLiteral("volmarad")),
        {QStringLiteral("--home"), home.path(), QStringLiteral("--status-listen"),
            QStringLiteral("127.0.0.1:%1").arg(statusPort)});
    QVERIFY(gateway.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(map.pushes > 0, 20000);
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

QTEST_GUILESS_MAIN(TestE2eStall)
#include "tst_e2e_stall.moc"
