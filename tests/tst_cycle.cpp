#include "GatewayRig.h"
#include "MapPeer.h"
#include "SqliteLock.h"

#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "app/MainCommands.h"
#include "app/ServiceWatch.h"
#include "common/MenuMarks.h"
#include "common/WindowTable.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "model/mdlSendScheds.h"
#include "pair/LeaseKeeper.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "platform/ShutdownSignals.h"
#include "settings/Settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <unistd.h>

// The database cycle with real embedded files, a real loopback map peer, a
// settable clock and a scripted operator.
class TestCycle : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void lineListWaitSendsAtMostEvery30Seconds();
    void goodCycleQueriesAndPushesSilently();
    void brokenSessionIsRepaired();
    void failedRepairShowsPopupAtMostEvery30Seconds();
    void failedRepairIsShownAtTheLogOnDialog_data();
    void failedRepairIsShownAtTheLogOnDialog();
    void dayResetAt0400ThenTriggerQuery();
    void mapRepairAndRestoredInterval();
    void hourlyLineListRenewal();
    void absentSessionIsOpened();
    void longOutageOver0400StillDropsTheDay();
    void deletedJobLeavesTheMapAfterALineListAnswer();
    void dayDroppedOnlyAcross0400_data();
    void dayDroppedOnlyAcross0400();
    void badConnectionTimeOutSettingUsesTheDefault();
    void silentMapPeerIsGivenUp_data();
    void silentMapPeerIsGivenUp();
    void bigPushReachesAReadingPeer();
    void slowReaderGetsEveryLineInTurn();
    void requestDuringACycleIsAnsweredBeforeItsPush();
    void stopDuringACycleWaitsForItsEnd();
    void unansweredLineRequestsGiveUp();
    void newConnectionIsAskedForLinesAtOnce();
    void lockedJobsFileEndsTheCycleAndTheNextOneSelects();
    void stopSignalDuringALockIsHonouredSoon();
    void watchdogFedWhileACycleWaitsForTheDatabase();
    void jobsFileRestoredByRenameIsReopened();
    void requestWhileAStageRunsIsCarriedOutOnce_data();
    void requestWhileAStageRunsIsCarriedOutOnce();
    void standDownDuringACycleKeepsTheMapClosed_data();
    void standDownDuringACycleKeepsTheMapClosed();

    void intervalSeconds_data();
    void intervalSeconds();
    void intervalBox_data();
    void intervalBox();
    void emptiedBoxKeepsTheCycleGoing();

private:
    // A gateway ready for cycles on the embedded files, with these settings.
    void makeRig(const QByteArray &ini = QByteArray());
    void openSessions();
    // A job in the jobs file of the program folder's "db", or in another file.
    void addJob(int recId, int routeCode, const QString &start,
        const QString &driver = QStringLiteral("Dana"), const QString &file = QString());
    QStringList debugLines() const { return m_rig->debugLines(); }
    QString jobsFile() const;
    // UsedFlag of the job with the given RecID (-1: no such job).
    int usedFlag(int recId) const;

    std::unique_ptr<GatewayRig> m_rig;
    Gateway *m_gw = nullptr;
};

void TestCycle::init()
{
    makeRig();
}

void TestCycle::makeRig(const QByteArray &ini)
{
    m_rig = ini.isEmpty() ? std::make_unique<GatewayRig>() : std::make_unique<GatewayRig>(ini);
    m_gw = &m_rig->gw;
    // The line list is fresh unless a test says otherwise.
    m_rig->readyForCycles(QStringLiteral("sqlite:db"), QDateTime(QDate(2026, 12, 7), QTime(10, 0)));
    EmbeddedSchema::create(m_rig->home.file(QStringLiteral("db")));
}

void TestCycle::cleanup()
{
    m_gw = nullptr;
    m_rig.reset();
}

void TestCycle::openSessions()
{
    QVERIFY(m_rig->openSessions());
}

void TestCycle::addJob(
    int recId, int routeCode, const QString &start, const QString &driver, const QString &file)
{
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("jobs"));
        db.setDatabaseName(file.isEmpty() ? jobsFile() : file);
        QVERIFY(db.open());
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
            "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) "
            "VALUES ('2026-12-07 05:00:00', 7, '12-345-67', ?, 55, ?, ?, ?, ?, 'ops', "
            "'2026-12-06', 0)"));
        q.addBindValue(recId);
        q.addBindValue(driver);
        q.addBindValue(QStringLiteral("2026-12-07 ") + start + QStringLiteral(":00"));
        q.addBindValue(QStringLiteral("2026-12-07 23:00:00"));
        q.addBindValue(routeCode);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("jobs"));
}

QString TestCycle::jobsFile() const
{
    return EmbeddedSchema::jobsFile(m_rig->home.file(QStringLiteral("db")));
}

int TestCycle::usedFlag(int recId) const
{
    int flag = -1;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("flags"));
        db.setDatabaseName(jobsFile());
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT UsedFlag FROM Jobs WHERE RecID = ?"));
            q.addBindValue(recId);
            if (q.exec() && q.next())
                flag = q.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("flags"));
    return flag;
}

void TestCycle::lineListWaitSendsAtMostEvery30Seconds()
{
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->link().bRequestLines = true;
    m_gw->cycle().start();
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));
    // While the answer is awaited: no second request and no database work
    // (there are no sessions at all, and nothing is logged).
    m_gw->clock().advanceSeconds(29);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray());
    m_gw->clock().advanceSeconds(1);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));
    QVERIFY(m_gw->cycle().tmrDB().isActive());
    QVERIFY(debugLines().isEmpty());
}

void TestCycle::goodCycleQueriesAndPushesSilently()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"), QStringLiteral("דנה"));
    m_gw->marks().setChecked(MenuMarks::mnuRefresh, true);
    QVERIFY(m_rig->runCycle());
    // The liveness probe of the status refresh comes first.
    QCOMPARE(peer.takeReceived(),
        QByteArray("\r\n$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c1234567-06:05-23:00-1:-"
                   "\xE3\xF0\xE4\r\n"));
    QVERIFY(m_gw->cycle().tmrDB().isActive());
    QCOMPARE(m_gw->cycle().tmrDB().interval(), 15000);
    QVERIFY(!m_gw->marks().checked(MenuMarks::mnuRefresh));
    QCOMPARE(m_gw->cycle().dtLastQueryAll(), m_gw->clock().now());
    QVERIFY(m_gw->statusRows().strStatus.startsWith(
        QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Connected")));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

// A request that arrives while a cycle works on the databases is answered
// within the cycle, between its stages, not after its push.
void TestCycle::requestDuringACycleIsAnsweredBeforeItsPush()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"), QStringLiteral("דנה"));
    QVERIFY(m_rig->runCycle()); // the first cycle builds the day
    peer.takeReceived();
    // Waiting in the gateway's socket when the next cycle starts.
    peer.peer->write("$MapNotification,req,1,ExpLineSchedReq\\c34506201\r\n");
    QVERIFY(peer.peer->waitForBytesWritten(5000));
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    const QByteArray got = peer.takeReceived();
    const qsizetype answer = got.indexOf("$NotifyOrganization,req,ExpLineSched");
    const qsizetype push = got.indexOf("$NotifyOrganization,dedod,ExpLineSched");
    // Read while the stage runs, it is answered before the merge and the
    // line is pushed after it; read just after the stage's reply, it is
    // answered from the merged day and the line, sent already, waits for
    // its next change. Either way nothing of the push comes before it.
    QVERIFY2(answer >= 0 && (push < 0 || push > answer), got.constData());
}

// A stop that comes while a cycle lets the event loop run between its
// stages is carried out when the cycle has ended: its push goes out and
// nothing of it comes after the record of the end.
void TestCycle::stopDuringACycleWaitsForItsEnd()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    QVERIFY(m_rig->runCycle());
    peer.takeReceived();
    bool ended = false;
    bool pushedBeforeTheEnd = false;
    m_gw->lifecycle().setProcessEnder([&] {
        ended = true;
        const auto line = m_gw->day().colLines->value(QStringLiteral("123456"));
        pushedBeforeTheEnd = line && !line->bNew;
    });
    // The stop arrives with a map request, answered between the stages.
    QObject::connect(&m_gw->sckMap(), &MapSocket::dataArrival, m_gw, [this] {
        m_gw->lifecycle().requestEnd();
        m_gw->tasks().setInterval(0);
    });
    peer.peer->write("$MapNotification,req,1,ExpLineSchedReq\\c34506201\r\n");
    QVERIFY(peer.peer->waitForBytesWritten(5000));
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    QTRY_VERIFY(ended);
    QVERIFY(pushedBeforeTheEnd);
    const QStringList lines = debugLines();
    QVERIFY(!lines.isEmpty() && lines.last().contains(QStringLiteral("EndProgram: TimerFuncs")));
}

void TestCycle::brokenSessionIsRepaired()
{
    openSessions();
    m_rig->onDatabase([](DatabaseWorker &w) { w.sessions().cnJobs->close(); });
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    QVERIFY(m_rig->runCycle());
    QCOMPARE(m_gw->database().status().jobs.state, int(DbSession::Open));
    QCOMPARE(m_gw->cycle().lastDBGood(), m_gw->clock().now());
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
    QCOMPARE(
        m_rig->ui.count(QStringLiteral("showStatusPopup:SQLServer Status - 1\r\nMap State - 7")),
        0);
}

// A reopen that fails is told in a box while the logon dialog is up, as
// every failed open is, whoever asked for it.
void TestCycle::failedRepairIsShownAtTheLogOnDialog_data()
{
    QTest::addColumn<bool>("logOnLoaded");
    QTest::newRow("logon dialog up") << true;
    QTest::newRow("no logon dialog") << false;
}

void TestCycle::failedRepairIsShownAtTheLogOnDialog()
{
    QFETCH(bool, logOnLoaded);
    openSessions();
    m_gw->windows().setLoaded(WindowTable::Window::LogOn, logOnLoaded);
    m_rig->onDatabase([](DatabaseWorker &w) { w.sessions().cnJobs->close(); });
    m_gw->dataSource().strSQLServer = QStringLiteral("sqlite:nowhere");
    QVERIFY(m_rig->runCycle());
    QCOMPARE(m_rig->ui.messages.size(), logOnLoaded ? 1 : 0);
    if (logOnLoaded)
        QVERIFY2(m_rig->ui.messages.first().text.contains(QStringLiteral("does not exist")),
            qPrintable(m_rig->ui.messages.first().text));
}

void TestCycle::failedRepairShowsPopupAtMostEvery30Seconds()
{
    openSessions();
    m_rig->onDatabase([](DatabaseWorker &w) { w.sessions().cnJobs->close(); });
    // The server named in the settings is gone: the reopen fails.
    m_gw->dataSource().strSQLServer = QStringLiteral("sqlite:nowhere");
    auto popups
        = [this] { return int(m_rig->ui.calls.filter(QStringLiteral("showStatusPopup:")).size()); };

    QVERIFY(m_rig->runCycle());
    QCOMPARE(popups(), 1);
    QVERIFY(m_gw->cycle().tmrDB().isActive()); // the failure exit switches it on
    QVERIFY(!m_gw->database().status().jobs.present); // left absent by the failed reopen
    QVERIFY2(!debugLines()
                  .filter(QStringLiteral("tmrDB_Timer: SQL Server State - 0 Step: 1902"))
                  .isEmpty(),
        qPrintable(debugLines().join(QLatin1Char('\n'))));

    m_gw->clock().advanceSeconds(10);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(popups(), 1);
    m_gw->clock().advanceSeconds(20);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(popups(), 2);

    // Never while the main window is minimized.
    m_rig->ui.minimized = true;
    m_gw->clock().advanceSeconds(60);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(popups(), 2);

    // The server is back: one record says so and for how long it was away,
    // after the count of the failures it held back.
    m_gw->dataSource().strSQLServer = QStringLiteral("sqlite:db");
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    const QStringList lines = debugLines();
    const QStringList back = lines.filter(QStringLiteral("SQLConnect: JOBS session works again"));
    QCOMPARE(back.size(), 1);
    QVERIFY2(back.first().contains(QStringLiteral("after 105 s (down since 10:00:00)")),
        qPrintable(back.first()));
    QVERIFY(QDateTime::fromString(back.first().left(19), QStringLiteral("dd/MM/yyyy HH:mm:ss"))
        == m_gw->clock().now());
}

void TestCycle::dayResetAt0400ThenTriggerQuery()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->cycle().setLastQueryAll(QDateTime(QDate(2026, 12, 7), QTime(3, 50)));
    m_gw->link().dtLinesTime = m_gw->cycle().dtLastQueryAll();
    m_gw->day().colLines = std::make_unique<colLinesType>();
    m_gw->day().colLines->add(QStringLiteral("999999"), std::make_shared<clsLine>());
    m_gw->clock().setNow(QDateTime(QDate(2026, 12, 7), QTime(4, 0, 5)));
    QVERIFY(m_rig->runCycle());
    QVERIFY(!m_gw->day().colLines || !m_gw->day().colLines->contains(QStringLiteral("999999")));
    QCOMPARE(m_gw->cycle().dtLastQueryAll(), m_gw->clock().now());

    m_gw->clock().setNow(QDateTime(QDate(2026, 12, 7), QTime(4, 0, 20)));
    m_gw->day().colLines = std::make_unique<colLinesType>();
    m_gw->day().colLines->add(QStringLiteral("888888"), std::make_shared<clsLine>());
    QVERIFY(m_rig->runCycle());
    // The trigger query: the lines stay and the full-query time is kept.
    QVERIFY(m_gw->day().colLines && m_gw->day().colLines->contains(QStringLiteral("888888")));
    QCOMPARE(m_gw->cycle().dtLastQueryAll(), QDateTime(QDate(2026, 12, 7), QTime(4, 0, 5)));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TestCycle::mapRepairAndRestoredInterval()
{
    openSessions();
    // A map server that is down: nothing listens on the port.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    m_gw->sckMap().setRemoteHost(QStringLiteral("127.0.0.1"));
    m_gw->sckMap().setRemotePort(port);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(m_gw->cycle().tmrDB().interval(), 1000);
    QVERIFY(m_gw->cycle().tmrDB().isActive());
    QVERIFY2(
        !debugLines().filter(QStringLiteral("tmrDB_Timer: Map State - 0 Step: 3552")).isEmpty(),
        qPrintable(debugLines().join(QLatin1Char('\n'))));

    // The map is back: the next cycle pushes and restores the interval.
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 10512, QStringLiteral("07:00"));
    QVERIFY(m_rig->runCycle());
    QCOMPARE(m_gw->cycle().tmrDB().interval(), 15000);
    const QByteArray received = peer.takeReceived();
    QVERIFY2(received.startsWith("\r\n$NotifyOrganization,dedod,ExpLineSched\\c05102100\\c"),
        qPrintable(received + debugLines().join(QLatin1Char('\n'))));
}

void TestCycle::hourlyLineListRenewal()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->link().dtLinesTime = m_gw->clock().now().addSecs(-61 * 60);
    QVERIFY(m_rig->runCycle());
    // The cycle does its database work and then asks for the line list.
    QVERIFY(m_gw->link().bRequestLines);
    QCOMPARE(peer.takeReceived(), QByteArray("\r\n$Q,0\r\n"));
    QCOMPARE(m_gw->link().dtLastQSent, m_gw->clock().now());
}

void TestCycle::absentSessionIsOpened()
{
    // Absent (never opened, or left absent by a failed reopen): the cycle
    // opens it once its server is back, instead of failing on it for good.
    m_gw->dataSource().strSQLServer = QStringLiteral("sqlite:nowhere");
    QVERIFY(m_rig->runCycle());
    QVERIFY(!m_gw->database().status().jobs.present);
    QVERIFY(m_gw->cycle().tmrDB().isActive());
    m_gw->dataSource().strSQLServer = QStringLiteral("sqlite:db");
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    QVERIFY(m_gw->database().status().jobs.present);
    QCOMPARE(m_gw->database().status().jobs.state, int(DbSession::Open));
    QVERIFY(m_gw->database().status().orvikDb.present);
    QCOMPARE(m_gw->database().status().orvikDb.state, int(DbSession::Open));
}

void TestCycle::longOutageOver0400StillDropsTheDay()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    // The last full query ran late in the evening; the next cycle comes after
    // 04:00 of the next day.
    m_gw->cycle().setLastQueryAll(QDateTime(QDate(2026, 12, 6), QTime(23, 0)));
    m_gw->day().colLines = std::make_unique<colLinesType>();
    m_gw->day().colLines->add(QStringLiteral("999999"), std::make_shared<clsLine>());
    m_gw->clock().setNow(QDateTime(QDate(2026, 12, 7), QTime(5, 0)));
    m_gw->link().dtLinesTime = m_gw->clock().now();
    QVERIFY(m_rig->runCycle());
    QVERIFY(!m_gw->day().colLines || !m_gw->day().colLines->contains(QStringLiteral("999999")));
    QCOMPARE(m_gw->cycle().dtLastQueryAll(), m_gw->clock().now());
}

// The rebuild after a "$Q" answer is how a job deleted from Jobs leaves the
// map before the next morning: the full query alone never returns it again.
void TestCycle::deletedJobLeavesTheMapAfterALineListAnswer()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    addJob(2, 234561, QStringLiteral("07:00"));
    QVERIFY(m_rig->runCycle());
    QVERIFY(m_gw->day().colLines && m_gw->day().colLines->contains(QStringLiteral("123456")));
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("delete"));
        db.setDatabaseName(jobsFile());
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec(QStringLiteral("DELETE FROM Jobs WHERE RecID = 1")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("delete"));

    m_gw->clock().setNow(m_gw->clock().now().addSecs(15));
    QVERIFY(m_rig->runCycle());
    // An ordinary cycle keeps what it built.
    QVERIFY(m_gw->day().colLines->contains(QStringLiteral("123456")));

    m_gw->clock().setNow(m_gw->clock().now().addSecs(15));
    m_gw->cycle().lineListReceived();
    peer.takeReceived();
    QVERIFY(m_rig->runCycle());
    QVERIFY(m_gw->day().colLines);
    QVERIFY(!m_gw->day().colLines->contains(QStringLiteral("123456")));
    QVERIFY(m_gw->day().colLines->contains(QStringLiteral("234561")));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TestCycle::dayDroppedOnlyAcross0400_data()
{
    QTest::addColumn<QTime>("lastFull"); // the last full query, 2026-12-07
    QTest::addColumn<QString>("request"); // what asks for a full query first
    QTest::addColumn<QDateTime>("cycleAt");
    QTest::addColumn<bool>("dropped");
    const QDate day(2026, 12, 7);
    QTest::newRow("refresh at 01:30")
        << QTime(1, 10) << "refresh" << QDateTime(day, QTime(1, 30)) << false;
    QTest::newRow("line list answer at 02:00")
        << QTime(1, 45) << "$Q" << QDateTime(day, QTime(2, 0)) << false;
    QTest::newRow("full query due after 30 minutes at 03:40")
        << QTime(3, 5) << "" << QDateTime(day, QTime(3, 40)) << false;
    QTest::newRow("04:00:05 after 03:59")
        << QTime(3, 59) << "" << QDateTime(day, QTime(4, 0, 5)) << true;
    QTest::newRow("outage from 03:00 to 05:00")
        << QTime(3, 0) << "" << QDateTime(day, QTime(5, 0)) << true;
    QTest::newRow("refresh at 04:10 after 03:50")
        << QTime(3, 50) << "refresh" << QDateTime(day, QTime(4, 10)) << true;
    QTest::newRow("line list answer at 04:02 after 03:58")
        << QTime(3, 58) << "$Q" << QDateTime(day, QTime(4, 2)) << true;
    // A request sets the last full query to zero (00:00): the next cycle at
    // or after 04:00 rebuilds the day.
    QTest::newRow("refresh at 10:00 after 05:00")
        << QTime(5, 0) << "refresh" << QDateTime(day, QTime(10, 0)) << true;
    QTest::newRow("line list answer at 10:00 after 09:50")
        << QTime(9, 50) << "$Q" << QDateTime(day, QTime(10, 0)) << true;
    QTest::newRow("full query due after 30 minutes at 10:40")
        << QTime(10, 5) << "" << QDateTime(day, QTime(10, 40)) << false;
}

void TestCycle::dayDroppedOnlyAcross0400()
{
    QFETCH(QTime, lastFull);
    QFETCH(QString, request);
    QFETCH(QDateTime, cycleAt);
    QFETCH(bool, dropped);
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->cycle().setLastQueryAll(QDateTime(QDate(2026, 12, 7), lastFull));
    m_gw->day().colLines = std::make_unique<colLinesType>();
    m_gw->day().colLines->add(QStringLiteral("999999"), std::make_shared<clsLine>());
    m_gw->clock().setNow(cycleAt);
    m_gw->link().dtLinesTime = cycleAt;
    if (request == QLatin1String("refresh"))
        m_gw->cycle().requestFullQuery();
    else if (request == QLatin1String("$Q"))
        m_gw->cycle().lineListReceived();
    QVERIFY(m_rig->runCycle());
    const bool kept
        = m_gw->day().colLines && m_gw->day().colLines->contains(QStringLiteral("999999"));
    QCOMPARE(!kept, dropped);
    // A full query ran either way.
    QCOMPARE(m_gw->cycle().dtLastQueryAll(), cycleAt);
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TestCycle::badConnectionTimeOutSettingUsesTheDefault()
{
    m_gw->settings().WriteINI(
        QStringLiteral("Database"), QStringLiteral("Connection TimeOut"), QStringLiteral("abc"));
    QVERIFY(m_rig->openSessions());
    QVERIFY(!debugLines()
                 .filter(QStringLiteral("SQLConnect: Connection TimeOut = abcError Number: 13"))
                 .isEmpty());
}

// A peer that accepts no byte for the stall period while data waits is given
// up; one that reads slowly but steadily keeps its connection, however much
// waits. Qt's own read buffer of the peer is kept small, so that what it
// does not read stays in the kernel's buffers.
void TestCycle::silentMapPeerIsGivenUp_data()
{
    QTest::addColumn<int>("readEveryMs"); // 0: reads nothing
    QTest::newRow("reads nothing") << 0;
    QTest::newRow("reads slowly") << 100;
}

void TestCycle::silentMapPeerIsGivenUp()
{
    QFETCH(int, readEveryMs);
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    peer.peer->setReadBufferSize(64 * 1024);
    MapSocket &sck = m_gw->sckMap();
    sck.setStallMs(1500);
    QByteArray got;
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] { got += peer.peer->read(256 * 1024); });
    if (readEveryMs > 0)
        reader.start(readEveryMs);

    // Twice the old 8 MiB bound, written as fast as the connection takes it.
    const QString chunk(256 * 1024, QLatin1Char('x'));
    int written = 0;
    QElapsedTimer t;
    t.start();
    while (written < 64 && sck.state() == MapSocket::State::Connected && t.elapsed() < 60000) {
        if (sck.mayWrite()) {
            sck.send(chunk);
            ++written;
        } else {
            QVERIFY(sck.bytesToWrite() < MapSocket::kHighWaterBytes + chunk.size());
            QTest::qWait(20);
        }
    }
    if (readEveryMs == 0) {
        QTRY_COMPARE_WITH_TIMEOUT(sck.state(), MapSocket::State::Error, 10000);
        QTRY_VERIFY(!debugLines().filter(QStringLiteral("accepted nothing for 1.5 s")).isEmpty()
            || !debugLines().filter(QStringLiteral("sckmap_Error")).isEmpty());
        QVERIFY(written < 64);
        return;
    }
    QCOMPARE(written, 64);
    QTRY_COMPARE_WITH_TIMEOUT(
        got.size() + peer.peer->bytesAvailable(), qint64(64) * chunk.size(), 60000);
    QCOMPARE(sck.state(), MapSocket::State::Connected);
}

// A day whose push is far beyond what the connection may hold at once
// reaches a reading peer in full: every line once, in key order, the rest of
// a paused push following as the peer reads.
void TestCycle::bigPushReachesAReadingPeer()
{
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    auto &lines = m_gw->day().colLines;
    lines = std::make_unique<colLinesType>();
    const int kLines = 300, kTrips = 260; // 78,000 trips
    for (int l = 0; l < kLines; ++l) {
        auto line = std::make_shared<clsLine>();
        line->Idx = QStringLiteral("%1").arg(100000 + l);
        line->Makat = QStringLiteral("R%1").arg(l, 7, 10, QLatin1Char('0'));
        line->bNew = true;
        for (int t = 0; t < kTrips; ++t) {
            auto trip = std::make_shared<clsSched>();
            trip->ORVIKID = QStringLiteral("%1").arg(5000000 + t);
            trip->StartDT = QDateTime(QDate(2026, 12, 7), QTime(5, 0).addSecs(60 * t));
            trip->EndDT = trip->StartDT.addSecs(3600);
            trip->Stops = 3;
            trip->StTimes = QStringLiteral("1;0;1;2;9;1;3;18;1;4;27;1;5;36;1;6;45;1;7;54;1;8;63;1;"
                                           "9;72;1;10;81;1;11;90;1;12;99;1");
            trip->DriverName = QStringLiteral("נהג %1").arg(t);
            line->Scheds.add(QString::number(t), trip);
        }
        lines->add(line->Idx, line);
    }
    QString type = QStringLiteral("Send New");
    QString buf;
    m_gw->sendScheds().ProcessExpLineSchedReq(type, buf);
    // The push paused at the bound: what waits is bounded, not the day.
    QVERIFY(m_gw->sckMap().bytesToWrite() < 2 * MapSocket::kHighWaterBytes);

    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            got += peer.peer->readAll();
            return got.count("$NotifyOrganization") == kLines;
        }(),
        60000);
    QVERIFY2(got.size() > 8 * 1024 * 1024, qPrintable(QString::number(got.size())));
    QStringList order;
    for (const QByteArray &line : got.split('\n')) {
        if (line.startsWith("$NotifyOrganization"))
            order << QString::fromLatin1(line.split('\\').value(1).mid(1));
    }
    QStringList expected;
    for (int l = 0; l < kLines; ++l)
        expected << QStringLiteral("R%1").arg(l, 7, 10, QLatin1Char('0'));
    QCOMPARE(order, expected);
    for (const auto &line : *lines)
        QVERIFY(!line->bNew);
    QCOMPARE(m_gw->sckMap().state(), MapSocket::State::Connected);
}

// A map server that reads slower than one day's push per cycle: every
// cycle flags every line again, yet every line reaches it, in turn, within
// a round's bytes over its reading speed plus a cycle.
void TestCycle::slowReaderGetsEveryLineInTurn()
{
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    auto &lines = m_gw->day().colLines;
    lines = std::make_unique<colLinesType>();
    const int kLines = 120, kTrips = 600;
    for (int l = 0; l < kLines; ++l) {
        auto line = std::make_shared<clsLine>();
        line->Idx = QStringLiteral("%1").arg(100000 + l);
        line->Makat = QStringLiteral("R%1").arg(l, 7, 10, QLatin1Char('0'));
        for (int t = 0; t < kTrips; ++t) {
            auto trip = std::make_shared<clsSched>();
            trip->ORVIKID = QStringLiteral("%1").arg(5000000 + t);
            trip->StartDT = QDateTime(QDate(2026, 12, 7), QTime(5, 0).addSecs(60 * t));
            trip->EndDT = trip->StartDT.addSecs(3600);
            trip->StTimes = QStringLiteral("1;0;1;2;9;1;3;18;1;4;27;1;5;36;1;6;45;1;7;54;1");
            line->Scheds.add(QString::number(t), trip);
        }
        lines->add(line->Idx, line);
    }
    // The reader takes 96 KB every 50 ms: about 2 MB a second, against some
    // 4 MB a round and a cycle every 300 ms.
    peer.peer->setReadBufferSize(64 * 1024);
    QSet<QByteArray> seen;
    QByteArray pending;
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] {
        pending += peer.peer->read(96 * 1024);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray message = pending.left(end);
            pending.remove(0, end + 1);
            if (message.startsWith("$NotifyOrganization"))
                seen.insert(message.split('\\').value(1));
        }
    });
    reader.start(50);
    QElapsedTimer took;
    took.start();
    while (seen.size() < kLines && took.elapsed() < 30000) {
        for (const auto &line : *lines)
            line->bNew = true;
        QString type = QStringLiteral("Send New");
        QString buf;
        m_gw->sendScheds().ProcessExpLineSchedReq(type, buf);
        QTest::qWait(300);
    }
    QCOMPARE(seen.size(), kLines);
    qInfo("every line arrived within %lld ms", took.elapsed());
    QCOMPARE(m_gw->sckMap().state(), MapSocket::State::Connected);
}

// The line list asked on a connection that then died is asked anew on the
// next one at the next tick, not 30 s later.
void TestCycle::newConnectionIsAskedForLinesAtOnce()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->link().bRequestLines = true;
    m_gw->cycle().start();
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));

    peer.peer->abort();
    QTRY_VERIFY(m_gw->sckMap().state() != MapSocket::State::Connected);
    m_gw->clock().advanceSeconds(2);
    m_gw->mapLink().MapConnect();
    QVERIFY(peer.server.waitForNewConnection(5000));
    peer.peer = peer.server.nextPendingConnection();
    QTRY_VERIFY(m_gw->sckMap().state() == MapSocket::State::Connected);
    QTRY_VERIFY(peer.peer->canReadLine());
    QVERIFY(peer.peer->readLine().startsWith("$L,"));

    m_gw->clock().advanceSeconds(1);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));
}

// A map server that keeps the connection but answers nothing: the second
// due "$Q,0" without an answer gives the connection up, and the cycle
// connects again.
void TestCycle::unansweredLineRequestsGiveUp()
{
    RecordingSink sink;
    m_gw->log().addSink(&sink);
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->link().bRequestLines = true;
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));
    m_gw->clock().advanceSeconds(30);
    QVERIFY(m_rig->runCycle());
    QCOMPARE(peer.takeReceived(), QByteArray("$Q,0\r\n"));
    QVERIFY(debugLines().isEmpty());
    m_gw->clock().advanceSeconds(30);
    QVERIFY(m_rig->runCycle());
    // Giving the connection up is a failure, not news.
    QVERIFY(sink.severityOf(QStringLiteral("answered none of the last 2 line list requests"))
        == LogRecord::Severity::Error);
    // Connected again by the same cycle's map repair: not back until the
    // server answers on the new connection, and then with the whole outage.
    QTRY_VERIFY(peer.server.hasPendingConnections());
    peer.peer = peer.server.nextPendingConnection();
    QTRY_VERIFY(m_gw->sckMap().state() == MapSocket::State::Connected);
    QTRY_VERIFY(peer.peer->canReadLine());
    QVERIFY(peer.peer->readLine().startsWith("$L,"));
    QCOMPARE(peer.takeReceived(), QByteArray());
    QVERIFY2(debugLines().filter(QStringLiteral("works again")).isEmpty(),
        qPrintable(debugLines().join(QLatin1Char('\n'))));
    m_gw->clock().advanceSeconds(4);
    peer.peer->write("$A,L,S\r\n");
    QTRY_COMPARE(debugLines()
                     .filter(QStringLiteral("sckmap_DataArrival: Map connection works again "
                                            "after 4 s (down since 10:01:00)"))
                     .size(),
        1);
}

void TestCycle::lockedJobsFileEndsTheCycleAndTheNextOneSelects()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    {
        // Another program holds the jobs file's write lock over the cycle.
        SqliteLock lock(jobsFile());
        QVERIFY2(lock.held(), qPrintable(lock.error()));
        QElapsedTimer took;
        took.start();
        QVERIFY(m_rig->runCycle());
        const qint64 ms = took.elapsed();
        qInfo("a cycle on a locked jobs file took %lld ms", ms);
        QVERIFY2(ms < 10000, qPrintable(QString::number(ms)));
        QVERIFY(m_gw->cycle().tmrDB().isActive());
        // The liveness line only: nothing was selected, nothing pushed.
        QCOMPARE(peer.takeReceived(), QByteArray("\r\n"));
        const QStringList lines = debugLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(QStringLiteral("database is locked"))
                && lines.first().contains(QStringLiteral("ORVIK_Jobs.sqlite")),
            qPrintable(lines.first()));
    }
    // Released: the job was never marked.
    QCOMPARE(usedFlag(1), 0);

    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    const QByteArray received = peer.takeReceived();
    QVERIFY2(received.startsWith("\r\n$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c"),
        qPrintable(received));
    QCOMPARE(usedFlag(1), 1);
    QCOMPARE(debugLines().size(), 1);
}

void TestCycle::stopSignalDuringALockIsHonouredSoon()
{
    ShutdownSignals stopSignals;
    connect(&stopSignals, &ShutdownSignals::shutdownRequested, m_gw,
        [this] { m_gw->lifecycle().requestEnd(); });
    using Steady = std::chrono::steady_clock;
    std::atomic<Steady::rep> signalledAt{0};
    qint64 endedAfterMs = -1;
    m_gw->lifecycle().setProcessEnder([&] {
        endedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            Steady::now().time_since_epoch() - Steady::duration(signalledAt.load()))
                           .count();
    });
    openSessions();
    addJob(1, 123456, QStringLiteral("06:05"));
    SqliteLock lock(jobsFile());
    QVERIFY2(lock.held(), qPrintable(lock.error()));
    // The service manager's stop comes while the cycle waits for the lock.
    std::thread stopper([&signalledAt] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        signalledAt = Steady::now().time_since_epoch().count();
        ::kill(::getpid(), SIGTERM);
    });
    QVERIFY(m_rig->runCycle());
    stopper.join();
    QTRY_VERIFY_WITH_TIMEOUT(endedAfterMs >= 0, 10000);
    qInfo("the stop was honoured %lld ms after the signal", endedAfterMs);
    QVERIFY2(endedAfterMs < 2000, qPrintable(QString::number(endedAfterMs)));
    const QStringList lines = debugLines();
    QVERIFY2(lines.last().contains(QStringLiteral(" EndProgram: TimerFuncs")),
        qPrintable(lines.join(QLatin1Char('\n'))));
    lock.release();
    QCOMPARE(usedFlag(1), 0);
}

// The service watchdog's health does not depend on where its tick falls: a
// cycle that waits for the database (here another program's lock) with its
// timer off is alive, and so is the gateway after it.
void TestCycle::watchdogFedWhileACycleWaitsForTheDatabase()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    QVERIFY(m_rig->runCycle()); // the day in hand
    ServiceWatch watch(*m_gw);
    m_gw->cycle().start();
    QVERIFY(watch.healthy());
    SqliteLock lock(jobsFile());
    QVERIFY2(lock.held(), qPrintable(lock.error()));
    m_gw->cycle().tmrDB_Timer();
    QVERIFY(m_gw->cycle().running());
    QTRY_VERIFY(m_gw->database().activity().busy);
    QVERIFY(!m_gw->cycle().tmrDB().isActive());
    QVERIFY(watch.healthy());
    // The map is answered meanwhile.
    QVERIFY(peer.exchange("$MapNotification,req,1,ExpLineSchedReq\\c34506201\r\n")
                .contains("$NotifyOrganization,req,ExpLineSched"));
    lock.release();
    QTRY_VERIFY(!m_gw->cycle().running());
    QVERIFY(watch.healthy());
}

void TestCycle::jobsFileRestoredByRenameIsReopened()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    QVERIFY(m_rig->runCycle());
    QVERIFY(peer.takeReceived().contains("\\c34506201\\c"));

    // A restore: another jobs file, holding a new job, renamed into the place
    // of the open one.
    const QString restore = m_rig->home.file(QStringLiteral("restore"));
    EmbeddedSchema::create(restore);
    addJob(2, 10512, QStringLiteral("07:00"), QStringLiteral("Dana"),
        EmbeddedSchema::jobsFile(restore));
    QCOMPARE(::rename(QFile::encodeName(EmbeddedSchema::jobsFile(restore)).constData(),
                 QFile::encodeName(jobsFile()).constData()),
        0);

    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    const QByteArray received = peer.takeReceived();
    QVERIFY2(received.contains("\\c05102100\\c"), qPrintable(received));
    QCOMPARE(usedFlag(2), 1); // marked in the restored file
    const QStringList lines = debugLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral("ORVIK_Jobs.sqlite was replaced")),
        qPrintable(lines.first()));
    QCOMPARE(m_gw->database().status().jobs.connectionStatus, 1);
}

// An operator's request made while a cycle's stage waits on the database is
// not lost and not reverted: the stage carries out what it was handed, the
// request made meanwhile is carried out by the next selection, once.
void TestCycle::requestWhileAStageRunsIsCarriedOutOnce_data()
{
    QTest::addColumn<QString>("before"); // a command chosen before the held stage
    QTest::addColumn<QString>("during"); // the command chosen while it is held
    QTest::addColumn<bool>("markAfterHeld");
    QTest::addColumn<bool>("markAfterNext");
    QTest::newRow("save the next query") << ""
                                         << "mnuSaveQuery" << true << false;
    QTest::newRow("debug current") << ""
                                   << "mnuDebugCurrent" << true << false;
    QTest::newRow("database trace") << ""
                                    << "mnuDB" << true << false;
    QTest::newRow("debug all switched on") << ""
                                           << "mnuDebugAll" << true << true;
    QTest::newRow("debug all on while the current rows are written")
        << "mnuDebugCurrent"
        << "mnuDebugAll" << true << true;
    QTest::newRow("debug all ended by the current rows") << "mnuDebugAll mnuDebugCurrent"
                                                         << "" << false << false;
    QTest::newRow("refresh during a full query") << ""
                                                 << "mnuRefresh" << true << false;
}

void TestCycle::requestWhileAStageRunsIsCarriedOutOnce()
{
    QFETCH(QString, before);
    QFETCH(QString, during);
    QFETCH(bool, markAfterHeld);
    QFETCH(bool, markAfterNext);
    const auto click = [this](const QString &name) {
        MainCommands &c = m_gw->commands();
        if (name == QLatin1String("mnuSaveQuery"))
            c.mnuSaveQuery_Click();
        else if (name == QLatin1String("mnuDebugCurrent"))
            c.mnuDebugCurrent_Click();
        else if (name == QLatin1String("mnuDB"))
            c.mnuDB_Click();
        else if (name == QLatin1String("mnuDebugAll"))
            c.mnuDebugAll_Click();
        else if (name == QLatin1String("mnuRefresh"))
            c.mnuRefresh_Click();
        else
            QFAIL(qPrintable(name));
    };
    const QString watched = during.isEmpty() ? before.split(QLatin1Char(' ')).first() : during;
    const auto mark = [&] {
        for (int m = 0; m < MenuMarks::Count; ++m)
            if (MenuMarks::name(MenuMarks::Mark(m)) == watched)
                return MenuMarks::Mark(m);
        return MenuMarks::Count;
    }();
    QVERIFY(mark != MenuMarks::Count);
    const auto stored = [this] {
        return m_gw->settings().ReadINI(
            QStringLiteral("Misc"), QStringLiteral("SentLines2File"), QString());
    };
    const auto dumps = [this] {
        return QDir(m_rig->home.file(QStringLiteral("MultiRS")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
            .size();
    };

    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));
    QVERIFY(m_rig->runCycle());
    // The held cycle runs a full query.
    m_gw->clock().advanceSeconds(15);
    m_gw->cycle().setLastQueryAll(m_gw->clock().now().addSecs(-31 * 60));
    for (const QString &name : before.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        click(name);
    {
        SqliteLock lock(jobsFile());
        QVERIFY2(lock.held(), qPrintable(lock.error()));
        m_gw->cycle().tmrDB_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(m_gw->database().activity().busy, 2000);
        if (!during.isEmpty())
            click(during);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!m_gw->cycle().running(), 10000);
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
    QCOMPARE(m_gw->marks().checked(mark), markAfterHeld);
    // The menu and the file agree (nothing stored: never switched).
    const auto agree = [&] {
        return m_gw->marks().checked(MenuMarks::mnuDebugAll) == (stored() == QLatin1String("True"));
    };
    QVERIFY2(agree(), qPrintable(stored()));
    if (during == QLatin1String("mnuSaveQuery"))
        QVERIFY(!m_rig->home.exists(QStringLiteral("Queries.TXT")));
    if (during == QLatin1String("mnuDebugCurrent"))
        QCOMPARE(dumps(), 0);
    if (during == QLatin1String("mnuRefresh"))
        QCOMPARE(m_gw->cycle().dtLastQueryAll(), DateTime::zero());

    // The next cycles carry out what was asked meanwhile.
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    if (during == QLatin1String("mnuRefresh")) {
        // It asked for the line list first; the answer brings the full query.
        QVERIFY(peer.takeReceived().contains("$Q,0"));
        m_gw->link().bRequestLines = false;
        m_gw->cycle().lineListReceived();
        QVERIFY(m_gw->marks().checked(mark));
        m_gw->clock().advanceSeconds(15);
        QVERIFY(m_rig->runCycle());
        QCOMPARE(m_gw->cycle().dtLastQueryAll(), m_gw->clock().now());
    }
    QCOMPARE(m_gw->marks().checked(mark), markAfterNext);
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    // Once: the cycle after the next one does it no more.
    if (during == QLatin1String("mnuSaveQuery"))
        QCOMPARE(m_rig->home.lines(QStringLiteral("Queries.TXT"))
                     .filter(QStringLiteral("UPDATE Jobs"), Qt::CaseInsensitive)
                     .size(),
            1);
    if (during == QLatin1String("mnuDebugCurrent"))
        QCOMPARE(dumps(), 1);
    if (during == QLatin1String("mnuDB"))
        QVERIFY(!m_gw->marks().bDBCommand);
    QVERIFY2(agree(), qPrintable(stored()));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TestCycle::standDownDuringACycleKeepsTheMapClosed_data()
{
    QTest::addColumn<bool>("locked");
    // The stage's rows come back after the stand-down, and are merged.
    QTest::newRow("rows after the stand-down") << false;
    // The stage found the jobs file locked: its failure comes after it.
    QTest::newRow("a failed stage after the stand-down") << true;
}

// A pair's active gateway that loses the lease while a cycle runs closes the
// map connection at once; what is left of the cycle neither opens it again
// nor sends anything, and the timer's ticks start no cycle meanwhile.
void TestCycle::standDownDuringACycleKeepsTheMapClosed()
{
    QFETCH(bool, locked);
    makeRig("[Pair]\r\nName=north\r\nLeaseSeconds=20\r\n");
    // The lease is won here; the test, not the supervisor, connects.
    disconnect(&m_gw->lease(), &LeaseKeeper::becameActive, m_gw, nullptr);
    m_gw->lease().start(m_gw->dataSource());
    QTRY_VERIFY_WITH_TIMEOUT(m_gw->lease().mayAct(), 20000);
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, 123456, QStringLiteral("06:05"));

    std::unique_ptr<SqliteLock> lock;
    if (locked) {
        lock = std::make_unique<SqliteLock>(jobsFile());
        QVERIFY2(lock->held(), qPrintable(lock->error()));
    }
    m_gw->cycle().tmrDB_Timer();
    QVERIFY(m_gw->cycle().running());
    // The stage has ended on the database thread and its reply waits for
    // the event loop, which has not run since.
    m_rig->onDatabase([](DatabaseWorker &) {});
    m_gw->lease().writesFenced(QStringLiteral("a test's stand-down"));
    QVERIFY(!m_gw->lease().mayAct());
    QCOMPARE(m_gw->sckMap().state(), MapSocket::State::Closed);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gw->cycle().running(), 10000);
    lock.reset();

    QTest::qWait(1500);
    QCOMPARE(m_gw->sckMap().state(), MapSocket::State::Closed);
    QVERIFY(!peer.server.hasPendingConnections());
    m_gw->cycle().tmrDB_Timer();
    QVERIFY(!m_gw->cycle().running());
    // The liveness line of the cycle's start, before the stand-down, and
    // nothing after it.
    QCOMPARE(peer.peer->readAll(), QByteArray("\r\n"));
}

void TestCycle::intervalSeconds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("seconds"); // -1: failure
    QTest::newRow("15") << "15" << 15;
    QTest::newRow("above the old 32-second limit") << "120" << 120;
    QTest::newRow("an hour is the most") << "99999" << 3600;
    QTest::newRow("zero is one second") << "0" << 1;
    QTest::newRow("letters") << "abc" << -1;
    QTest::newRow("fraction rounds") << "20.5" << 20;
    QTest::newRow("empty is the default") << "" << 15;
    QTest::newRow("negative is one second") << "-5" << 1;
}

void TestCycle::intervalSeconds()
{
    QFETCH(QString, text);
    QFETCH(int, seconds);
    try {
        QCOMPARE(DatabaseCycle::intervalSeconds(text), seconds);
    } catch (const Failure &f) {
        QCOMPARE(seconds, -1);
        QCOMPARE(f.number(), int(Failure::TypeMismatch));
    }
}

void TestCycle::intervalBox_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("stored");
    QTest::newRow("a number is taken and stored") << "30"
                                                  << "30"
                                                  << "30"
                                                  << "30";
    QTest::newRow("a letter puts the last value back") << "3a"
                                                       << "20"
                                                       << "20"
                                                       << "20";
    QTest::newRow("beyond an hour is refused") << "4000"
                                               << "20"
                                               << "20"
                                               << "20";
    QTest::newRow("emptied: nothing written") << ""
                                              << ""
                                              << "25"
                                              << "25";
}

void TestCycle::intervalBox()
{
    QFETCH(QString, typed);
    QFETCH(QString, box);
    QFETCH(QString, tag);
    QFETCH(QString, stored);
    m_gw->settings().WriteINI(
        QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("25"));
    m_gw->cycle().txtInterval_Change(QStringLiteral("20"));
    m_gw->settings().WriteINI(
        QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("25"));
    QSignalSpy shown(&m_gw->cycle(), &DatabaseCycle::intervalTextChanged);
    m_gw->cycle().txtInterval_Change(typed);
    QCOMPARE(m_gw->cycle().intervalText(), box);
    // The box hears the value even when a refused entry leaves it unchanged.
    QVERIFY(!shown.isEmpty());
    QCOMPARE(shown.last().first().toString(), box);
    QCOMPARE(m_gw->cycle().intervalTag(), tag);
    const QString expectedStored
        = typed == QLatin1String("30") ? QStringLiteral("30") : QStringLiteral("25");
    QCOMPARE(
        m_gw->settings().ReadINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), QString()),
        expectedStored);
    Q_UNUSED(stored);
}

void TestCycle::emptiedBoxKeepsTheCycleGoing()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    m_gw->cycle().updInterval_Change(45);
    QCOMPARE(m_gw->cycle().intervalText(), QStringLiteral("45"));
    m_gw->cycle().txtInterval_Change(QString());
    QVERIFY(m_rig->runCycle());
    // The remembered value (read back from the settings) stands in.
    QCOMPARE(m_gw->cycle().tmrDB().interval(), 45000);
    QVERIFY(debugLines().isEmpty());
}

QTEST_GUILESS_MAIN(TestCycle)
#include "tst_cycle.moc"
