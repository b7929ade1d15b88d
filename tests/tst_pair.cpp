// A standby pair's lease: the SQL Server texts character for character, and
// its steps, the fence and the keeper on the embedded files and, where a
// PostgreSQL server can be started here, on it through psqlODBC.

#include "CoreParts.h"
#include "PgServer.h"
#include "TestSupport.h"

#include "db/EmbeddedSchema.h"
#include "db/LeaseStatements.h"
#include "db/mdlQueries.h"
#include "diag/ErrorLog.h"
#include "pair/Lease.h"
#include "pair/LeaseKeeper.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <memory>

class TstPair : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void serverTexts_data();
    void serverTexts();
    void leaseSteps_data();
    void leaseSteps();
    void fencedSelection_data();
    void fencedSelection();
    void racingStandbysOneWins_data();
    void racingStandbysOneWins();
    void newHolderEndsTheOthersSessions();
    void keeperHandsOverOnRelease();
    void keeperCutOffStandsDown();

private:
    void addBackends();
    std::shared_ptr<DbSession> open(const QString &backend, int statementSeconds = 5) const;
    QString appStatus(DbSession &session) const;

    TempHome m_home;
    QString m_folder;
    std::unique_ptr<PgServer> m_pg;
    QString m_pgMissing;
};

void TstPair::initTestCase()
{
    m_folder = m_home.file(QStringLiteral("db"));
    EmbeddedSchema::create(m_folder);
    m_pgMissing = PgServer::unavailableReason();
    if (m_pgMissing.isEmpty()) {
        m_pg = std::make_unique<PgServer>();
        QVERIFY2(m_pg->start(), qPrintable(m_pg->lastError()));
        QVERIFY2(m_pg->createSchema(), qPrintable(m_pg->lastError()));
    }
}

void TstPair::cleanupTestCase()
{
    m_pg.reset();
}

std::shared_ptr<DbSession> TstPair::open(const QString &backend, int statementSeconds) const
{
    auto s = std::make_shared<DbSession>();
    s->setProperty(QStringLiteral("Data Source"),
        backend == QLatin1String("embedded") ? QStringLiteral("sqlite:") + m_folder
                                             : m_pg->connectionString());
    s->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
    s->setCommandTimeout(statementSeconds);
    s->setConnectionTimeout(statementSeconds);
    s->open();
    return s;
}

QString TstPair::appStatus(DbSession &session) const
{
    RowSet::Ptr rs
        = session.execute(QStringLiteral("Select Status From AppStatus Where Type = 'CRLST'"));
    return rs->eof() ? QString() : rs->field(0).toString();
}

void TstPair::addBackends()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("embedded") << "embedded";
    QTest::newRow("postgres") << "postgres";
}

void TstPair::serverTexts_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const SqlServerLeaseStatements s;
    const QString name = QStringLiteral("north");
    const QString holder = QStringLiteral("bus01 4711 0000beef");
    QTest::newRow("row")
        << s.insertRow(name)
        << QStringLiteral("INSERT INTO VolmaraLease (Name, Term, Holder, Expiry) SELECT "
                          "N'north', 0, N'', SYSUTCDATETIME() WHERE NOT EXISTS (SELECT 1 "
                          "FROM VolmaraLease WITH (UPDLOCK, HOLDLOCK) WHERE Name = N'north')");
    QTest::newRow("acquire") << s.acquire(name, holder, 20000)
                             << QStringLiteral(
                                    "SET LOCK_TIMEOUT 2000 ; UPDATE VolmaraLease SET Term = Term + "
                                    "1, Holder = N'bus01 4711 0000beef', Expiry = "
                                    "DATEADD(millisecond, 20000, SYSUTCDATETIME()) OUTPUT "
                                    "inserted.Term WHERE Name = N'north' AND Expiry <= "
                                    "SYSUTCDATETIME()");
    QTest::newRow("renew") << s.renew(name, 7, holder, 15000)
                           << QStringLiteral(
                                  "SET LOCK_TIMEOUT 2000 ; UPDATE VolmaraLease SET Expiry = "
                                  "DATEADD(millisecond, 15000, SYSUTCDATETIME()) OUTPUT "
                                  "inserted.Term WHERE Name = N'north' AND Term = 7 AND Holder = "
                                  "N'bus01 4711 0000beef' AND Expiry > SYSUTCDATETIME()");
    QTest::newRow("release") << s.release(name, 7, holder)
                             << QStringLiteral(
                                    "UPDATE VolmaraLease SET Expiry = SYSUTCDATETIME() WHERE Name "
                                    "= N'north' AND Term = 7 AND Holder = N'bus01 4711 0000beef'");
    QTest::newRow("fence")
        << s.fenced(QStringLiteral("Update ShibFlag Set Flag = 0"), {name, 7, holder})
        << QStringLiteral("SET XACT_ABORT ON ; BEGIN TRANSACTION ; Update ShibFlag Set Flag = 0 ; "
                          "UPDATE VolmaraLease WITH (ROWLOCK) SET Term = Term WHERE Name = "
                          "N'north' AND Term = 7 AND Holder = N'bus01 4711 0000beef' AND Expiry > "
                          "SYSUTCDATETIME() ; IF @@ROWCOUNT = 0 THROW 51000, N'Volmara lease no "
                          "longer held', 1 ; COMMIT TRANSACTION");
    // DBCC SHRINKDATABASE runs in no transaction and changes no rows.
    QTest::newRow("fenced purge")
        << s.fenced(QStringLiteral("Delete Jobs Where 1 = 0 ; DBCC SHRINKDATABASE (ORVIK_Jobs)"),
               {name, 7, holder})
        << QStringLiteral(
               "SET XACT_ABORT ON ; BEGIN TRANSACTION ; Delete Jobs Where 1 = 0 ; "
               "UPDATE VolmaraLease WITH (ROWLOCK) SET Term = Term WHERE Name = "
               "N'north' AND Term = 7 AND Holder = N'bus01 4711 0000beef' AND Expiry > "
               "SYSUTCDATETIME() ; IF @@ROWCOUNT = 0 THROW 51000, N'Volmara lease no "
               "longer held', 1 ; COMMIT TRANSACTION ; DBCC SHRINKDATABASE (ORVIK_Jobs)");
    // A name is the site's text: its quotes cannot end the statement.
    QTest::newRow("quoted name")
        << s.release(QStringLiteral("o'brien"), 1, QStringLiteral("h'x"))
        << QStringLiteral("UPDATE VolmaraLease SET Expiry = SYSUTCDATETIME() WHERE Name = "
                          "N'o''brien' AND Term = 1 AND Holder = N'h''x'");
}

void TstPair::serverTexts()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void TstPair::leaseSteps_data()
{
    addBackends();
}

// One pair's life on a real server: a first holder, a standby kept out, a
// release handed over, a lost term that cannot renew or write, and an
// expiry by the server's clock.
void TstPair::leaseSteps()
{
    QFETCH(QString, backend);
    if (backend == QLatin1String("postgres") && !m_pg)
        QSKIP(qPrintable(m_pgMissing));
    const QString name = QStringLiteral("steps-") + backend;
    auto sa = open(backend);
    auto sb = open(backend);
    Lease a(name, QStringLiteral("host-a 1 aaaa"), 20000);
    Lease b(name, QStringLiteral("host-b 2 bbbb"), 300);

    bool created = false;
    const auto made = a.ensure(*sa, &created);
    QVERIFY2(!made, made ? qPrintable(made->description()) : "");
    // The server's table is made by the first gateway that may; the
    // embedded files have it from the start.
    QCOMPARE(created, backend == QLatin1String("postgres"));
    QVERIFY(!b.ensure(*sb));

    QCOMPARE(a.acquire(*sa), Lease::Outcome::Won);
    const qint64 first = a.term();
    QVERIFY(first > 0);
    QCOMPARE(b.acquire(*sb), Lease::Outcome::HeldByOther);
    QCOMPARE(a.renew(*sa), Lease::Outcome::Renewed);
    Lease::Holder seen = Lease::read(*sb, name);
    QVERIFY(seen.found);
    QCOMPARE(seen.term, first);
    QCOMPARE(seen.holder, a.holder());
    QVERIFY2(seen.secondsLeft > 15 && seen.secondsLeft < 20.5,
        qPrintable(QString::number(seen.secondsLeft)));

    // A release lets the standby in at its next try, with the next term.
    QVERIFY(a.release(*sa));
    a = Lease(name, a.holder(), 20000);
    QCOMPARE(b.acquire(*sb), Lease::Outcome::Won);
    QCOMPARE(b.term(), first + 1);

    // The old holder's fenced writes do not take effect; the new holder's do.
    auto statements = LeaseStatements::forSession(*sb);
    for (DbSession *s : {sa.get(), sb.get()}) {
        if (!statements->fenceSetup().isEmpty())
            s->execute(statements->fenceSetup());
    }
    auto write = [&](DbSession &s, const LeaseFence &f, const QString &value) {
        return trapFailure([&] {
            s.execute(statements->fenced(QStringLiteral("Update AppStatus Set Status = '") + value
                    + QStringLiteral("' Where Type = 'CRLST'"),
                f));
        });
    };
    const auto fenced = write(*sa, {name, first, a.holder()}, QStringLiteral("stale"));
    QVERIFY(fenced);
    QVERIFY2(fenced->description().contains(LeaseStatements::fencedText()),
        qPrintable(fenced->description()));
    trapFailure([&] { sa->execute(statements->fenceRecovery()); });
    QVERIFY(appStatus(*sa) != QLatin1String("stale"));
    QVERIFY(!write(*sb, b.fence(), QStringLiteral("fresh")));
    QCOMPARE(appStatus(*sa), QStringLiteral("fresh"));

    // The new holder's short lease runs out by the server's clock: it
    // cannot renew, and the other takes the next term.
    QTest::qWait(500);
    QCOMPARE(b.renew(*sb), Lease::Outcome::Lost);
    QVERIFY(write(*sb, b.fence(), QStringLiteral("late")));
    trapFailure([&] { sb->execute(statements->fenceRecovery()); });
    QCOMPARE(appStatus(*sb), QStringLiteral("fresh"));
    QCOMPARE(a.acquire(*sa), Lease::Outcome::Won);
    QCOMPARE(a.term(), first + 2);
}

void TstPair::fencedSelection_data()
{
    addBackends();
}

// The cycle's writes on the jobs session, the marks of the selection among
// them, go with the fence: a gateway whose term is over changes nothing,
// wherever it was paused before it sent them.
void TstPair::fencedSelection()
{
    QFETCH(QString, backend);
    if (backend == QLatin1String("postgres") && !m_pg)
        QSKIP(qPrintable(m_pgMissing));
    const bool embedded = backend == QLatin1String("embedded");
    const QString name = QStringLiteral("fenced-") + backend;
    EmbeddedDbParts parts(
        embedded ? QStringLiteral("sqlite:") + m_folder : m_pg->connectionString());
    QVERIFY(parts.connect.SQLConnect());
    mdlQueries queries(
        parts.sessions, parts.rows, parts.marks, parts.clock, parts.log, parts.home.path());
    parts.rows.strVersion = QStringLiteral("Version 3.0.50");
    auto other = open(backend);
    auto addJob = [&](int recId) {
        other->execute(QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, "
            "RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES ('2026-12-06 "
            "12:00:00', 1001, '100', %1, 7001, 'Dana', '%2', '%3', 10512, 'ops', '%4', 0)")
                           .arg(recId)
                           .arg(parts.clock.now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                               parts.clock.now().addSecs(3600).toString(
                                   QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                               parts.clock.now().date().toString(Qt::ISODate)));
    };
    auto unmarked = [&] {
        return other->execute(QStringLiteral("Select Count(*) From Jobs Where UsedFlag = 0"))
            ->field(0)
            .toInt();
    };
    auto apstt = [&] {
        return other->execute(QStringLiteral("Select Status From AppStatus Where Type = 'APSTT'"))
            ->field(0)
            .toString();
    };
    other->execute(QStringLiteral("Delete From Jobs"));
    Lease a(name, QStringLiteral("host-a 1 aaaa"), 20000);
    Lease b(name, QStringLiteral("host-b 2 bbbb"), 20000);
    QVERIFY(!a.ensure(*other));
    QCOMPARE(a.acquire(*other), Lease::Outcome::Won);

    addJob(1);
    queries.setFence(a.fence());
    parts.rows.strStatus = QStringLiteral("held");
    QueryMode mode = QueryMode::QueryAll;
    mdlQueries::Selection taken = queries.QueryDB(mode);
    QVERIFY2(!taken.failed, qPrintable(parts.debugLog()));
    QCOMPARE(taken.rows->recordCount(), 1);
    QCOMPARE(unmarked(), 0);
    QVERIFY(apstt().endsWith(QLatin1String("held")));

    // Another gateway wins the next term; the old one's cycle changes nothing.
    QVERIFY(a.release(*other));
    QCOMPARE(b.acquire(*other), Lease::Outcome::Won);
    addJob(2);
    parts.rows.strStatus = QStringLiteral("stale");
    taken = queries.QueryDB(mode);
    QVERIFY(taken.failed);
    QVERIFY2(
        parts.debugLog().contains(LeaseStatements::fencedText()), qPrintable(parts.debugLog()));
    QCOMPARE(unmarked(), 1);
    QVERIFY(apstt().endsWith(QLatin1String("held")));

    // The session is left fit for the holder's own writes.
    queries.setFence(b.fence());
    parts.rows.strStatus = QStringLiteral("new holder");
    taken = queries.QueryDB(mode);
    QVERIFY2(!taken.failed, qPrintable(parts.debugLog()));
    QCOMPARE(unmarked(), 0);
    QVERIFY(apstt().endsWith(QLatin1String("new holder")));
}

void TstPair::racingStandbysOneWins_data()
{
    addBackends();
}

// Standbys that try at the same moment, each on its own session and
// thread: every round exactly one wins.
void TstPair::racingStandbysOneWins()
{
    QFETCH(QString, backend);
    if (backend == QLatin1String("postgres") && !m_pg)
        QSKIP(qPrintable(m_pgMissing));
    const QString name = QStringLiteral("race-") + backend;
    {
        auto s = open(backend);
        QVERIFY(!Lease(name, QString(), 1).ensure(*s));
    }
    constexpr int kRacers = 3;
    constexpr int kRounds = 15;
    // One go per racer: a fast racer must not take a slow one's turn.
    QSemaphore ready, go[kRacers], done;
    std::atomic<int> wins[kRounds] = {};
    std::atomic<int> failures{0};
    QList<QThread *> threads;
    for (int r = 0; r < kRacers; ++r) {
        threads << QThread::create([&, r] {
            auto s = open(backend);
            for (int round = 0; round < kRounds; ++round) {
                // Each round's lease is gone by the next one.
                Lease lease(name, QStringLiteral("racer %1").arg(r), 150);
                ready.release();
                go[r].acquire();
                const Lease::Outcome outcome = lease.acquire(*s);
                if (outcome == Lease::Outcome::Won)
                    ++wins[round];
                else if (outcome == Lease::Outcome::Failed)
                    ++failures;
                done.release();
            }
        });
        threads.last()->start();
    }
    for (int round = 0; round < kRounds; ++round) {
        QVERIFY(ready.tryAcquire(kRacers, 30000));
        QThread::msleep(200); // the last round's lease has run out
        for (QSemaphore &turn : go)
            turn.release();
        QVERIFY(done.tryAcquire(kRacers, 30000));
        QVERIFY2(wins[round].load() == 1,
            qPrintable(QStringLiteral("round %1: %2 won, %3 failed")
                           .arg(round)
                           .arg(wins[round].load())
                           .arg(failures.load())));
    }
    for (QThread *t : threads) {
        QVERIFY(t->wait(30000));
        delete t;
    }
    QCOMPARE(failures.load(), 0);
}

// A paused gateway's session may hold row locks the server cannot release
// (its statement waits for a reader that does not read). The new holder
// ends the pair's other sessions, and only those.
void TstPair::newHolderEndsTheOthersSessions()
{
    if (!m_pg)
        QSKIP(qPrintable(m_pgMissing));
    const QString prefix = QStringLiteral("volmara:ends:");
    auto stuck = open(QStringLiteral("postgres"));
    Lease::label(*stuck, prefix + QStringLiteral("0ld"));
    stuck->execute(QStringLiteral("BEGIN ; LOCK TABLE Jobs IN EXCLUSIVE MODE"));
    auto otherPair = open(QStringLiteral("postgres"));
    Lease::label(*otherPair, QStringLiteral("volmara:endsx:0ld"));
    auto mine = open(QStringLiteral("postgres"));
    Lease::label(*mine, prefix + QStringLiteral("n3w"));

    const auto refused = Lease::endOthers(*mine, prefix, prefix + QStringLiteral("n3w"));
    QVERIFY2(!refused, refused ? qPrintable(refused->description()) : "");
    // The lock went with the stuck session.
    auto writer = open(QStringLiteral("postgres"));
    QVERIFY(!trapFailure([&] {
        writer->execute(QStringLiteral(
            "SET lock_timeout = 2000 ; Update Jobs Set UsedFlag = UsedFlag Where PKID = 0"));
    }));
    QVERIFY(trapFailure([&] { stuck->execute(QStringLiteral("Select 1")); }));
    QVERIFY(!trapFailure([&] { otherPair->execute(QStringLiteral("Select 1")); }));
    QVERIFY(!trapFailure([&] { mine->execute(QStringLiteral("Select 1")); }));
}

namespace {

struct KeeperRig
{
    KeeperRig(const QString &folder, const QString &name, int leaseSeconds, const Clock &clock)
        : log(QDir(folder).filePath(QStringLiteral("..")), clock)
    {
        PairConfig config;
        config.name = name;
        config.leaseSeconds = leaseSeconds;
        config.holder = PairConfig::makeHolder();
        log.addSink(&sink);
        keeper = std::make_unique<LeaseKeeper>(
            config,
            [folder](int seconds, const DataSource &) {
                auto s = std::make_shared<DbSession>();
                s->setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + folder);
                s->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
                s->setCommandTimeout(seconds);
                s->open();
                return s;
            },
            log);
        QObject::connect(
            keeper.get(), &LeaseKeeper::becameActive, [this](qint64 term) { terms << term; });
        QObject::connect(keeper.get(), &LeaseKeeper::stoodDown,
            [this](const QString &why) { stoodDown << why; });
    }

    ErrorLog log;
    RecordingSink sink;
    std::unique_ptr<LeaseKeeper> keeper;
    QList<qint64> terms;
    QStringList stoodDown;
};

} // namespace

void TstPair::keeperHandsOverOnRelease()
{
    Clock clock;
    KeeperRig a(m_folder, QStringLiteral("keepers"), 5, clock);
    KeeperRig b(m_folder, QStringLiteral("keepers"), 5, clock);
    QCOMPARE(a.keeper->role(), LeaseKeeper::Role::Standby);
    QVERIFY(!a.keeper->mayAct());
    a.keeper->start({});
    QTRY_COMPARE_WITH_TIMEOUT(a.terms.size(), 1, 10000);
    QVERIFY(a.keeper->mayAct());
    QCOMPARE(a.keeper->role(), LeaseKeeper::Role::Active);
    b.keeper->start({});
    // Held and renewed: the standby stays out for longer than a lease.
    QTest::qWait(6000);
    QVERIFY(b.terms.isEmpty());
    QVERIFY(a.keeper->mayAct());
    QVERIFY(a.stoodDown.isEmpty());

    a.keeper->release(5000);
    QVERIFY(!a.keeper->mayAct());
    QTRY_COMPARE_WITH_TIMEOUT(b.terms.size(), 1, 10000);
    QCOMPARE(b.terms.first(), a.terms.first() + 1);
    QVERIFY(b.keeper->mayAct());
    QCOMPARE(b.keeper->fence().term, b.terms.first());
}

// An active that can no longer reach its lease (here: another program holds
// the embedded file) stops acting on it by its own clock and says why.
void TstPair::keeperCutOffStandsDown()
{
    Clock clock;
    KeeperRig a(m_folder, QStringLiteral("cut-off"), 5, clock);
    a.keeper->start({});
    QTRY_COMPARE_WITH_TIMEOUT(a.terms.size(), 1, 10000);
    auto holder = open(QStringLiteral("embedded"));
    holder->execute(QStringLiteral("BEGIN EXCLUSIVE"));
    QTRY_COMPARE_WITH_TIMEOUT(a.stoodDown.size(), 1, 20000);
    QVERIFY(!a.keeper->mayAct());
    QCOMPARE(a.keeper->role(), LeaseKeeper::Role::Standby);
    QVERIFY(a.sink.severityOf(QStringLiteral("standing down")) == LogRecord::Severity::Error);
    holder->execute(QStringLiteral("ROLLBACK"));
    // Back at the file, it wins the lease again with a new term.
    QTRY_COMPARE_WITH_TIMEOUT(a.terms.size(), 2, 20000);
    QVERIFY(a.terms.at(1) > a.terms.at(0));
}

QTEST_GUILESS_MAIN(TstPair)
#include "tst_pair.moc"
