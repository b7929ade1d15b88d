#include "PgServer.h"
#include "TestSupport.h"

#include "common/LineKey.h"
#include "db/EmbeddedSchema.h"
#include "platform/DbSession.h"
#include "platform/RowSet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include <signal.h>

// Two headless gateways of one standby pair on one set of embedded files or
// one PostgreSQL server, each with its own program folder and its own map
// server simulator, so that what each one sends is told apart. The active is killed, stopped or
// paused past its lease; the standby must take over, and a paused active
// that wakes must send and write nothing more.
class TestE2ePair : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void takeover_data();
    void takeover();

private:
    struct Side
    {
        QString home;
        quint16 port = 0;
        QProcess sim;
        QProcess gateway;
        QByteArray simOut; // what the simulator printed: connection events
        QByteArray received() const;
        QByteArray debug() const;
    };
    static QString bin(const QString &name);
    // The pair's lease and the cycle's interval: 5 s and 1 s, or what
    // VOLMARA_PAIR_LEASE and VOLMARA_PAIR_INTERVAL say (to measure takeovers
    // at a site's settings).
    static int setting(const char *name, int otherwise)
    {
        const int value = qEnvironmentVariableIntValue(name);
        return value > 0 ? value : otherwise;
    }
    static int lease() { return setting("VOLMARA_PAIR_LEASE", 5); }
    static int interval() { return setting("VOLMARA_PAIR_INTERVAL", 1); }
    static quint16 freePort();
    void prepare(Side &side, const QString &name, const QByteArray &source);
    void fillServer();
    // clockAhead: the gateway's wall clock that many seconds ahead (libfaketime).
    void startGateway(Side &side, int clockAhead = 0);
    int jobsAtFlag(int flag) const;

    std::unique_ptr<TempHome> m_root;
    QString m_db;
    std::unique_ptr<PgServer> m_pg;
    QString m_pgMissing;
    bool m_onServer = false;
    Side m_a, m_b;
};

QString TestE2ePair::bin(const QString &name)
{
    return QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(name);
}

quint16 TestE2ePair::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray TestE2ePair::Side::received() const
{
    QFile f(QDir(home).filePath(QStringLiteral("received.txt")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray TestE2ePair::Side::debug() const
{
    QFile f(QDir(home).filePath(QStringLiteral("Debug.TXT")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestE2ePair::initTestCase()
{
    m_pgMissing = PgServer::unavailableReason();
    if (!m_pgMissing.isEmpty())
        return;
    m_pg = std::make_unique<PgServer>();
    QVERIFY2(m_pg->start(), qPrintable(m_pg->lastError()));
    QVERIFY2(m_pg->createSchema(), qPrintable(m_pg->lastError()));
}

void TestE2ePair::cleanupTestCase()
{
    m_pg.reset();
}

void TestE2ePair::init()
{
    m_root = std::make_unique<TempHome>();
    m_onServer = QByteArray(QTest::currentDataTag()).startsWith("postgres");
    if (m_onServer && !m_pg)
        QSKIP(qPrintable(m_pgMissing));
    QByteArray source;
    if (m_onServer) {
        fillServer();
        source = m_pg->connectionString().toUtf8();
    } else {
        m_db = m_root->file(QStringLiteral("db"));
        QCOMPARE(QProcess::execute(
                     bin(QStringLiteral("volmara-dbinit")), {m_db, QStringLiteral("--demo")}),
            0);
        source = "sqlite:" + m_db.toUtf8();
    }
    prepare(m_a, QStringLiteral("a"), source);
    prepare(m_b, QStringLiteral("b"), source);
}

// A small day on the server: 30 jobs of 6 lines, starting now (always
// inside the operational day), each line with its route rule.
void TestE2ePair::fillServer()
{
    QString rules;
    for (int line = 0; line < 6; ++line)
        rules += QStringLiteral("%1('%2', NULL, NULL, '1234567', '1899-12-30 00:00:00', "
                                "'1899-12-30 23:59:59', '0,6,13', '1,1,0')")
                     .arg(line ? QStringLiteral(",") : QString(),
                         LineKey::routeName(LineKey::fromRouteCode(100000 + line * 7)));
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "DROP TABLE IF EXISTS VolmaraLease; TRUNCATE Jobs RESTART IDENTITY; "
                 "TRUNCATE Scheds; TRUNCATE RteDB.RouteTimes;\n"
                 "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, "
                 "DriverName, RouteStart, RouteEnd, RouteCode, RecordUpdater, "
                 "OrderDate, UsedFlag) SELECT localtimestamp, 1000 + j, (500 + j)::text, "
                 "j + 1, 7000 + j, 'Dana ' || j, localtimestamp, localtimestamp + "
                 "interval '1 hour', 100000 + mod(j, 6) * 7, 'ops', current_date, 0 "
                 "FROM generate_series(0, 29) j;\n"
                 "INSERT INTO RteDB.RouteTimes VALUES %1;\n")
                            .arg(rules)),
        qPrintable(m_pg->lastError()));
}

void TestE2ePair::prepare(Side &side, const QString &name, const QByteArray &source)
{
    side.home = m_root->file(name);
    QVERIFY(QDir().mkpath(side.home));
    side.port = freePort();
    QVERIFY(side.port != 0);
    QFile ini(QDir(side.home).filePath(QStringLiteral("Volmara.INI")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(side.port)
        + "\r\nGMT=2\r\n[Database]\r\nSQLServer=" + source
        + "\r\n[Misc]\r\nDBInterval=" + QByteArray::number(interval())
        + "\r\n[Pair]\r\nName=north\r\nLeaseSeconds=" + QByteArray::number(lease()) + "\r\n");
    ini.close();
    side.sim.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(
        &side.sim, &QProcess::readyRead, &side.sim, [&side] { side.simOut += side.sim.readAll(); });
    side.sim.start(bin(QStringLiteral("volmara-mapsim")),
        {QStringLiteral("--port"), QString::number(side.port), QStringLiteral("--received-file"),
            QDir(side.home).filePath(QStringLiteral("received.txt"))});
    QVERIFY(side.sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(side.simOut.contains("Listening"), 10000);
}

void TestE2ePair::startGateway(Side &side, int clockAhead)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "VOLMARA_HOME",
             "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        env.remove(QString::fromLatin1(name));
    if (clockAhead != 0) {
        env.insert(QStringLiteral("LD_PRELOAD"),
            QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"));
        env.insert(QStringLiteral("FAKETIME"),
            QStringLiteral("%1%2").arg(clockAhead > 0 ? "+" : "").arg(clockAhead));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    }
    side.gateway.setProcessEnvironment(env);
    side.gateway.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    side.gateway.start(bin(QStringLiteral("volmarad")), {QStringLiteral("--home"), side.home});
    QVERIFY(side.gateway.waitForStarted(10000));
}

int TestE2ePair::jobsAtFlag(int flag) const
{
    if (m_onServer)
        return m_pg
            ->scalar(QStringLiteral("Select Count(*) From Jobs Where UsedFlag = %1").arg(flag))
            .toInt();
    DbSession s;
    s.setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_db);
    s.setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
    s.open();
    return s.execute(QStringLiteral("Select Count(*) From Jobs Where UsedFlag = %1").arg(flag))
        ->field(0)
        .toInt();
}

void TestE2ePair::cleanup()
{
    for (Side *side : {&m_a, &m_b}) {
        for (QProcess *p : {&side->gateway, &side->sim}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            ::kill(pid_t(p->processId()), SIGCONT);
            p->terminate();
            if (!p->waitForFinished(10000))
                p->kill();
            p->waitForFinished(5000);
        }
        side->simOut.clear();
    }
    m_root.reset();
}

void TestE2ePair::takeover_data()
{
    QTest::addColumn<int>("signal");
    for (const char *backend : {"embedded", "postgres"}) {
        QTest::addRow("%s: active killed", backend) << int(SIGKILL);
        QTest::addRow("%s: active stopped", backend) << int(SIGTERM);
        QTest::addRow("%s: active paused past its lease", backend) << int(SIGSTOP);
    }
    // The standby's wall clock three minutes ahead: the lease is judged by
    // the server's clock, so it neither takes over early nor late.
    QTest::addRow("postgres: standby's clock 3 minutes ahead, active killed") << -int(SIGKILL);
    // Not a fault of the active: its cycle waits behind another program's
    // lock for four leases; the lease is renewed on its own session.
    QTest::addRow("postgres: Jobs locked by another program") << 0;
}

void TestE2ePair::takeover()
{
    QFETCH(int, signal);
    static const QByteArray kPush(",ExpLineSched\\c");

    startGateway(m_a);
    QTRY_VERIFY2_WITH_TIMEOUT(m_a.received().contains(kPush), m_a.debug().constData(), 30000);
    QVERIFY2(m_a.debug().contains("active as"), m_a.debug().constData());
    const bool clockAhead = signal < 0;
    if (clockAhead) {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer's runtime must come first: nothing is preloaded before it.
        QSKIP("libfaketime cannot be preloaded into a sanitizer build");
#endif
        if (!QFile::exists(QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1")))
            QSKIP("libfaketime is not installed");
        signal = -signal;
    }
    startGateway(m_b, clockAhead ? 180 : 0);
    QTRY_VERIFY2_WITH_TIMEOUT(m_b.debug().contains("standing by"), m_b.debug().constData(), 10000);
    if (clockAhead) {
        // Its records are written by its own clock: three minutes ahead.
        const QByteArray debug = m_b.debug();
        const qsizetype at = debug.indexOf("PairLease");
        QVERIFY(at >= 20);
        const QDateTime written = QDateTime::fromString(
            QString::fromLatin1(debug.mid(at - 20, 19)), QStringLiteral("dd/MM/yyyy HH:mm:ss"));
        QVERIFY2(written > QDateTime::currentDateTime().addSecs(150), debug.constData());
    }
    // A standby opens no map connection and waits out the held lease.
    QTest::qWait(lease() * 1000 + 2000);
    QVERIFY2(!m_b.simOut.contains("connected"), m_b.simOut.constData());
    QVERIFY(m_b.received().isEmpty());
    QVERIFY2(!m_b.debug().contains("active as"), m_b.debug().constData());

    if (signal == 0) {
        QProcess locker;
        locker.start(QDir(PgServer::binDir()).filePath(QStringLiteral("psql")),
            {QStringLiteral("-X"), QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                QStringLiteral("-p"),
                m_pg->connectionString()
                    .section(QStringLiteral("PORT="), 1)
                    .section(QLatin1Char(';'), 0, 0),
                QStringLiteral("-U"), QLatin1String(PgServer::kUser), QStringLiteral("-d"),
                QLatin1String(PgServer::kDatabase), QStringLiteral("-c"),
                QStringLiteral("BEGIN; LOCK TABLE Jobs IN ACCESS EXCLUSIVE MODE; SELECT "
                               "pg_sleep(%1); COMMIT;")
                    .arg(4 * lease())});
        QVERIFY(locker.waitForFinished((4 * lease() + 30) * 1000));
        QCOMPARE(locker.exitCode(), 0);
        QVERIFY2(!m_a.debug().contains("standing down"), m_a.debug().constData());
        QVERIFY2(!m_b.debug().contains("active as"), m_b.debug().constData());
        // The active goes on once the lock is gone: a new job is pushed.
        const qsizetype pushed = m_a.received().count(kPush);
        QVERIFY(m_pg->psql(QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, "
            "RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES (localtimestamp, "
            "1999, '999', 999, 7999, 'Noa', localtimestamp, localtimestamp + interval '1 hour', "
            "100000, 'ops', current_date, 0);")));
        QTRY_VERIFY_WITH_TIMEOUT(m_a.received().count(kPush) > pushed, 30000);
        return;
    }

    QElapsedTimer since;
    since.start();
    ::kill(pid_t(m_a.gateway.processId()), signal);
    QTRY_VERIFY2_WITH_TIMEOUT(
        m_b.received().contains(kPush), m_b.debug().constData(), 30000 + 2000 * lease());
    qInfo("takeover after %s: the standby's first push %lld ms after the signal",
        QTest::currentDataTag(), since.elapsed());
    QVERIFY2(m_b.debug().contains("term 2"), m_b.debug().constData());

    if (signal == SIGSTOP) {
        // Woken after the takeover: nothing more goes to the map, the
        // connection closes, and the old active stands by.
        const QByteArray before = m_a.received();
        const int disconnectsBefore = int(m_a.simOut.count("disconnected"));
        ::kill(pid_t(m_a.gateway.processId()), SIGCONT);
        QTRY_VERIFY2_WITH_TIMEOUT(
            m_a.debug().contains("standing down"), m_a.debug().constData(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(m_a.simOut.count("disconnected") > disconnectsBefore, 10000);
        QTest::qWait(3000);
        QCOMPARE(m_a.received(), before);
        QCOMPARE(m_a.gateway.state(), QProcess::Running);
    }
    // The new active's cycles leave no job marked 2 behind.
    QTest::qWait(2500);
    QCOMPARE(jobsAtFlag(2), 0);
}

QTEST_GUILESS_MAIN(TestE2ePair)
#include "tst_e2e_pair.moc"
