// Sessions over real SQLite files and over ODBC, the row-set cursor, and
// SQLConnect.

#include "CoreParts.h"
#include "SqliteLock.h"

#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "db/SqliteDialect.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"
#include "settings/Settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>

#include <array>
#include <cstdio>

class TstDbSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void batchGivesClosedResultsThenRows();
    void failedStatementCarriesDriverText();
    void connectionStatusFollowsFiles();
    void connectionStatusFollowsFileIdentity_data();
    void connectionStatusFollowsFileIdentity();
    void missingCatalogFileIsNotCreated();
    void lockedFileFailsSoonAndLeavesNoMarks_data();
    void lockedFileFailsSoonAndLeavesNoMarks();
    void splitKeepsQuotedSemicolons();
    void connectionLossDiagnostics_data();
    void connectionLossDiagnostics();

    void rowSetMoves();
    void rowSetSortFindBookmark();
    void valuesReadAsTheSqlModuleReadsThem_data();
    void valuesReadAsTheSqlModuleReadsThem();
    void preparedInsertAsTheSqlModuleMakesIt_data();
    void preparedInsertAsTheSqlModuleMakesIt();
    void rowSetSortOrder_data();
    void rowSetSortOrder();
    void rowSetKeptPrints();
    void printsTellRowsApart_data();
    void printsTellRowsApart();

    void propertiesInDocumentedOrder();
    void connectionTimeoutSetting_data();
    void connectionTimeoutSetting();
    void reopeningJobsLeavesTheSecondSession();
    void unreachableJobsServerLeavesBothAbsent();
    void odbcServerThatNeverAnswersTimesOut();

private:
    std::unique_ptr<EmbeddedDbParts> m_core;
    SqlConnect *m_connect = nullptr;
    QString m_db;
};

void TstDbSession::init()
{
    // The source relative to the program folder.
    m_core = std::make_unique<EmbeddedDbParts>(QStringLiteral("sqlite:db"));
    m_connect = &m_core->connect;
    m_db = m_core->db;
}

void TstDbSession::cleanup()
{
    m_connect = nullptr;
    m_core.reset();
}

static std::shared_ptr<DbSession> openJobs(const QString &source)
{
    auto s = std::make_shared<DbSession>();
    s->setProperty(QStringLiteral("Data Source"), source);
    s->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
    s->open();
    return s;
}

void TstDbSession::batchGivesClosedResultsThenRows()
{
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    QCOMPARE(s->state(), int(DbSession::Open));
    RowSet::Ptr rs
        = s->execute(QStringLiteral("Update AppStatus Set Status = 'a;b' Where Type = 'APSTT' ; "
                                    "Select Type, Status From AppStatus Order By Type"));
    QCOMPARE(rs->state(), int(RowSet::Closed));
    rs = rs->nextRecordset();
    QVERIFY(rs);
    QCOMPARE(rs->state(), int(RowSet::Open));
    QCOMPARE(rs->field(QStringLiteral("status")).toString(), QStringLiteral("a;b"));
    QVERIFY(!rs->nextRecordset());
}

void TstDbSession::valuesReadAsTheSqlModuleReadsThem_data()
{
    QTest::addColumn<QString>("expression");
    QTest::newRow("whole number") << "9223372036854775807";
    QTest::newRow("real") << "4.5";
    QTest::newRow("text") << "'נהג ''א'' '";
    QTest::newRow("text with NUL") << "'a' || char(0) || 'b'";
    QTest::newRow("blob") << "x'00ff41'";
    QTest::newRow("null") << "NULL";
    QTest::newRow("stored date") << "(Select '2026-12-07 04:00:00')";
    QTest::newRow("failure") << "no_such_column";
}

void TstDbSession::valuesReadAsTheSqlModuleReadsThem()
{
    // Row sets of the embedded files are read without the SQL module; what
    // they hold must not differ from what it would give.
    QFETCH(QString, expression);
    const QString statement = QStringLiteral("SELECT %1 AS \"v\", 1 AS w").arg(expression);
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    RowSet::Ptr rs;
    const auto failure = trapFailure([&] { rs = s->execute(statement); });
    QSqlDatabase module = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("m"));
    module.setDatabaseName(EmbeddedSchema::jobsFile(m_db));
    QVERIFY(module.open());
    {
        QSqlQuery q(module);
        const bool ran = q.exec(statement) && q.next();
        QCOMPARE(bool(failure), !ran);
        if (failure) {
            // The number is SQLite's result code, which depends on the
            // connection's history; the text is the same.
            QCOMPARE(failure->description(), q.lastError().databaseText());
        } else {
            QCOMPARE(rs->fieldNames(), (QStringList{QStringLiteral("v"), QStringLiteral("w")}));
            const QVariant want = q.isNull(0) ? QVariant() : q.value(0);
            const QVariant got = rs->field(0);
            QCOMPARE(got.metaType(), want.metaType());
            QCOMPARE(got, want);
            // The print kept where the row was read is the one a look at
            // the values read makes.
            const std::array<int, 2> both{0, 1};
            QVERIFY(rs->printsKeptOver(both));
            const RowSet plain(rs->fieldNames(), rs->rows());
            QVERIFY(!plain.printsKeptOver(both));
            QCOMPARE(rs->rowPrint(both), plain.rowPrint(both));
        }
    }
    module.close();
    module = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("m"));
}

void TstDbSession::preparedInsertAsTheSqlModuleMakesIt_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("checked"); // refused when 2, or null
    QTest::newRow("text") << QVariant(QStringLiteral("נהג 'א'")) << QVariant(1);
    QTest::newRow("empty text") << QVariant(QString(QLatin1String(""))) << QVariant(1);
    QTest::newRow("null text") << QVariant(QString()) << QVariant(1);
    QTest::newRow("null") << QVariant() << QVariant(1);
    QTest::newRow("whole number") << QVariant(qlonglong(9223372036854775807)) << QVariant(1);
    QTest::newRow("int") << QVariant(-5) << QVariant(1);
    QTest::newRow("truth") << QVariant(true) << QVariant(1);
    QTest::newRow("real") << QVariant(4.5) << QVariant(1);
    QTest::newRow("bytes") << QVariant(QByteArray("\0\xff", 2)) << QVariant(1);
    QTest::newRow("null bytes") << QVariant(QByteArray()) << QVariant(1);
    QTest::newRow("date") << QVariant(QDate(2026, 12, 7)) << QVariant(1);
    QTest::newRow("refused: CHECK") << QVariant(QStringLiteral("a")) << QVariant(2);
    QTest::newRow("refused: NOT NULL") << QVariant(QStringLiteral("a")) << QVariant();
    QTest::newRow("refused: UNIQUE") << QVariant(QStringLiteral("twice")) << QVariant(1);
    QTest::newRow("refused: trigger") << QVariant(QStringLiteral("boom")) << QVariant(1);
}

// The Scheds copy's inserts on the embedded files are bound without the SQL
// module; what they store, and how they fail, must not differ from it.
void TstDbSession::preparedInsertAsTheSqlModuleMakesIt()
{
    QFETCH(QVariant, value);
    QFETCH(QVariant, checked);
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    QSqlDatabase module = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("m"));
    module.setDatabaseName(EmbeddedSchema::jobsFile(m_db));
    QVERIFY(module.open());
    for (const QString &table : {QStringLiteral("ByModule"), QStringLiteral("BySession")}) {
        for (const QString &statement :
            {QStringLiteral("CREATE TABLE %1 (v, w INTEGER NOT NULL CHECK (w <> 2))"),
                QStringLiteral("CREATE UNIQUE INDEX %1Twice ON %1 (v) WHERE v = 'twice'"),
                QStringLiteral("CREATE TRIGGER %1Boom BEFORE INSERT ON %1 WHEN NEW.v = 'boom' "
                               "BEGIN SELECT RAISE(ABORT, 'no boom'); END"),
                QStringLiteral("INSERT INTO %1 VALUES ('twice', 1)")}) {
            QSqlQuery make(module);
            QVERIFY2(make.exec(statement.arg(table)), qPrintable(make.lastError().text()));
        }
    }
    const QString insert = QStringLiteral("INSERT INTO %1 (v, w) VALUES (?, ?)");
    const auto failure = trapFailure([&] {
        s->executePrepared(insert.arg(QStringLiteral("BySession")), {value, checked});
    });
    {
        QSqlQuery q(module);
        QVERIFY(q.prepare(insert.arg(QStringLiteral("ByModule"))));
        q.addBindValue(value);
        q.addBindValue(checked);
        const bool ran = q.exec();
        QCOMPARE(bool(failure), !ran);
        if (failure) {
            QCOMPARE(QString::number(failure->number()), q.lastError().nativeErrorCode());
            QCOMPARE(QString(failure->description())
                         .replace(QStringLiteral("BySession"), QStringLiteral("ByModule")),
                q.lastError().databaseText());
        }
        const auto stored = [&](const QString &table) {
            QSqlQuery read(module);
            read.exec(QStringLiteral("SELECT group_concat(typeof(v) || ':' || quote(v), '|') "
                                     "FROM %1")
                          .arg(table));
            return read.next() ? read.value(0).toString() : QStringLiteral("<none>");
        };
        QCOMPARE(stored(QStringLiteral("BySession")), stored(QStringLiteral("ByModule")));
    }
    module.close();
    module = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("m"));
    // The session's statement is usable again after a refusal.
    s->executePrepared(insert.arg(QStringLiteral("BySession")), {QStringLiteral("after"), 1});
    QCOMPARE(s->execute(QStringLiteral("SELECT COUNT(*) FROM BySession WHERE v = 'after'"))
                 ->field(0)
                 .toInt(),
        1);
}

void TstDbSession::failedStatementCarriesDriverText()
{
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    try {
        s->execute(QStringLiteral("Select Nope From Jobs"));
        QFAIL("no failure");
    } catch (const Failure &f) {
        QVERIFY2(f.description().contains(QStringLiteral("Nope")), qPrintable(f.description()));
        QVERIFY(f.number() != 0);
    }
    // The session stays usable.
    QCOMPARE(s->execute(QStringLiteral("Select Flag From ShibFlag"))->recordCount(), 1);
}

void TstDbSession::connectionStatusFollowsFiles()
{
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    QCOMPARE(s->property(QStringLiteral("Connection Status")).toInt(), 1);
    QVERIFY(QFile::remove(EmbeddedSchema::routeTimesFile(m_db)));
    QCOMPARE(s->connectionStatus(), 0);
    s->close();
    QCOMPARE(s->state(), int(DbSession::Closed));
    QCOMPARE(s->connectionStatus(), 0);
}

// A file restored by rename in the place of an open one is another file: the
// session must be reopened to read it.
void TstDbSession::connectionStatusFollowsFileIdentity_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("how"); // rename, remove, write
    QTest::addColumn<QString>("change");
    QTest::newRow("jobs file restored by rename") << "ORVIK_Jobs.sqlite"
                                                  << "rename"
                                                  << "ORVIK_Jobs.sqlite was replaced";
    QTest::newRow("route-times file restored by rename") << "RteDB.sqlite"
                                                         << "rename"
                                                         << "RteDB.sqlite was replaced";
    QTest::newRow("jobs file removed") << "ORVIK_Jobs.sqlite"
                                       << "remove"
                                       << "ORVIK_Jobs.sqlite is gone";
    QTest::newRow("jobs file written by another program") << "ORVIK_Jobs.sqlite"
                                                          << "write"
                                                          << "";
    // The session stays read-only after the file's mode is put right: only a
    // new open writes again.
    QTest::newRow("jobs file refused a write as read-only")
        << "ORVIK_Jobs.sqlite"
        << "read-only"
        << "ORVIK_Jobs.sqlite is open read-only";
}

void TstDbSession::connectionStatusFollowsFileIdentity()
{
    QFETCH(QString, name);
    QFETCH(QString, how);
    QFETCH(QString, change);
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    QCOMPARE(s->connectionStatus(), 1);
    QCOMPARE(s->fileChange(), QString());
    const QString file = QDir(m_db).filePath(name);
    if (how == QLatin1String("rename")) {
        const QString other = m_core->home.file(QStringLiteral("restore"));
        EmbeddedSchema::create(other);
        QVERIFY(::rename(QFile::encodeName(QDir(other).filePath(name)).constData(),
                    QFile::encodeName(file).constData())
            == 0);
    } else if (how == QLatin1String("remove")) {
        QVERIFY(QFile::remove(file));
    } else if (how == QLatin1String("read-only")) {
        // What a file SQLite could not open for writing gives (a test run as
        // root writes a file of any mode).
        s->execute(QStringLiteral("PRAGMA query_only = ON"));
        try {
            s->execute(QStringLiteral("UPDATE ShibFlag SET Flag = 1"));
            QFAIL("a write to a read-only session went through");
        } catch (const Failure &failure) {
            QVERIFY2(failure.description().contains(QLatin1String("readonly")),
                qPrintable(failure.description()));
        }
    } else {
        EmbeddedSchema::run(file, {QStringLiteral("UPDATE ShibFlag SET Flag = 1")});
    }
    QCOMPARE(s->connectionStatus(), change.isEmpty() ? 1 : 0);
    QCOMPARE(s->property(QStringLiteral("Connection Status")).toInt(), change.isEmpty() ? 1 : 0);
    QVERIFY2(change.isEmpty() ? s->fileChange().isEmpty() : s->fileChange().endsWith(change),
        qPrintable(s->fileChange()));
    if (how == QLatin1String("read-only")) {
        s->close();
        s->open();
        s->execute(QStringLiteral("UPDATE ShibFlag SET Flag = 1"));
        QCOMPARE(s->connectionStatus(), 1);
        QCOMPARE(s->fileChange(), QString());
    }
}

void TstDbSession::missingCatalogFileIsNotCreated()
{
    auto s = std::make_shared<DbSession>();
    s->setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_db);
    s->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("NoSuch"));
    QVERIFY_THROWS_EXCEPTION(Failure, s->open());
    QVERIFY(!QFile::exists(m_db + QStringLiteral("/NoSuch.sqlite")));
    QCOMPARE(s->state(), int(DbSession::Closed));
}

// The selection batch marks the day's jobs 2, reads them and marks them 1 in
// one transaction: a lock before it or at its commit ends it within seconds,
// rolled back, and the next run goes through.
void TstDbSession::lockedFileFailsSoonAndLeavesNoMarks_data()
{
    QTest::addColumn<QString>("journal");
    QTest::addColumn<QString>("holder"); // how the other program holds the file
    QTest::newRow("a writer holds the file") << "WAL"
                                             << "BEGIN EXCLUSIVE";
    QTest::newRow("a reader holds the commit back") << "DELETE"
                                                    << "BEGIN";
}

void TstDbSession::lockedFileFailsSoonAndLeavesNoMarks()
{
    QFETCH(QString, journal);
    QFETCH(QString, holder);
    const QString file = EmbeddedSchema::jobsFile(m_db);
    auto s = openJobs(QStringLiteral("sqlite:") + m_db);
    s->execute(QStringLiteral("PRAGMA journal_mode=") + journal);
    s->execute(QStringLiteral("INSERT INTO Jobs (CarNo, CarNum, RecID, RouteStart, RouteEnd, "
                              "RouteCode, UsedFlag) VALUES (7, '12-345-67', 1, "
                              "'2026-12-07 06:05:00', '2026-12-07 23:00:00', 123456, 0)"));
    const QString batch
        = SqliteDialect().selectionBatch(QDateTime(QDate(2026, 12, 7), QTime(10, 0)));
    auto marks
        = [&] { return s->execute(QStringLiteral("SELECT UsedFlag FROM Jobs"))->field(0).toInt(); };
    {
        SqliteLock lock(file, holder);
        QVERIFY2(lock.held(), qPrintable(lock.error()));
        QElapsedTimer took;
        took.start();
        try {
            s->execute(batch);
            QFAIL("the batch ran on a locked file");
        } catch (const Failure &f) {
            qInfo(
                "the batch gave up after %lld ms: %s", took.elapsed(), qPrintable(f.description()));
            QVERIFY2(f.description().contains(QStringLiteral("database is locked"))
                    && f.description().contains(QStringLiteral("ORVIK_Jobs.sqlite")),
                qPrintable(f.description()));
        }
        QVERIFY2(took.elapsed() < 10000, qPrintable(QString::number(took.elapsed())));
    }
    QCOMPARE(marks(), 0);
    // Nothing of the failed run is left open: the same session runs it now.
    RowSet::Ptr rs = s->execute(batch);
    while (rs && rs->state() == RowSet::Closed)
        rs = rs->nextRecordset();
    QVERIFY(rs);
    QCOMPARE(rs->recordCount(), 1);
    QCOMPARE(marks(), 1);
}

void TstDbSession::splitKeepsQuotedSemicolons()
{
    QCOMPARE(DbSession::splitStatements(QStringLiteral("a 'x;''y' ; b -- c;\n ; /* ; */ d")),
        (QStringList{
            QStringLiteral("a 'x;''y'"), QStringLiteral("b -- c;"), QStringLiteral("/* ; */ d")}));
}

void TstDbSession::rowSetMoves()
{
    RowSet empty(QStringList{QStringLiteral("A")}, {});
    QVERIFY(empty.bof() && empty.eof());
    QVERIFY_THROWS_EXCEPTION(Failure, empty.moveFirst());
    QVERIFY_THROWS_EXCEPTION(Failure, empty.field(0));

    RowSet rs(QStringList{QStringLiteral("Name"), QStringLiteral("N")},
        {RowSet::Row{QStringLiteral("a"), QVariant()}, RowSet::Row{QStringLiteral("b"), 2}});
    QVERIFY(!rs.eof());
    QVERIFY(rs.field(QStringLiteral("n")).isNull());
    rs.moveNext();
    QCOMPARE(rs.field(1).toInt(), 2);
    rs.moveNext();
    QVERIFY(rs.eof());
    QVERIFY_THROWS_EXCEPTION(Failure, rs.moveNext());
    try {
        rs.moveFirst();
        rs.field(QStringLiteral("Missing"));
        QFAIL("no failure");
    } catch (const Failure &f) {
        QCOMPARE(f.number(), int(Failure::ItemNotFound));
    }
}

void TstDbSession::rowSetSortFindBookmark()
{
    RowSet rs(QStringList{QStringLiteral("RouteName"), QStringLiteral("fromTime")},
        {RowSet::Row{QStringLiteral("b"), 10}, RowSet::Row{QStringLiteral("a"), 9},
            RowSet::Row{QStringLiteral("B"), 2}, RowSet::Row{QStringLiteral("O'Neil"), 1}});
    rs.setSort(QStringLiteral("RouteName ASC, fromTime ASC"));
    QCOMPARE(rs.field(0).toString(), QStringLiteral("a"));
    rs.find(QStringLiteral("RouteName = 'b'"));
    QCOMPARE(rs.field(1).toInt(), 2); // letter case ignored, the first from here
    const int mark = rs.bookmark();
    rs.moveNext();
    rs.find(QStringLiteral("RouteName = 'O''Neil'"));
    QCOMPARE(rs.field(1).toInt(), 1);
    rs.find(QStringLiteral("RouteName = 'a'")); // forward only
    QVERIFY(rs.eof());
    rs.setBookmark(mark);
    QCOMPARE(rs.field(1).toInt(), 2);
}

void TstDbSession::rowSetSortOrder_data()
{
    // Rows of (tag, k1, k2); the expected order is given by the tags.
    QTest::addColumn<QVariantList>("k1");
    QTest::addColumn<QVariantList>("k2");
    QTest::addColumn<QString>("criteria");
    QTest::addColumn<QString>("order");
    const QVariant null;
    QTest::newRow("numbers, nulls first")
        << QVariantList{3, null, 1, 2.5} << QVariantList{0, 0, 0, 0} << "k1 ASC"
        << "bcda";
    QTest::newRow("descending, nulls last")
        << QVariantList{3, null, 1, 2.5} << QVariantList{0, 0, 0, 0} << "k1 DESC"
        << "adcb";
    QTest::newRow("number against numeric text")
        << QVariantList{10, QStringLiteral("9"), QStringLiteral("x"), 11}
        << QVariantList{0, 0, 0, 0} << "k1"
        << "badc";
    QTest::newRow("texts ignore letter case") << QVariantList{QStringLiteral("b"),
        QStringLiteral("A"), QStringLiteral("a"), QStringLiteral("B")}
                                              << QVariantList{0, 0, 0, 0} << "k1"
                                              << "bcad";
    QTest::newRow("second key, equal rows keep their order")
        << QVariantList{1, 1, 2, 1} << QVariantList{5, 4, 0, 5} << "k1, k2 DESC"
        << "adbc";
    QTest::newRow("date-times") << QVariantList{QDateTime(QDate(2026, 1, 2), QTime(8, 0)),
        QDateTime(QDate(2026, 1, 1), QTime(9, 0)), QDateTime(QDate(2026, 1, 2), QTime(7, 0)), null}
                                << QVariantList{0, 0, 0, 0} << "k1"
                                << "dbca";
}

void TstDbSession::rowSetSortOrder()
{
    QFETCH(QVariantList, k1);
    QFETCH(QVariantList, k2);
    QFETCH(QString, criteria);
    QFETCH(QString, order);
    QVector<RowSet::Row> rows;
    for (int i = 0; i < k1.size(); ++i)
        rows << RowSet::Row{QString(QChar(u'a' + i)), k1.at(i), k2.at(i)};
    RowSet rs(QStringList{QStringLiteral("tag"), QStringLiteral("k1"), QStringLiteral("k2")}, rows);
    rs.setSort(criteria);
    QString got;
    for (; !rs.eof(); rs.moveNext())
        got += rs.field(0).toString();
    QCOMPARE(got, order);
}

// Prints made where the rows are read and looked up later must be the ones
// a fresh look would make, row for row, also after the rows were sorted
// again; and none is given for other columns than it was made over.
void TstDbSession::rowSetKeptPrints()
{
    const QVector<RowSet::Row> rows{{QStringLiteral("c"), 3, QStringLiteral("x")},
        {QStringLiteral("a"), QVariant(), QStringLiteral("y")}, {QStringLiteral("b"), 3, 2.5},
        {QStringLiteral("d"), 1, QStringLiteral("x")}};
    const QStringList names{QStringLiteral("tag"), QStringLiteral("k1"), QStringLiteral("k2")};
    const QVector<int> both{1, 2};
    const std::array<int, 2> bothArray{1, 2};
    const std::array<int, 2> other{2, 1};
    // What each row prints to, by its tag, made on a row set that keeps none.
    QHash<QString, quint64> fresh, freshOther;
    RowSet plain(names, rows);
    for (; !plain.eof(); plain.moveNext()) {
        fresh.insert(plain.field(0).toString(), plain.rowPrint(bothArray));
        freshOther.insert(plain.field(0).toString(), plain.rowPrint(other));
    }
    QCOMPARE(QSet<quint64>(fresh.cbegin(), fresh.cend()).size(), rows.size());

    RowSet rs(names, rows);
    const auto check = [&](const char *when) {
        for (rs.moveFirst(); !rs.eof(); rs.moveNext()) {
            const QString tag = rs.field(0).toString();
            QVERIFY2(rs.rowPrint(bothArray) == fresh.value(tag), when);
            QVERIFY2(rs.rowPrint(other) == freshOther.value(tag), when);
        }
    };
    QVERIFY(!rs.printsKeptOver(std::array<int, 1>{1}));
    rs.keepPrints(both);
    check("kept");
    QVERIFY(rs.printsKeptOver(std::array<int, 1>{2}));
    QVERIFY(rs.printsKeptOver(other));
    QVERIFY(!rs.printsKeptOver(std::array<int, 2>{0, 1}));
    rs.setSort(QStringLiteral("tag"));
    check("sorted again");
    // Asked over fewer columns than they cover, the kept prints are given,
    // taken along with their rows; over others, the row's own print.
    const std::array<int, 1> second{2};
    const std::array<int, 2> tagAndFirst{0, 1};
    for (rs.moveFirst(); !rs.eof(); rs.moveNext()) {
        QCOMPARE(rs.changePrint(second), fresh.value(rs.field(0).toString()));
        QCOMPARE(rs.changePrint(tagAndFirst), rs.rowPrint(tagAndFirst));
        QVERIFY(rs.changePrint(tagAndFirst) != fresh.value(rs.field(0).toString()));
    }
    rs.keepPrints(both);
    rs.setSort(QStringLiteral("tag")); // the same order: nothing moves
    check("the same order");
    QVERIFY_THROWS_EXCEPTION(Failure, rs.keepPrints(QVector<int>{1, -1}));
    check("after a failed keep");
}

// A row whose print is the one of last cycle is passed over: rows that
// differ, however little, must print apart, and equal ones alike.
void TstDbSession::printsTellRowsApart_data()
{
    QTest::addColumn<QVariantList>("a");
    QTest::addColumn<QVariantList>("b");
    const QDateTime at(QDate(2026, 12, 7), QTime(4, 0));
    QTest::newRow("last letter past a word") << QVariantList{QStringLiteral("נהג מספר 12"), 1}
                                             << QVariantList{QStringLiteral("נהג מספר 13"), 1};
    QTest::newRow("texts swapped") << QVariantList{QStringLiteral("a"), QStringLiteral("b")}
                                   << QVariantList{QStringLiteral("b"), QStringLiteral("a")};
    QTest::newRow("split elsewhere") << QVariantList{QStringLiteral("ab"), QStringLiteral("c")}
                                     << QVariantList{QStringLiteral("a"), QStringLiteral("bc")};
    QTest::newRow("empty and null") << QVariantList{QString(""), 1} << QVariantList{QVariant(), 1};
    QTest::newRow("a NUL more") << QVariantList{QStringLiteral("a"), 1}
                                << QVariantList{QString(QStringLiteral("a")).append(QChar(0)), 1};
    QTest::newRow("number and its text")
        << QVariantList{qlonglong(1), 1} << QVariantList{QStringLiteral("1"), 1};
    QTest::newRow("whole and real") << QVariantList{qlonglong(1), 1} << QVariantList{1.0, 1};
    QTest::newRow("reals") << QVariantList{0.5, 1} << QVariantList{0.25, 1};
    QTest::newRow("a millisecond") << QVariantList{at, 1} << QVariantList{at.addMSecs(1), 1};
    QTest::newRow("bytes and text")
        << QVariantList{QByteArray("ab"), 1} << QVariantList{QStringLiteral("ab"), 1};
    QTest::newRow("eight letters and nine") << QVariantList{QStringLiteral("abcdefgh"), 1}
                                            << QVariantList{QStringLiteral("abcdefghi"), 1};
}

void TstDbSession::printsTellRowsApart()
{
    QFETCH(QVariantList, a);
    QFETCH(QVariantList, b);
    const QStringList names{QStringLiteral("x"), QStringLiteral("y")};
    const std::array<int, 2> both{0, 1};
    const auto printOf = [&](const QVariantList &values) {
        return RowSet(names, {RowSet::Row(values.cbegin(), values.cend())}).rowPrint(both);
    };
    QVERIFY(printOf(a) != printOf(b));
    // The same values, made anew, print alike.
    QVariantList again;
    for (const QVariant &v : a)
        again << (v.metaType().id() == QMetaType::QString ? QVariant(v.toString() + QString()) : v);
    QCOMPARE(printOf(again), printOf(a));
}

void TstDbSession::propertiesInDocumentedOrder()
{
    auto jobs = m_connect->makeJobsSession();
    QCOMPARE(jobs->propertyOrder(),
        (QStringList{QStringLiteral("Provider"), QStringLiteral("CursorLocation"),
            QStringLiteral("CommandTimeout"), QStringLiteral("Data Source"),
            QStringLiteral("Initial Catalog"), QStringLiteral("User ID"),
            QStringLiteral("Password"), QStringLiteral("ConnectionTimeout")}));
    QCOMPARE(jobs->commandTimeout(), 120);
    QCOMPARE(jobs->connectionTimeout(), 20);
    QCOMPARE(jobs->provider(), QStringLiteral("SQLOLEDB"));
    QCOMPARE(jobs->cursorLocation(), 3);

    m_core->settings.WriteINI(
        QStringLiteral("Database"), QStringLiteral("Connection TimeOut"), QStringLiteral("5"));
    m_core->settings.WriteINI(
        QStringLiteral("Database"), QStringLiteral("ORVIKDBServer"), QStringLiteral("site-db"));
    auto second = m_connect->makeOrvikDbSession();
    QCOMPARE(second->propertyOrder(),
        (QStringList{QStringLiteral("Provider"), QStringLiteral("CursorLocation"),
            QStringLiteral("CommandTimeout"), QStringLiteral("Integrated Security"),
            QStringLiteral("Data Source"), QStringLiteral("Initial Catalog"),
            QStringLiteral("ConnectionTimeout")}));
    QCOMPARE(second->connectionTimeout(), 5);
    QCOMPARE(second->dataSource(), QStringLiteral("site-db"));
    // Integrated security is the driver's trusted connection, without a password.
    const QString cs = second->odbcConnectionString();
    QVERIFY2(cs.contains(QStringLiteral("Trusted_Connection=yes")), qPrintable(cs));
    QVERIFY(!cs.contains(QStringLiteral("PWD")));
    QVERIFY(cs.contains(QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server}")));
}

// The setting as the ODBC driver gets it: 0 is no limit there too, not the
// shortest one.
void TstDbSession::connectionTimeoutSetting_data()
{
    QTest::addColumn<QString>("setting"); // empty: not in the file
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("options");
    QTest::newRow("not set") << "" << 20
                             << "SQL_ATTR_LOGIN_TIMEOUT=20;SQL_ATTR_CONNECTION_TIMEOUT=20";
    QTest::newRow("no limit") << "0" << 0
                              << "SQL_ATTR_LOGIN_TIMEOUT=0;SQL_ATTR_CONNECTION_TIMEOUT=0";
    QTest::newRow("five") << "5" << 5 << "SQL_ATTR_LOGIN_TIMEOUT=5;SQL_ATTR_CONNECTION_TIMEOUT=5";
    QTest::newRow("negative") << "-3" << -3
                              << "SQL_ATTR_LOGIN_TIMEOUT=1;SQL_ATTR_CONNECTION_TIMEOUT=1";
}

void TstDbSession::connectionTimeoutSetting()
{
    QFETCH(QString, setting);
    QFETCH(int, seconds);
    QFETCH(QString, options);
    if (!setting.isEmpty())
        QVERIFY(m_core->settings.WriteINI(
            QStringLiteral("Database"), QStringLiteral("Connection TimeOut"), setting));
    for (const auto &session : {m_connect->makeJobsSession(), m_connect->makeOrvikDbSession()}) {
        QCOMPARE(session->connectionTimeout(), seconds);
        QCOMPARE(session->odbcConnectOptions(), options);
    }
}

void TstDbSession::reopeningJobsLeavesTheSecondSession()
{
    QVERIFY(m_connect->SQLConnect());
    auto jobs = m_core->sessions.cnJobs;
    auto second = m_core->sessions.cnORVIKDB;
    QVERIFY(jobs && second);

    QVERIFY(m_connect->SQLConnect(SqlConnect::Which::Jobs));
    QVERIFY(m_core->sessions.cnJobs && m_core->sessions.cnJobs != jobs);
    QCOMPARE(jobs->state(), int(DbSession::Closed));
    QCOMPARE(m_core->sessions.cnORVIKDB, second);
    QCOMPARE(second->state(), int(DbSession::Open));
    QVERIFY(!m_connect->lastFailure());
    // The second session sees the route-times file.
    QCOMPARE(
        second->execute(QStringLiteral("Select Count(*) From RteDB.RouteTimes"))->field(0).toInt(),
        0);
}

// The open runs on the database thread and shows nothing: the failure is
// logged and handed back, for the logon dialog's box on the event thread.
void TstDbSession::unreachableJobsServerLeavesBothAbsent()
{
    QVERIFY(m_connect->SQLConnect() && m_core->sessions.cnORVIKDB);

    m_core->windows.setLoaded(WindowTable::Window::LogOn, true);
    m_core->sessions.strSQLServer = QStringLiteral("sqlite:nowhere");
    QVERIFY(!m_connect->SQLConnect(SqlConnect::Which::Both));
    QVERIFY(!m_core->sessions.cnJobs);
    QVERIFY(!m_core->sessions.cnORVIKDB); // closed first, never reopened
    QVERIFY(m_connect->lastFailure() && m_connect->lastFailure()->number() != 0);
    QVERIFY(m_core->ui.messages.isEmpty());
    QVERIFY(m_connect->lastFailure()->description().contains(QStringLiteral("does not exist")));
    // The failure as operators search for it (no message), then where.
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 2);
    QVERIFY2(
        log.at(0).contains(QStringLiteral(" SQLConnect: Error Number: ")), qPrintable(log.at(0)));
    QVERIFY2(log.at(1).contains(QStringLiteral(
                 " SQLConnect: JOBS Data Source = sqlite:nowhere, Catalog = ORVIK_Jobs")),
        qPrintable(log.at(1)));
}

void TstDbSession::odbcServerThatNeverAnswersTimesOut()
{
    // A server that takes the connection and never says a word.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    m_core->settings.WriteINI(
        QStringLiteral("Database"), QStringLiteral("Connection TimeOut"), QStringLiteral("2"));
    m_core->sessions.strSQLServer
        = QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=%1;"
                         "DATABASE=ORVIK_Jobs;UID=orvikuser;PWD=x;")
              .arg(silent.serverPort());
    m_core->windows.setLoaded(WindowTable::Window::LogOn, true);
    QElapsedTimer t;
    t.start();
    const bool ok = m_connect->SQLConnect(SqlConnect::Which::Jobs);
    const qint64 ms = t.elapsed();
    QVERIFY(!ok);
    QVERIFY(!m_core->sessions.cnJobs);
    // Without the time-out the driver would wait for the server for ever.
    QVERIFY2(ms < 30000, qPrintable(QString::number(ms)));
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 2);
    qInfo() << "after" << ms << "ms:" << log.first();
    QVERIFY(log.first().contains(QStringLiteral("SQLConnect")));
    QVERIFY2(log.first().contains(QStringLiteral("timeout"), Qt::CaseInsensitive)
            || log.first().contains(QStringLiteral("time-out"), Qt::CaseInsensitive)
            || log.first().contains(QStringLiteral("timed out"), Qt::CaseInsensitive),
        qPrintable(log.first()));
    // The box at the logon dialog is the supervisor's, on the event thread.
    QVERIFY(m_connect->lastFailure());
}

QTEST_GUILESS_MAIN(TstDbSession)
void TstDbSession::connectionLossDiagnostics_data()
{
    QTest::addColumn<QString>("sqlState");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("lost");
    QTest::newRow("communication link failure") << "08S01"
                                                << "Communication link failure" << true;
    QTest::newRow("connection refused") << "08001"
                                        << "could not connect" << true;
    QTest::newRow("psqlODBC lost, general state")
        << "HY000"
        << "The connection has been lost;\nError while preparing parameters" << true;
    QTest::newRow("psqlODBC prepare on a dead connection")
        << ""
        << "SQLPrepareW unable due to the connection lost" << true;
    QTest::newRow("psqlODBC no connection") << ""
                                            << "There is no connection now" << true;
    QTest::newRow("server shut down under the session")
        << "57P01"
        << "The connection is down Failed to send 'Update AppStatus'" << true;
    QTest::newRow("unknown column") << "42703"
                                    << "column \"nosuch\" does not exist" << false;
    QTest::newRow("query time-out") << "HYT00"
                                    << "Query timeout expired" << false;
    QTest::newRow("duplicate key") << "23505"
                                   << "duplicate key value" << false;
}

void TstDbSession::connectionLossDiagnostics()
{
    QFETCH(QString, sqlState);
    QFETCH(QString, text);
    QFETCH(bool, lost);
    QCOMPARE(OdbcStatement::isConnectionLoss(sqlState, text), lost);
}

#include "tst_dbsession.moc"
