#include "TestSupport.h"

#include "app/Gateway.h"
#include "app/Supervisor.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "db/EmbeddedSchema.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

// The task timer bringing the gateway up, with real timers, a real loopback
// map server (or a closed port) and embedded databases.
class TestSupervisor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void idleWordDoesNothing();
    void mapRefusedWithDialogStopsAtOnce();
    void mapUnreachableWithoutDialogRetriesWithoutEnd();
    void firstCheckComesTwoSecondsAfterConnect();
    void databaseDownWithoutDialogStartsAgainFromTheMap();
    void databaseDownWithDialogStopsAfterFourAttempts();
    void everythingUpStartsTheCycle();

private:
    void startWith(quint16 port, const QString &server);
    int logCount(const QString &text) const
    {
        return int(m_home->lines(QStringLiteral("Debug.TXT")).filter(text).size());
    }
    static quint16 closedPort();

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<Gateway> m_gw;
    FakeUi m_ui;
};

quint16 TestSupervisor::closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void TestSupervisor::init()
{
    m_home = std::make_unique<TempHome>();
    m_gw = std::make_unique<Gateway>(m_home->path());
    m_ui = FakeUi();
    m_gw->setUi(&m_ui);
    EmbeddedSchema::create(QDir(m_home->path()).filePath(QStringLiteral("db")));
}

void TestSupervisor::cleanup()
{
    m_gw.reset();
    m_home.reset();
}

void TestSupervisor::startWith(quint16 port, const QString &server)
{
    m_gw->mapSettings().strMapIP = QStringLiteral("127.0.0.1");
    m_gw->mapSettings().iMapPort = quint16(port);
    m_gw->dataSource().strSQLServer = server;
    m_gw->dataSource().strCatalog = QStringLiteral("ORVIK_Jobs");
    m_gw->tasks().setStep(TaskStep::StartConnectAll);
    m_gw->tasks().enable();
}

void TestSupervisor::idleWordDoesNothing()
{
    m_gw->tasks().setStep(TaskStep::None);
    m_gw->supervisor().tmrTasks_Timer();
    QVERIFY(!m_gw->tasks().isActive());
    QVERIFY(m_ui.calls.isEmpty());
}

void TestSupervisor::mapRefusedWithDialogStopsAtOnce()
{
    m_gw->windows().setLoaded(WindowTable::Window::LogOn, true);
    startWith(closedPort(), QStringLiteral("sqlite:db"));
    // The refused connect raises the socket's error event, which stops the
    // supervisor and gives the dialog back to the operator.
    QTRY_VERIFY_WITH_TIMEOUT(m_ui.calls.contains(QStringLiteral("reOrderLogOn:Usual")), 10000);
    QCOMPARE(m_ui.calls.filter(QStringLiteral("reOrderLogOn:Connecting")).size(), 1);
    QVERIFY(m_gw->tasks().step() == TaskStep::None);
    QVERIFY(!m_gw->tasks().isActive());
    QVERIFY(!m_ui.messages.isEmpty());
    QVERIFY(m_ui.messages.first().text.startsWith(
        QStringLiteral("Error Connecting to Map. Error:\r\n")));
    QCOMPARE(m_ui.messages.first().title, QStringLiteral("Connecting to Map"));
    QCOMPARE(logCount(QStringLiteral("sckmap_Error: Can't connect to Map")), 1);
}

void TestSupervisor::mapUnreachableWithoutDialogRetriesWithoutEnd()
{
    startWith(closedPort(), QStringLiteral("sqlite:db"));
    // A series of three attempts, then a fresh one and another series.
    QTRY_VERIFY_WITH_TIMEOUT(
        logCount(QStringLiteral("sckmap_Error: Can't connect to Map")) >= 5, 15000);
    QVERIFY(m_gw->tasks().isActive() || m_gw->tasks().step() == TaskStep::ConnectAll);
    QVERIFY(!m_gw->cycle().tmrDB().isActive());
    QVERIFY(m_ui.messages.isEmpty());
}

void TestSupervisor::firstCheckComesTwoSecondsAfterConnect()
{
    QTcpServer map;
    QVERIFY(map.listen(QHostAddress::LocalHost, 0));
    startWith(map.serverPort(), QStringLiteral("sqlite:db"));
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(
        m_gw->supervisor().connStep() == Supervisor::ConnStep::MapConnect1, 2000);
    QCOMPARE(m_gw->tasks().interval(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_gw->supervisor().connStep() == Supervisor::ConnStep::SQLConnect, 5000);
    QVERIFY2(clock.elapsed() >= 1900, qPrintable(QString::number(clock.elapsed())));
}

void TestSupervisor::databaseDownWithoutDialogStartsAgainFromTheMap()
{
    QTcpServer map;
    QVERIFY(map.listen(QHostAddress::LocalHost, 0));
    int logins = 0;
    connect(&map, &QTcpServer::newConnection, this, [&] {
        while (map.hasPendingConnections()) {
            map.nextPendingConnection();
            ++logins;
        }
    });
    startWith(map.serverPort(), QStringLiteral("sqlite:nowhere"));
    // Four database attempts, then a fresh map connect and four more.
    QTRY_VERIFY_WITH_TIMEOUT(logins >= 2, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("SQLConnect: Error Number: ")) >= 5, 15000);
    QVERIFY(logCount(QStringLiteral("SQLConnect: Error Number: ")) >= 4 * (logins - 1));
    QVERIFY(!m_gw->cycle().tmrDB().isActive());
}

void TestSupervisor::databaseDownWithDialogStopsAfterFourAttempts()
{
    QTcpServer map;
    QVERIFY(map.listen(QHostAddress::LocalHost, 0));
    m_gw->windows().setLoaded(WindowTable::Window::LogOn, true);
    startWith(map.serverPort(), QStringLiteral("sqlite:nowhere"));
    QTRY_VERIFY_WITH_TIMEOUT(m_ui.calls.contains(QStringLiteral("reOrderLogOn:Usual")), 15000);
    QCOMPARE(logCount(QStringLiteral("SQLConnect: Error Number: ")), 4);
    // The operator sees each failure while the dialog is up.
    QCOMPARE(m_ui.messages.size(), 4);
    QTest::qWait(500);
    QVERIFY(!m_gw->tasks().isActive());
    QCOMPARE(logCount(QStringLiteral("SQLConnect: Error Number: ")), 4);
}

void TestSupervisor::everythingUpStartsTheCycle()
{
    QTcpServer map;
    QVERIFY(map.listen(QHostAddress::LocalHost, 0));
    m_gw->windows().setLoaded(WindowTable::Window::LogOn, true);
    startWith(map.serverPort(), QStringLiteral("sqlite:db"));
    QTRY_VERIFY_WITH_TIMEOUT(m_gw->cycle().tmrDB().isActive(), 10000);
    QCOMPARE(m_gw->cycle().tmrDB().interval(), 1000);
    QVERIFY(m_ui.calls.contains(QStringLiteral("reOrderLogOn:Connected")));
    QCOMPARE(m_ui.count(QStringLiteral("showTrafficWindow")), 1);
    QCOMPARE(m_gw->database().status().jobs.state, int(DbSession::Open));
    QCOMPARE(m_gw->database().status().orvikDb.state, int(DbSession::Open));
    QVERIFY(!m_gw->tasks().isActive()); // the supervisor rests
}

QTEST_GUILESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
