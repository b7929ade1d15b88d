// The server path through ODBC, against a real PostgreSQL server reached with
// psqlODBC: sessions, the job selection, the schedules copy in batches, the
// route-times pass, and the database cycle across a server stop and restart.

#include "GatewayRig.h"
#include "MapPeer.h"
#include "PgServer.h"

#include "app/ConfigCheck.h"
#include "app/Gateway.h"
#include "cycle/DatabaseCycle.h"
#include "db/PostgresDialect.h"
#include "db/SqlConnect.h"
#include "db/SqlDialect.h"
#include "db/mdlQueries.h"
#include "model/clsLine.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <atomic>
#include <optional>
#include <thread>

class TstPgServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void sessionsOpenWithThePostgresDialect();
    void valuesReadAsTheSqlModuleReadsThem();
    void statementCancelledFromAnotherThread();
    void sessionsOpenAtOnceOnThreads();
    void selectionCopyAndRouteTimes();
    void failedSelectionIsUndone();
    void sharedPkidJudgedRowByRow();
    void schedsStoredOnceAcrossSelections_data();
    void schedsStoredOnceAcrossSelections();
    void refusedRowEndsSchedsCopy_data();
    void refusedRowEndsSchedsCopy();
    void rowAlreadyThereInBatch_data();
    void rowAlreadyThereInBatch();
    void cycleRepairsSessionsAfterServerRestart();
    void schedsWithoutSelect_data();
    void schedsWithoutSelect();

private:
    void newGateway(const QString &source = QString());
    void openSessions();
    // A job of 2026-12-07 unless `start` names another day ("yyyy-MM-dd hh:mm");
    // `count` jobs alike with RecID from recId on.
    void addJob(int recId, const QString &start, const QString &driver = QStringLiteral("Dana"),
        const QString &car = QStringLiteral("12-345-67"), int count = 1);
    // InsertScheds over every job, in PKID order.
    void insertAllJobs();
    // One database cycle with a map server on loopback, to its end.
    void cycle();
    // Scheds as "rows/distinct RecIDs/lowest/highest".
    QString schedsSummary()
    {
        return sql(QStringLiteral("SELECT count(*) || '/' || count(DISTINCT IntrMedRecordID) || "
                                  "'/' || min(IntrMedRecordID) || '/' || max(IntrMedRecordID) "
                                  "FROM Scheds"));
    }
    // The server's next transaction number; each call takes one.
    qint64 xid() { return sql(QStringLiteral("SELECT txid_current()")).toLongLong(); }
    QString sql(const QString &query) { return m_pg->scalar(query); }
    QStringList debugLines() const { return m_rig->debugLines(); }

    std::unique_ptr<PgServer> m_pg;
    std::unique_ptr<GatewayRig> m_rig;
    std::unique_ptr<MapPeer> m_peer;
    Gateway *m_gw = nullptr;
};

// The line of route code 123456 as the map server and RteDB know it.
static const QString kRoute = QStringLiteral("34506201");

void TstPgServer::initTestCase()
{
    const QString reason = PgServer::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    m_pg = std::make_unique<PgServer>();
    QVERIFY2(m_pg->start(), qPrintable(m_pg->lastError()));
    QVERIFY2(m_pg->createSchema(), qPrintable(m_pg->lastError()));
}

void TstPgServer::cleanupTestCase()
{
    m_pg.reset(); // stops the server and removes its folder
}

void TstPgServer::init()
{
    QVERIFY2(m_pg->psql(QStringLiteral(
                            "TRUNCATE Jobs RESTART IDENTITY; TRUNCATE Scheds; TRUNCATE "
                            "RteDB.RouteTimes; UPDATE AppStatus SET Status = ''; UPDATE ShibFlag "
                            "SET Flag = 1; DROP TRIGGER IF EXISTS SchedsByRecord ON Scheds; "
                            "ALTER TABLE Scheds DROP CONSTRAINT IF EXISTS SchedsRefused; "
                            "ALTER TABLE Scheds DROP CONSTRAINT IF EXISTS SchedsOnce; ")
                 + PgServer::schedsKey()),
        qPrintable(m_pg->lastError()));
    newGateway();
}

void TstPgServer::newGateway(const QString &source)
{
    m_peer.reset();
    m_rig = std::make_unique<GatewayRig>();
    m_gw = &m_rig->gw;
    m_rig->readyForCycles(source.isEmpty() ? m_pg->connectionString() : source,
        QDateTime(QDate(2026, 12, 7), QTime(10, 0)));
}

void TstPgServer::cleanup()
{
    m_peer.reset();
    m_gw = nullptr;
    m_rig.reset();
}

void TstPgServer::openSessions()
{
    QVERIFY2(m_rig->openSessions(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TstPgServer::addJob(
    int recId, const QString &start, const QString &driver, const QString &car, int count)
{
    const QString when = start.size() == 5 ? QStringLiteral("2026-12-07 ") + start : start;
    QString name = driver;
    name.replace(QLatin1Char('\''), QStringLiteral("''"));
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
                 "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate) SELECT "
                 "'2026-12-07 05:00', 7, '%1', r, 55, '%3', '%4', '2026-12-07 23:00', 123456, "
                 "'ops', '2026-12-06' FROM generate_series(%2, %2 + %5 - 1) r;")
                            .arg(car)
                            .arg(recId)
                            .arg(name, when)
                            .arg(count)),
        qPrintable(m_pg->lastError()));
}

void TstPgServer::cycle()
{
    if (!m_peer) {
        m_peer = std::make_unique<MapPeer>(*m_gw);
        QVERIFY(m_peer->connectGateway());
    }
    QVERIFY(m_rig->runCycle());
}

void TstPgServer::insertAllJobs()
{
    m_rig->onDatabase([](DatabaseWorker &w) {
        const RowSet::Ptr rs = w.sessions().cnJobs->execute(QStringLiteral("Select ")
            + SqlDialect::selectionColumns() + QStringLiteral(" From Jobs Order By PKID"));
        w.queries().InsertScheds(*rs);
    });
}

void TstPgServer::sessionsOpenWithThePostgresDialect()
{
    openSessions();
    int postgres = 0;
    m_rig->onDatabase([&](DatabaseWorker &w) {
        for (const auto &session : {w.sessions().cnJobs, w.sessions().cnORVIKDB}) {
            if (session && session->state() == DbSession::Open && session->connectionStatus() == 1
                && dynamic_cast<PostgresDialect *>(SqlDialect::forSession(*session).get()))
                ++postgres;
        }
    });
    QCOMPARE(postgres, 2);
    QVERIFY(debugLines().isEmpty());
}

// The cycle's sessions and the lease's open on threads of their own, at start
// and after every outage, at the same moment. The driver changes the process's
// locale while it connects; under AddressSanitizer a connect that reads the
// locale name another one freed fails the run.
void TstPgServer::sessionsOpenAtOnceOnThreads()
{
    constexpr int kThreads = 4;
    constexpr int kOpens = 60;
    std::atomic<int> opened{0};
    QStringList failures;
    QMutex failuresLock;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kOpens; ++i) {
                DbSession session;
                session.setProperty(QStringLiteral("Data Source"), m_pg->connectionString());
                session.setConnectionTimeout(20);
                if (auto failure = trapFailure([&] { session.open(); })) {
                    QMutexLocker locked(&failuresLock);
                    failures << failure->description();
                } else if (session.state() == DbSession::Open) {
                    ++opened;
                }
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    QCOMPARE(opened.load(), kThreads * kOpens);
}

// Statements go straight through the driver manager, one request each; the
// values are the SQL module's, type for type.
void TstPgServer::valuesReadAsTheSqlModuleReadsThem()
{
    const QString query = QStringLiteral(
        "SELECT 7::int AS i, 9000000000::bigint AS b, 3::smallint AS s, 12.5::numeric(6,2) AS n, "
        "2.25::float8 AS d, 1.5::real AS r, true AS t, DATE '2026-12-07' AS dt, "
        "TIME '06:05:04' AS tm, TIMESTAMP '2026-12-07 06:05:04.250' AS ts, "
        "'נהג ''דנה'' ' || chr(10) || 'x' AS tx, repeat('ab', 3000)::varchar AS long_text, "
        "'\\x00ff10'::bytea AS by, NULL::int AS ni, NULL::text AS nt, ''::text AS empty "
        "UNION ALL SELECT -1, -2, -3, -4.5, 0, 0, false, DATE '1899-12-30', TIME '00:00', "
        "TIMESTAMP '2000-02-29 23:59:59', 'b', 'c', ''::bytea, 1, 'x', 'y'");
    DbSession session;
    session.setProperty(QStringLiteral("Data Source"), m_pg->connectionString());
    session.setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
    session.open();
    const RowSet::Ptr rs = session.execute(query);

    QSqlDatabase qt = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("qt"));
    qt.setDatabaseName(m_pg->connectionString());
    QVERIFY(qt.open());
    {
        QSqlQuery q(qt);
        QVERIFY(q.exec(query));
        QCOMPARE(rs->fieldCount(), q.record().count());
        int rows = 0;
        rs->moveFirst();
        while (q.next()) {
            QVERIFY(!rs->eof());
            for (int i = 0; i < rs->fieldCount(); ++i) {
                const QVariant ours = rs->field(i);
                const QVariant theirs = q.isNull(i) ? QVariant() : q.value(i);
                QCOMPARE(rs->fieldName(i), q.record().fieldName(i));
                QVERIFY2(ours.isNull() == theirs.isNull() && ours.typeId() == theirs.typeId()
                        && ours == theirs,
                    qPrintable(QStringLiteral("%1: %2 (%3) against %4 (%5)")
                                   .arg(rs->fieldName(i), ours.toString(), ours.typeName(),
                                       theirs.toString(), theirs.typeName())));
            }
            rs->moveNext();
            ++rows;
        }
        QCOMPARE(rows, 2);
    }
    qt.close();
    qt = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("qt"));
}

// A statement the server works on for long is cancelled from another thread
// (the event thread at a stop): it fails at once and the session goes on.
void TstPgServer::statementCancelledFromAnotherThread()
{
    std::shared_ptr<DbSession> session;
    std::atomic<bool> running{false};
    std::optional<Failure> failed;
    QString after;
    std::thread worker([&] {
        session = std::make_shared<DbSession>();
        session->setProperty(QStringLiteral("Data Source"), m_pg->connectionString());
        session->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
        session->open();
        running = true;
        failed = trapFailure([&] { session->execute(QStringLiteral("SELECT pg_sleep(30)")); });
        const RowSet::Ptr rs = session->execute(QStringLiteral("SELECT 'still here'"));
        after = rs->field(0).toString();
        session.reset();
    });
    QTRY_VERIFY(running.load());
    QTest::qWait(300);
    QElapsedTimer took;
    took.start();
    session->cancel();
    worker.join();
    QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
    QVERIFY(failed);
    QVERIFY2(failed->sqlState() == QLatin1String("57014"), qPrintable(failed->description()));
    QCOMPARE(after, QStringLiteral("still here"));
}

void TstPgServer::selectionCopyAndRouteTimes()
{
    const QString awkward = QStringLiteral("O'Brien \\ ? {fn x} דנה");
    addJob(1, QStringLiteral("06:05"), QStringLiteral("Old"));
    addJob(1, QStringLiteral("06:05"), awkward); // newer version of the same job
    addJob(2, QStringLiteral("03:59")); // yesterday's operational day
    addJob(3, QStringLiteral("2026-12-08 03:59"), QStringLiteral("Late"), QStringLiteral("99-1"));
    addJob(4, QStringLiteral("2026-12-08 04:00")); // tomorrow's
    // The daily purge: an order 30 days old without a route end goes; a job
    // without an order date stays, whatever its route end.
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "INSERT INTO Jobs (CarNum, RecID, OrderDate, RouteEnd) VALUES "
                 "('1', 8, '2026-11-07 09:59', NULL), ('1', 9, NULL, '2026-10-01');")),
        qPrintable(m_pg->lastError()));
    // An undated rule comes first on SQL Server; a dated one of today and one
    // long past.
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "INSERT INTO RteDB.RouteTimes VALUES "
                 "('%1', NULL, NULL, '1234567', '1899-12-30 00:00', '1899-12-30 23:59:59', "
                 "'0,5', '1,1'), "
                 "('%1', '2026-12-07', '2026-12-07', '1234567', '1899-12-30 00:00', "
                 "'1899-12-30 23:59:59', '0,9', '2,2'), "
                 "('%1', '2026-11-01', '2026-11-05', '1234567', '1899-12-30 00:00', "
                 "'1899-12-30 23:59:59', '7', '7');")
                            .arg(kRoute)),
        qPrintable(m_pg->lastError()));
    openSessions();

    cycle();
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));

    // The day's newest row of each job is marked and released; nothing stays at 2.
    QCOMPARE(sql(QStringLiteral(
                 "SELECT string_agg(RecID || ':' || UsedFlag, ',' ORDER BY PKID) FROM Jobs")),
        QStringLiteral("1:0,1:1,2:0,3:1,4:0,9:0"));
    QCOMPARE(sql(QStringLiteral("SELECT Flag FROM ShibFlag")), QStringLiteral("0"));
    QVERIFY(sql(QStringLiteral("SELECT Status FROM AppStatus WHERE Type = 'APSTT'"))
                .startsWith(QStringLiteral("Dec  7 2026 10:00AM ")));

    const QString schedsQuery = QStringLiteral(
        "SELECT string_agg(concat_ws('|', IntrMedRecordID, Makat, DriverName, DriverNumber, "
        "to_char(StartTime, 'YYYY-MM-DD HH24:MI'), to_char(EndTime, 'HH24:MI'), Source, "
        "Destination, TruckNumber, TruckID, ORVIKID), E'\\n' ORDER BY IntrMedRecordID) "
        "FROM Scheds");
    const QString expected = QStringLiteral("1|345-62|") + awkward
        + QStringLiteral("|55|2026-12-07 06:05|23:00|||1234567|7|1234567\n"
                         "3|345-62|Late|55|2026-12-08 03:59|23:00|||991|7|991");
    QCOMPARE(sql(schedsQuery), expected);

    // The trip took the undated rule: stops and times from RteDB.RouteTimes.
    QVERIFY(m_gw->day().colLines);
    std::shared_ptr<clsLine> line;
    for (const auto &l : *m_gw->day().colLines) {
        if (l->Makat == kRoute)
            line = l;
    }
    QVERIFY(line);
    const auto trip = line->Scheds.value(QStringLiteral("1"));
    QVERIFY(trip);
    QCOMPARE(trip->DriverName, awkward);
    QCOMPARE(int(trip->Stops), 2);
    QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;5;1"));

    // The next cycle offers the same rows again: they are stored once.
    cycle();
    QCOMPARE(sql(schedsQuery), expected);
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

void TstPgServer::failedSelectionIsUndone()
{
    addJob(1, QStringLiteral("06:05"));
    // The release step fails after the marking has run.
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "CREATE FUNCTION refuse_release() RETURNS trigger AS $$ BEGIN "
                 "IF NEW.UsedFlag = 1 THEN RAISE EXCEPTION 'release refused'; END IF; "
                 "RETURN NEW; END $$ LANGUAGE plpgsql; "
                 "CREATE TRIGGER refuse_release BEFORE UPDATE ON Jobs FOR EACH ROW "
                 "EXECUTE FUNCTION refuse_release();")),
        qPrintable(m_pg->lastError()));
    openSessions();
    cycle();
    const QStringList log = debugLines();
    QVERIFY2(log.size() == 1 && log.first().contains(QStringLiteral("QueryDB: Step - Quering"))
            && log.first().contains(QStringLiteral("release refused")),
        qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM Scheds")), QStringLiteral("0"));
    // A statement that fails on the server leaves the connection working.
    QCOMPARE(m_gw->database().status().jobs.connectionStatus, 1);

    // The marking went back with the failure: the session holds no open
    // transaction (the trigger could not be dropped under its locks) and the
    // next run selects the job.
    QVERIFY2(m_pg->psql(QStringLiteral("SET lock_timeout = '5s'; "
                                       "DROP TRIGGER refuse_release ON Jobs; "
                                       "DROP FUNCTION refuse_release();")),
        qPrintable(m_pg->lastError()));
    QCOMPARE(sql(QStringLiteral("SELECT UsedFlag FROM Jobs")), QStringLiteral("0"));
    cycle();
    QCOMPARE(debugLines().size(), 1);
    QCOMPARE(sql(QStringLiteral("SELECT UsedFlag FROM Jobs")), QStringLiteral("1"));
    QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM Scheds")), QStringLiteral("1"));
}

// A site's Jobs table without its key: rows that share a PKID are each
// judged on their own, as SQL Server's batch judges them, and told once.
void TstPgServer::sharedPkidJudgedRowByRow()
{
    QVERIFY2(m_pg->psql(QStringLiteral("ALTER TABLE Jobs DROP CONSTRAINT jobs_pkey")),
        qPrintable(m_pg->lastError()));
    const auto restoreKey = qScopeGuard([this] {
        m_pg->psql(QStringLiteral("TRUNCATE Jobs; ALTER TABLE Jobs ADD PRIMARY KEY (PKID)"));
    });
    addJob(1, QStringLiteral("06:05"), QStringLiteral("Dana"), QStringLiteral("100"));
    addJob(2, QStringLiteral("06:30"), QStringLiteral("Noa"), QStringLiteral("200"));
    addJob(3, QStringLiteral("03:59"), QStringLiteral("Yesterday"), QStringLiteral("300"));
    QVERIFY2(m_pg->psql(QStringLiteral("UPDATE Jobs SET PKID = 5")), qPrintable(m_pg->lastError()));
    openSessions();
    for (int round = 1; round <= 2; ++round) {
        cycle();
        QCOMPARE(sql(QStringLiteral(
                     "SELECT string_agg(RecID || ':' || UsedFlag, ',' ORDER BY RecID) FROM Jobs")),
            QStringLiteral("1:1,2:1,3:0"));
        QCOMPARE(sql(QStringLiteral("SELECT string_agg(IntrMedRecordID::text, ',' ORDER BY "
                                    "IntrMedRecordID) FROM Scheds")),
            QStringLiteral("1,2"));
        const QStringList told = debugLines().filter(
            QStringLiteral("more than one row of the day with the same PKID"));
        QVERIFY2(told.size() == 1 && debugLines().size() == 1,
            qPrintable(debugLines().join(QLatin1Char('\n'))));
    }
}

void TstPgServer::schedsStoredOnceAcrossSelections_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::newRow("unique key") << true;
    QTest::newRow("no key") << false;
}

void TstPgServer::schedsStoredOnceAcrossSelections()
{
    QFETCH(bool, keyed);
    if (!keyed)
        QVERIFY(m_pg->psql(QStringLiteral("ALTER TABLE Scheds DROP CONSTRAINT SchedsOnce;")));
    addJob(1, QStringLiteral("06:05"));
    addJob(2, QStringLiteral("07:10"), QStringLiteral("Noa"));
    openSessions();
    cycle();
    // A job added mid-day goes in on the next selection.
    addJob(3, QStringLiteral("08:15"), QStringLiteral("Mid"));
    cycle();
    QCOMPARE(schedsSummary(), QStringLiteral("3/3/1/3"));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));

    // The third selection by a restarted gateway learns from the table what
    // is there.
    newGateway();
    openSessions();
    cycle();
    QCOMPARE(schedsSummary(), QStringLiteral("3/3/1/3"));
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
}

// A refusal that is not a unique violation (SQLSTATE 23000 class, but not
// 23505) ends the copy with one record: the row is not taken as stored.
void TstPgServer::refusedRowEndsSchedsCopy_data()
{
    QTest::addColumn<QString>("refuse"); // %1: the refused RecID
    QTest::addColumn<QString>("allow");
    QTest::addColumn<QString>("logged");
    QTest::newRow("CHECK constraint")
        << "ALTER TABLE Scheds ADD CONSTRAINT SchedsRefused CHECK (IntrMedRecordID <> %1);"
        << "ALTER TABLE Scheds DROP CONSTRAINT SchedsRefused;"
        << "schedsrefused";
    QTest::newRow("NOT NULL constraint") << "ALTER TABLE Scheds ALTER COLUMN TruckID SET NOT NULL; "
                                            "UPDATE Jobs SET CarNo = NULL WHERE RecID = %1;"
                                         << "ALTER TABLE Scheds ALTER COLUMN TruckID DROP NOT NULL;"
                                         << "truckid";
}

void TstPgServer::refusedRowEndsSchedsCopy()
{
    QFETCH(QString, refuse);
    QFETCH(QString, allow);
    QFETCH(QString, logged);
    // A table without a key: a row of the refused batch stored twice would show.
    const int batch = mdlQueries::kSchedsBatchRows;
    const int refused = batch + batch / 2 + 1; // mid second batch
    addJob(1, QStringLiteral("06:05"), QStringLiteral("Dana"), QStringLiteral("12-345-67"),
        2 * batch + 50);
    QVERIFY2(m_pg->psql(QStringLiteral("ALTER TABLE Scheds DROP CONSTRAINT SchedsOnce; ")
                 + refuse.arg(refused)),
        qPrintable(m_pg->lastError()));
    openSessions();
    const qint64 before = xid();
    insertAllJobs();
    // Each text that wrote took a transaction number: the refused one is
    // halved down to its bad row, where row by row would have cost some
    // batch / 2 single inserts.
    const qint64 writes = xid() - before - 1;
    QVERIFY2(writes >= 2 && writes < 40, qPrintable(QString::number(writes)));
    QStringList log = debugLines();
    QVERIFY2(log.size() == 1 && log.first().contains(QStringLiteral("InsertScheds"))
            && log.first().contains(logged),
        qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(schedsSummary(), QStringLiteral("%1/%1/1/%1").arg(refused - 1));

    // The session works on, and the next call adds the rest alone.
    QVERIFY(m_pg->psql(allow));
    insertAllJobs();
    QCOMPARE(debugLines().size(), 1);
    QCOMPARE(schedsSummary(), QStringLiteral("%1/%1/1/%1").arg(2 * batch + 50));
}

void TstPgServer::rowAlreadyThereInBatch_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::newRow("unique key, absorbed by the insert") << true;
    // A key refuses the insert, as on SQL Server; here a trigger stands for it,
    // since the insert's ON CONFLICT absorbs a PostgreSQL key.
    QTest::newRow("key refusing the insert") << false;
}

void TstPgServer::rowAlreadyThereInBatch()
{
    QFETCH(bool, keyed);
    const int batch = mdlQueries::kSchedsBatchRows;
    const int there = batch + batch / 2 + 1;
    if (!keyed) {
        QVERIFY2(m_pg->psql(QStringLiteral(
                     "ALTER TABLE Scheds DROP CONSTRAINT SchedsOnce; "
                     "CREATE OR REPLACE FUNCTION scheds_by_record() RETURNS trigger AS $$ BEGIN "
                     "IF EXISTS (SELECT 1 FROM Scheds WHERE IntrMedRecordID = "
                     "NEW.IntrMedRecordID) THEN RAISE unique_violation USING MESSAGE = "
                     "'duplicate key value violates SchedsByRecord'; END IF; RETURN NEW; END "
                     "$$ LANGUAGE plpgsql; CREATE TRIGGER SchedsByRecord BEFORE INSERT ON "
                     "Scheds FOR EACH ROW EXECUTE FUNCTION scheds_by_record();")),
            qPrintable(m_pg->lastError()));
    }
    // The day's first call has read what the table held.
    addJob(1, QStringLiteral("06:05"));
    openSessions();
    insertAllJobs();
    addJob(2, QStringLiteral("06:05"), QStringLiteral("Dana"), QStringLiteral("12-345-67"),
        2 * batch + 49);
    // The row of one job of the second batch, stored behind the gateway's back.
    QVERIFY2(m_pg->psql(QStringLiteral("INSERT INTO Scheds VALUES (%1, '345-62', 'Dana', 55, "
                                       "'2026-12-07 06:05', '2026-12-07 23:00', '', '', "
                                       "'1234567', 7, '1234567');")
                            .arg(there)),
        qPrintable(m_pg->lastError()));
    const qint64 before = xid();
    insertAllJobs();
    const qint64 writes = xid() - before - 1; // transactions that wrote
    QVERIFY2(debugLines().isEmpty(), qPrintable(debugLines().join(QLatin1Char('\n'))));
    QCOMPARE(schedsSummary(), QStringLiteral("%1/%1/1/%1").arg(2 * batch + 50));
    // One transaction per batch; a refused batch goes again in halves down
    // to the row already there (row by row, it had cost a batch of single
    // inserts).
    if (keyed)
        QVERIFY2(writes < 10, qPrintable(QString::number(writes)));
    else
        QVERIFY2(writes > 3 && writes < 40, qPrintable(QString::number(writes)));
}

void TstPgServer::cycleRepairsSessionsAfterServerRestart()
{
    openSessions();
    MapPeer peer(*m_gw);
    QVERIFY(peer.connectGateway());
    addJob(1, QStringLiteral("06:05"));
    QVERIFY(m_rig->runCycle());
    QVERIFY(peer.takeReceived().contains("\\c1234567-06:05-23:00-1:-Dana"));
    QVERIFY(debugLines().isEmpty());

    QVERIFY2(m_pg->stop(), qPrintable(m_pg->lastError()));
    // Cycles while the server is away: each ends in a logged failure, and the
    // timer keeps going.
    for (int i = 0; i < 3; ++i) {
        m_gw->clock().advanceSeconds(15);
        QVERIFY(m_rig->runCycle());
        QVERIFY(m_gw->cycle().tmrDB().isActive());
    }
    // The first failing statement marks the jobs session lost; the cycles after
    // it try to reopen it.
    const QStringList away = debugLines();
    // Each failed reopen is its record and the record of where it was.
    QVERIFY2(away.size() == 7 && away.first().contains(QStringLiteral("QueryDB: Step - "))
            && away.filter(QStringLiteral("SQLConnect: JOBS Data Source = ")).size() == 2
            && away.filter(QStringLiteral("tmrDB_Timer: SQL Server State - 0 Step: 1902")).size()
                == 2,
        qPrintable(away.join(QLatin1Char('\n'))));

    QVERIFY2(m_pg->start(), qPrintable(m_pg->lastError()));
    addJob(2, QStringLiteral("07:10"), QStringLiteral("Noa"));
    // The first cycle reopens the jobs session and the new job reaches the
    // map. The schedules session was idle while the server was away, so its
    // loss shows only when the copy uses it: logged; the route times are then
    // read on that session opened again, so no line goes without its stops.
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    QVERIFY(m_gw->database().status().jobs.present);
    QCOMPARE(m_gw->database().status().jobs.state, int(DbSession::Open));
    QCOMPARE(m_gw->database().status().jobs.connectionStatus, 1);
    QVERIFY(peer.takeReceived().contains("\\c1234567-07:10-23:00-1:-Noa"));
    const QStringList afterRestart = debugLines().mid(away.size());
    // The jobs session's return is told with how long it was away.
    QVERIFY2(afterRestart.size() == 2
            && afterRestart.first().contains(
                QStringLiteral("SQLConnect: JOBS session works again after 30 s (down since "))
            && afterRestart.at(1).contains(QStringLiteral("InsertScheds: Error Number: ")),
        qPrintable(afterRestart.join(QLatin1Char('\n'))));
    QCOMPARE(m_gw->database().status().orvikDb.connectionStatus, 1);

    // The next cycle reopens it and copies the day again, without a failure.
    m_gw->clock().advanceSeconds(15);
    QVERIFY(m_rig->runCycle());
    for (const DbStatus::Session &session :
        {m_gw->database().status().jobs, m_gw->database().status().orvikDb}) {
        QVERIFY(session.present);
        QCOMPARE(session.state, int(DbSession::Open));
        QCOMPARE(session.connectionStatus, 1);
    }
    QCOMPARE(debugLines().size(), away.size() + 2);
    QCOMPARE(sql(QStringLiteral("SELECT string_agg(DriverName, ',' ORDER BY IntrMedRecordID) "
                                "FROM Scheds")),
        QStringLiteral("Dana,Noa"));
    QVERIFY(m_gw->cycle().tmrDB().isActive());
}

// A login that may insert into Scheds but not read it: the day's read is
// refused, one warning says so, and each version not stored in this run goes
// in; the key refuses what is there. After a restart the day is offered
// again: a table without a key then takes copies.
void TstPgServer::schedsWithoutSelect_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<QString>("afterRestart"); // Scheds' rows
    QTest::newRow("unique key") << true << "3/2/1/2";
    QTest::newRow("no key") << false << "5/2/1/2";
}

void TstPgServer::schedsWithoutSelect()
{
    QFETCH(bool, keyed);
    QFETCH(QString, afterRestart);
    if (!keyed)
        QVERIFY(m_pg->psql(QStringLiteral("ALTER TABLE Scheds DROP CONSTRAINT SchedsOnce;")));
    QVERIFY2(m_pg->psql(QStringLiteral(
                 "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'inserter') "
                 "THEN CREATE ROLE inserter LOGIN; END IF; END $$; "
                 "GRANT USAGE ON SCHEMA public, RteDB TO inserter; "
                 "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public, RteDB "
                 "TO inserter; REVOKE SELECT ON Scheds FROM inserter;")),
        qPrintable(m_pg->lastError()));
    QString source = m_pg->connectionString();
    source.replace(QStringLiteral("UID=volmara"), QStringLiteral("UID=inserter"));
    const QString refused = QStringLiteral("InsertScheds: SELECT on Scheds is refused");
    newGateway(source);
    addJob(1, QStringLiteral("06:05"));
    addJob(2, QStringLiteral("07:10"), QStringLiteral("Noa"));
    openSessions();
    cycle();
    cycle();
    QCOMPARE(schedsSummary(), QStringLiteral("2/2/1/2"));
    int inserted = -1;
    m_rig->onDatabase([&](DatabaseWorker &w) { inserted = w.queries().lastInserted(); });
    QCOMPARE(inserted, 0); // stored in this run: not offered again
    // A correction in place is a new version.
    QVERIFY(m_pg->psql(QStringLiteral("UPDATE Jobs SET DriverName = 'Lea' WHERE RecID = 1;")));
    cycle();
    QCOMPARE(schedsSummary(), QStringLiteral("3/2/1/2"));
    QStringList log = debugLines();
    QVERIFY2(log.size() == 1 && log.first().contains(refused)
            && log.first().contains(QStringLiteral("permission denied")),
        qPrintable(log.join(QLatin1Char('\n'))));

    newGateway(source);
    openSessions();
    cycle();
    QCOMPARE(schedsSummary(), afterRestart);
    log = debugLines();
    QVERIFY2(
        log.size() == 1 && log.first().contains(refused), qPrintable(log.join(QLatin1Char('\n'))));

    // The settings check says so, and the outcome is not a failure of its own.
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"),
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=1\r\n[Database]\r\nSQLServer=" + source.toUtf8()
            + "\r\n");
    QString out;
    QTextStream stream(&out);
    ConfigCheck(home.path(), QString()).run(stream);
    const QStringList warned = out.split(QLatin1Char('\n')).filter(QStringLiteral("WARN  "));
    QVERIFY2(warned.size() == 1
            && warned.first().startsWith(QStringLiteral("WARN  database ORVIKDB"))
            && warned.first().contains(QStringLiteral("SELECT on Scheds is refused"))
            && warned.first().contains(QStringLiteral("after a restart")),
        qPrintable(out));
    QVERIFY2(!out.contains(QStringLiteral("FAIL  database")), qPrintable(out));
}

QTEST_GUILESS_MAIN(TstPgServer)
#include "tst_pgserver.moc"
