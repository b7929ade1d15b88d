#include "GatewayRig.h"
#include "MapPeer.h"
#include "SqliteLock.h"

#include "app/GatewayStatus.h"
#include "common/MenuMarks.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "pair/LeaseKeeper.h"
#include "platform/DbSession.h"
#include "service/SettingsReload.h"
#include "service/StatusEndpoint.h"
#include "status/LogTail.h"

#include <QtTest>

// SIGHUP's reload on a whole gateway: connected to a map server on loopback
// with both sessions open on embedded files, the settings file rewritten and
// read again. Each change reaches only its own part.
class TestReload : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void appliesWhatChanged_data();
    void appliesWhatChanged();
    void waitsForTheCycleUnderWay();

private:
    QByteArray settings(const QStringList &changes = {}) const;

    std::unique_ptr<GatewayRig> m_rig;
    std::unique_ptr<MapPeer> m_map;
    std::unique_ptr<LogTail> m_tail;
    std::unique_ptr<GatewayStatus> m_source;
    std::unique_ptr<StatusEndpoint> m_status;
    std::unique_ptr<SettingsReload> m_reload;
};

QByteArray TestReload::settings(const QStringList &changes) const
{
    QByteArray ini
        = "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(m_map->server.serverPort())
        + "\r\nGMT=2\r\n[Database]\r\nSQLServer=sqlite:db\r\n[Misc]\r\nDBInterval=15\r\n";
    // Each "text>new text" replaces.
    for (const QString &c : changes)
        ini.replace(
            c.section(QLatin1Char('>'), 0, 0).toUtf8(), c.section(QLatin1Char('>'), 1).toUtf8());
    return ini;
}

void TestReload::init()
{
    m_rig = std::make_unique<GatewayRig>();
    Gateway &gw = m_rig->gw;
    m_rig->readyForCycles(QStringLiteral("sqlite:db"), QDateTime::currentDateTime());
    EmbeddedSchema::create(m_rig->home.file(QStringLiteral("db")));
    EmbeddedSchema::create(m_rig->home.file(QStringLiteral("db2")));
    m_map = std::make_unique<MapPeer>(gw);
    QVERIFY(m_map->connectGateway());
    m_rig->home.write(QStringLiteral("Volmara.INI"), settings());
    gw.mapSettings().iGMTOffset = 2; // as the logon applied the file
    QVERIFY(m_rig->openSessions());
    // A cycle that ran once; its timer counts down the 15 s.
    gw.cycle().start();
    gw.cycle().stop();

    m_tail = std::make_unique<LogTail>();
    gw.log().addSink(m_tail.get());
    m_source = std::make_unique<GatewayStatus>(gw);
    m_status = std::make_unique<StatusEndpoint>(
        StatusEndpoint::Parts{*m_source, gw.metrics(), *m_tail, gw.traffic()}, gw.settings(),
        gw.clock(), gw.log(), QString());
    m_reload = std::make_unique<SettingsReload>(
        SettingsReload::Parts{gw.cycle(), gw.mapLink(), gw.database(), *m_status},
        SettingsReload::Targets{
            gw.mapSettings(), gw.dataSource(), gw.marks(), gw.sckMap(), gw.lease().config()},
        gw.settings(), gw.log());
    m_reload->capture();
}

void TestReload::cleanup()
{
    if (m_rig)
        m_rig->gw.log().removeSink(m_tail.get());
    m_reload.reset();
    m_status.reset();
    m_source.reset();
    m_tail.reset();
    m_map.reset();
    m_rig.reset();
}

void TestReload::appliesWhatChanged_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QString>("record"); // the one record of the reload
    QTest::addColumn<QString>("reopened"); // "", "jobs", "orvikdb", "both"
    QTest::addColumn<bool>("newMap"); // the map connection is made again
    QTest::addColumn<int>("timerMs"); // the countdown afterwards (0: stopped, as before)

    QTest::newRow("nothing changed") << QStringList() << "Volmara.INI reloaded: nothing changed"
                                     << "" << false << 0;
    QTest::newRow("interval") << QStringList{"DBInterval=15>DBInterval=5"}
                              << "Volmara.INI reloaded: DBInterval 15 -> 5 s"
                              << "" << false << 5000;
    QTest::newRow("jobs source, followed by the second session")
        << QStringList{"SQLServer=sqlite:db>SQLServer=sqlite:db2"}
        << "Volmara.INI reloaded: SQLServer sqlite:db -> sqlite:db2; ORVIKDBServer sqlite:db -> "
           "sqlite:db2; both sessions reopened"
        << "both" << false << 0;
    QTest::newRow("second session only")
        << QStringList{"sqlite:db\r\n>sqlite:db\r\nORVIKDBServer=sqlite:db2\r\n"}
        << "Volmara.INI reloaded: ORVIKDBServer sqlite:db -> sqlite:db2; ORVIKDB session reopened"
        << "orvikdb" << false << 0;
    QTest::newRow("time-out waits for the next open")
        << QStringList{"sqlite:db\r\n>sqlite:db\r\nConnection TimeOut=5\r\n"}
        << "Volmara.INI reloaded: Connection TimeOut 20 -> 5 s (from the next open)"
        << "" << false << 0;
    QTest::newRow("map port") << QStringList() << "Volmara.INI reloaded: map 127.0.0.1:"
                              << "" << true << 0;
    QTest::newRow("GMT and the traffic switch")
        << QStringList{"GMT=2>GMT=3", "DBInterval=15>DBInterval=15\r\nSentLines2File=True"}
        << "Volmara.INI reloaded: GMT 2 -> 3; SentLines2File -> True"
        << "" << false << 0;
    QTest::newRow("pair waits for the next start")
        << QStringList{"DBInterval=15>DBInterval=15\r\n[Pair]\r\nName=north\r\nLeaseSeconds=30"}
        << "Volmara.INI reloaded: [Pair] Name (none) -> north (at the next start); [Pair] "
           "LeaseSeconds 20 -> 30 s (at the next start)"
        << "" << false << 0;
    QTest::newRow("refused whole")
        << QStringList{"DBInterval=15>DBInterval=0\r\nSentLines2File=True"}
        << "Volmara.INI not reloaded: [Misc] DBInterval = 0 is outside 1 to 3600 seconds (1 is "
           "used). The running settings stay."
        << "" << false << 0;
}

void TestReload::appliesWhatChanged()
{
    QFETCH(QStringList, changes);
    QFETCH(QString, record);
    QFETCH(QString, reopened);
    QFETCH(bool, newMap);
    QFETCH(int, timerMs);
    Gateway &gw = m_rig->gw;
    const DbSession *jobs = nullptr, *orvikDb = nullptr;
    auto sessions = [&](const DbSession *&j, const DbSession *&o) {
        m_rig->onDatabase([&](DatabaseWorker &w) {
            j = w.sessions().cnJobs.get();
            o = w.sessions().cnORVIKDB.get();
        });
    };
    sessions(jobs, orvikDb);

    // A new map server waits on another port.
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    QByteArray ini = settings(changes);
    if (newMap)
        ini.replace("Port=" + QByteArray::number(m_map->server.serverPort()) + "\r\n",
            "Port=" + QByteArray::number(other.serverPort()) + "\r\n");
    m_rig->home.write(QStringLiteral("Volmara.INI"), ini);
    QSignalSpy done(m_reload.get(), &SettingsReload::reloaded);
    m_reload->reload();
    QCOMPARE(done.count(), 1);

    // One record, saying what was done.
    QStringList records;
    for (const LogTail::Entry &e : m_tail->entries()) {
        if (e.record.procedure == QLatin1String("Reload"))
            records << e.record.message;
    }
    QCOMPARE(records.size(), 1);
    QVERIFY2(record.endsWith(QLatin1Char(':')) ? records.first().startsWith(record)
                                               : records.first() == record,
        qPrintable(records.first()));

    const DbSession *jobsNow = nullptr, *orvikDbNow = nullptr;
    sessions(jobsNow, orvikDbNow); // after the reopen handed to the thread
    QCOMPARE(
        jobsNow != jobs, reopened == QLatin1String("jobs") || reopened == QLatin1String("both"));
    QCOMPARE(orvikDbNow != orvikDb,
        reopened == QLatin1String("orvikdb") || reopened == QLatin1String("both"));
    QVERIFY(gw.database().status().jobs.state & DbSession::Open);
    QVERIFY(gw.database().status().orvikDb.state & DbSession::Open);

    if (newMap) {
        QVERIFY(QTest::qWaitFor([&] { return other.hasPendingConnections(); }, 5000));
        QCOMPARE(gw.mapSettings().iMapPort, other.serverPort());
    } else {
        QTest::qWait(50);
        QVERIFY(!other.hasPendingConnections());
        QCOMPARE(gw.sckMap().state(), MapSocket::State::Connected);
    }
    // The pair the gateway started with stays (a pair is never joined or
    // left while running).
    QVERIFY(gw.lease().config().name.isEmpty());
    QCOMPARE(gw.lease().role(), LeaseKeeper::Role::Single);
    QCOMPARE(gw.cycle().tmrDB().isActive(), timerMs > 0);
    if (timerMs > 0)
        QCOMPARE(gw.cycle().tmrDB().interval(), timerMs);
    if (record.contains(QLatin1String("not reloaded"))) {
        QCOMPARE(gw.cycle().intervalTag(), QStringLiteral("15"));
        QVERIFY(!gw.marks().checked(MenuMarks::mnuDebugAll));
    }
}

void TestReload::waitsForTheCycleUnderWay()
{
    Gateway &gw = m_rig->gw;
    m_rig->home.write(
        QStringLiteral("Volmara.INI"), settings({QStringLiteral("DBInterval=15>DBInterval=5")}));
    QSignalSpy done(m_reload.get(), &SettingsReload::reloaded);
    // Another program holds the jobs file: the cycle waits for it on the
    // database thread.
    SqliteLock lock(EmbeddedSchema::jobsFile(m_rig->home.file(QStringLiteral("db"))));
    QVERIFY2(lock.held(), qPrintable(lock.error()));
    gw.cycle().tmrDB_Timer();
    QVERIFY(gw.cycle().running());
    m_reload->reload();
    QTest::qWait(300);
    QCOMPARE(done.count(), 0);
    QCOMPARE(gw.cycle().intervalTag(), QStringLiteral("15"));
    lock.release();
    QVERIFY(done.wait(5000));
    QVERIFY(!gw.cycle().running());
    QCOMPARE(gw.cycle().intervalTag(), QStringLiteral("5"));
}

QTEST_GUILESS_MAIN(TestReload)
#include "tst_reload.moc"
