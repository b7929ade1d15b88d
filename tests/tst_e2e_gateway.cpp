#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>

// The real programs together: volmara-dbinit makes the embedded databases,
// volmara-mapsim stands in for the map server, and the real volmara gateway
// runs offscreen between them.
class TestE2eGateway : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void jobReachesTheMapAndSurvivesAMapRestart();

private:
    static QString bin(const QString &name);
    void startSimulator(const QString &receivedFile);
    QByteArray received(const QString &file) const { return m_home->read(file); }
    void addJob(int recId, int routeCode, const QString &start, const QString &driver);

    std::unique_ptr<TempHome> m_home;
    QProcess m_sim;
    QProcess m_gateway;
    quint16 m_port = 0;
};

QString TestE2eGateway::bin(const QString &name)
{
    return QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(name);
}

void TestE2eGateway::init()
{
    m_home = std::make_unique<TempHome>();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    m_port = probe.serverPort();
    probe.close();
    // One-second cycles keep the test short.
    m_home->write(QStringLiteral("Volmara.INI"),
        QStringLiteral("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=%1\r\nGMT=2\r\n[Database]\r\n"
                       "SQLServer=sqlite:db\r\n[Misc]\r\nDBInterval=1\r\n")
            .arg(m_port)
            .toLatin1());
    QCOMPARE(QProcess::execute(
                 bin(QStringLiteral("volmara-dbinit")), {m_home->file(QStringLiteral("db"))}),
        0);
}

void TestE2eGateway::cleanup()
{
    for (QProcess *p : {&m_gateway, &m_sim}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(10000))
                p->kill();
            p->waitForFinished(5000);
        }
    }
    m_home.reset();
}

void TestE2eGateway::startSimulator(const QString &receivedFile)
{
    m_sim.setProcessChannelMode(QProcess::MergedChannels);
    // Asks for line 34506201 every two seconds, as organisation "otherorg",
    // so that its answers can be told from the pushes.
    m_sim.start(bin(QStringLiteral("volmara-mapsim")),
        {QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--quiet"),
            QStringLiteral("--request-line"), QStringLiteral("34506201"),
            QStringLiteral("--request-every"), QStringLiteral("2"), QStringLiteral("--request-org"),
            QStringLiteral("otherorg"), QStringLiteral("--received-file"),
            m_home->file(receivedFile)});
    QVERIFY(m_sim.waitForStarted(10000));
    QVERIFY(m_sim.waitForReadyRead(10000)); // the listening address
}

void TestE2eGateway::addJob(int recId, int routeCode, const QString &start, const QString &driver)
{
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("e2e"));
        db.setDatabaseName(m_home->file(QStringLiteral("db/ORVIK_Jobs.sqlite")));
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
            "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) "
            "VALUES (?, 7, '12-345-67', ?, 55, ?, ?, ?, ?, 'ops', ?, 0)"));
        const QDateTime now = QDateTime::currentDateTime();
        // A job of the current operational day, which starts at 04:00.
        const QDate day = now.time() < QTime(4, 0) ? now.date().addDays(-1) : now.date();
        q.addBindValue(now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        q.addBindValue(recId);
        q.addBindValue(driver);
        q.addBindValue(day.toString(Qt::ISODate) + QLatin1Char(' ') + start);
        q.addBindValue(day.toString(Qt::ISODate) + QStringLiteral(" 23:30:00"));
        q.addBindValue(routeCode);
        q.addBindValue(day.toString(Qt::ISODate));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("e2e"));
}

void TestE2eGateway::jobReachesTheMapAndSurvivesAMapRestart()
{
    startSimulator(QStringLiteral("first.txt"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VOLMARA_HOME"), m_home->path());
    m_gateway.setProcessEnvironment(env);
    m_gateway.setProcessChannelMode(QProcess::ForwardedChannels);
    m_gateway.start(bin(QStringLiteral("volmara")), {QStringLiteral("Server")});
    QVERIFY(m_gateway.waitForStarted(10000));

    QTRY_VERIFY2_WITH_TIMEOUT(received(QStringLiteral("first.txt")).contains("$L,orvik,qzt\r\n"),
        m_home->read(QStringLiteral("Debug.TXT")).constData(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(received(QStringLiteral("first.txt")).contains("$Q,0\r\n"), 20000);

    addJob(41, 123456, QStringLiteral("06:05:00"), QStringLiteral("דנה"));
    const QByteArray push("$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c1234567-06:05-23:30-"
                          "1:-\xE3\xF0\xE4\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received(QStringLiteral("first.txt")).contains(push), 20000);
    // The simulator's request for the line is answered under its organisation.
    const QByteArray answer("$NotifyOrganization,otherorg,ExpLineSched\\c34506201\\c1234567-06:05-"
                            "23:30-1:-\xE3\xF0\xE4\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received(QStringLiteral("first.txt")).contains(answer), 20000);

    // The map server goes away and comes back: the gateway reconnects, logs
    // in again and pushes again.
    m_sim.terminate();
    QVERIFY(m_sim.waitForFinished(10000));
    QTest::qWait(1500);
    startSimulator(QStringLiteral("second.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(
        received(QStringLiteral("second.txt")).contains("$L,orvik,qzt\r\n"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(received(QStringLiteral("second.txt")).contains(push), 30000);

    QCOMPARE(m_gateway.state(), QProcess::Running);
    m_gateway.terminate();
    QVERIFY(m_gateway.waitForFinished(15000));
    QCOMPARE(m_gateway.exitCode(), 0);
    // The job was copied into the schedules table.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
    db.setDatabaseName(m_home->file(QStringLiteral("db/ORVIKDB.sqlite")));
    QVERIFY(db.open());
    QSqlQuery q(
        QStringLiteral("SELECT Makat, DriverName FROM Scheds WHERE IntrMedRecordID = 41"), db);
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("345-62"));
    QCOMPARE(q.value(1).toString(), QStringLiteral("דנה"));
}

QTEST_GUILESS_MAIN(TestE2eGateway)
#include "tst_e2e_gateway.moc"
