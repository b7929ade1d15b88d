// The job selection and the schedules insert on real embedded files.

#include "CoreParts.h"

#include "common/LineKey.h"
#include "common/MenuMarks.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "db/mdlQueries.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/RowSet.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <cstdio>

namespace {

const QDate kDay(2026, 12, 7);

QDateTime at(int dayOffset, int h, int m, int s = 0)
{
    return QDateTime(kDay.addDays(dayOffset), QTime(h, m, s));
}

} // namespace

class TstQueries : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void operationalDayBoundary_data();
    void operationalDayBoundary();
    void newestRowOfVehicleAndRecIdOnly();
    void sharedPkidTakenAndToldOnce();
    void everyFlagTakenAndReleased_data();
    void everyFlagTakenAndReleased();
    void purgeOncePerCalendarDay();
    void statusRows();
    void queryTraceOncePerMark();
    void emptyDay_data();
    void emptyDay();
    void rowsGoToDumpInsertThenProcessing();
    void failureExitLogsStep_data();
    void failureExitLogsStep();

    void schedsValues_data();
    void schedsValues();
    void secondOfThreeInsertsFails_data();
    void secondOfThreeInsertsFails();
    void rowWithBadValuesIsPassedOver();
    void quotesStoredAsRead();
    void lineListWithNulIsStored();
    void nulInDriverNameKeepsLaterRows();
    void identicalRowStoredOnce();
    void eachJobRowStoredOnce_data();
    void eachJobRowStoredOnce();
    void correctionBackIsStoredAgain_data();
    void correctionBackIsStoredAgain();

    void restoredSchedsGetTheDaysRowsAgain();
    void demoDatabaseGivesNewestJobs();
    void largeDayIsDeliveredWhole_data();
    void largeDayIsDeliveredWhole();

private:
    qint64 addJob(const QString &carNum, int recId, const QDateTime &start, int routeCode = 10512,
        const QString &driver = QStringLiteral("Dana"), int usedFlag = 0,
        const QString &orderDate = QString());
    QVariant scalar(const QString &file, const QString &sql);
    // volmara-dbinit's exit code, -1 when it did not end.
    static QString dbinitTool();
    static int dbinit(const QStringList &arguments);
    QList<qint64> delivered(); // PKIDs at UsedFlag 1
    RowSet::Ptr query(QueryMode mode = QueryMode::QueryAll);
    // One selection; its rows are counted as the jobs processing would be
    // handed them. False when it failed.
    bool select(QueryMode &mode);
    // Counts what the jobs processing would be handed.
    mdlQueries::Selection handOn(const mdlQueries::Selection &selection);

    std::unique_ptr<EmbeddedDbParts> m_core;
    SqlConnect *m_connect = nullptr;
    std::unique_ptr<mdlQueries> m_queries;
    QString m_db;
    int m_processed = 0;
    int m_processedRows = 0;
    int m_schedsWhenProcessed = -1;
};

void TstQueries::init()
{
    m_core = std::make_unique<EmbeddedDbParts>(QStringLiteral("sqlite:db"));
    CoreParts &core = *m_core;
    m_db = m_core->db;
    m_connect = &m_core->connect;
    m_queries = std::make_unique<mdlQueries>(
        core.sessions, core.rows, core.marks, core.clock, core.log, core.home.path());
    core.clock.setNow(at(0, 10, 0));
    m_core->rows.strVersion = QStringLiteral("Version 3.0.50");
    m_core->rows.strStatus = QStringLiteral("All OK");
    QVERIFY(m_connect->SQLConnect());
    m_processed = m_processedRows = 0;
    m_schedsWhenProcessed = -1;
}

void TstQueries::cleanup()
{
    m_queries.reset();
    m_connect = nullptr;
    m_core.reset();
}

bool TstQueries::select(QueryMode &mode)
{
    return !handOn(m_queries->QueryDB(mode)).failed;
}

mdlQueries::Selection TstQueries::handOn(const mdlQueries::Selection &selection)
{
    if (selection.rows) {
        ++m_processed;
        m_processedRows = selection.rows->recordCount();
        m_schedsWhenProcessed = scalar(
            EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select Count(*) From Scheds"))
                                    .toInt();
    }
    return selection;
}

qint64 TstQueries::addJob(const QString &carNum, int recId, const QDateTime &start, int routeCode,
    const QString &driver, int usedFlag, const QString &orderDate)
{
    auto q = [](const QString &t) {
        return QLatin1Char('\'') + QString(t).replace(QLatin1Char('\''), QStringLiteral("''"))
            + QLatin1Char('\'');
    };
    const QString fmt = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    EmbeddedSchema::run(EmbeddedSchema::jobsFile(m_db),
        {QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
            "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES "
            "('2026-12-06 12:00:00', 1001, %1, %2, 7001, %3, %4, %5, %6, 'ops', %7, %8)")
                .arg(q(carNum), QString::number(recId), q(driver), q(start.toString(fmt)),
                    q(start.addSecs(3600).toString(fmt)), QString::number(routeCode),
                    orderDate.isEmpty() ? q(start.date().toString(Qt::ISODate)) : q(orderDate),
                    QString::number(usedFlag))});
    return scalar(EmbeddedSchema::jobsFile(m_db), QStringLiteral("Select Max(PKID) From Jobs"))
        .toLongLong();
}

QVariant TstQueries::scalar(const QString &file, const QString &sql)
{
    DbSession s;
    s.setProperty(
        QStringLiteral("Data Source"), QStringLiteral("sqlite:") + QFileInfo(file).path());
    s.setProperty(QStringLiteral("Initial Catalog"), QFileInfo(file).completeBaseName());
    s.open();
    RowSet::Ptr rs = s.execute(sql);
    return rs->eof() ? QVariant() : rs->field(0);
}

QList<qint64> TstQueries::delivered()
{
    DbSession s;
    s.setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_db);
    s.setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
    s.open();
    RowSet::Ptr rs
        = s.execute(QStringLiteral("Select PKID From Jobs Where UsedFlag = 1 Order By PKID"));
    QList<qint64> out;
    for (; !rs->eof(); rs->moveNext())
        out << rs->field(0).toLongLong();
    return out;
}

RowSet::Ptr TstQueries::query(QueryMode mode)
{
    const RowSet::Ptr rows = handOn(m_queries->QueryDB(mode)).rows;
    if (rows)
        rows->moveFirst(); // the copy into Scheds left it at the end
    return rows;
}

void TstQueries::operationalDayBoundary_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QList<int>>("recIds");
    // Jobs 1..5 start at: yesterday 04:00, today 03:59:59, today 04:00,
    // tomorrow 03:59:59, tomorrow 04:00.
    QTest::newRow("03:59") << at(0, 3, 59) << QList<int>{1, 2};
    QTest::newRow("04:00") << at(0, 4, 0) << QList<int>{3, 4};
}

void TstQueries::operationalDayBoundary()
{
    QFETCH(QDateTime, now);
    QFETCH(QList<int>, recIds);
    const QList<QDateTime> starts{
        at(-1, 4, 0), at(0, 3, 59, 59), at(0, 4, 0), at(1, 3, 59, 59), at(1, 4, 0)};
    for (int i = 0; i < starts.size(); ++i)
        addJob(QStringLiteral("100"), i + 1, starts.at(i));
    m_core->clock.setNow(now);
    RowSet::Ptr rs = query();
    QVERIFY(rs);
    QList<int> got;
    for (rs->moveFirst(); !rs->eof(); rs->moveNext())
        got << rs->field(QStringLiteral("RecID")).toInt();
    std::sort(got.begin(), got.end());
    QCOMPARE(got, recIds);
    // Rows outside the day are left as they were.
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                 QStringLiteral("Select Count(*) From Jobs Where UsedFlag = 0"))
                 .toInt(),
        starts.size() - recIds.size());
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                 QStringLiteral("Select Count(*) From Jobs Where UsedFlag = 2"))
                 .toInt(),
        0);
}

void TstQueries::newestRowOfVehicleAndRecIdOnly()
{
    const qint64 older
        = addJob(QStringLiteral("12-345-67"), 7, at(0, 6, 0), 10512, QStringLiteral("Old"));
    const qint64 newer
        = addJob(QStringLiteral("12-345-67"), 7, at(0, 6, 30), 10512, QStringLiteral("New"));
    const qint64 other
        = addJob(QStringLiteral("12-345-67"), 8, at(0, 7, 0), 10512, QStringLiteral("Other"), 1);
    RowSet::Ptr rs = query();
    QVERIFY(rs);
    QCOMPARE(rs->recordCount(), 2);
    QCOMPARE(rs->fieldNames(),
        (QStringList{"PKID", "EntryDT", "CarNo", "CarNum", "RecID", "DriverCode", "DriverName",
            "RouteStart", "RouteEnd", "Makat", "RecordUpdater", "EntryDT"}));
    rs->find(QStringLiteral("RecID = 7"));
    QCOMPARE(rs->field(QStringLiteral("PKID")).toLongLong(), newer);
    QCOMPARE(rs->field(QStringLiteral("DriverName")).toString(), QStringLiteral("New"));
    QCOMPARE(rs->field(QStringLiteral("CarNum")).toString(), QStringLiteral("1234567"));
    QCOMPARE(rs->field(QStringLiteral("Makat")).toInt(), 10512);
    QCOMPARE(delivered(), (QList<qint64>{newer, other}));
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                 QStringLiteral("Select UsedFlag From Jobs Where PKID = %1").arg(older))
                 .toInt(),
        0);
    // The next cycle delivers the same newest rows again.
    QCOMPARE(query()->recordCount(), 2);
}

// A site's Jobs table without its key may hold two rows with one PKID: the
// day goes on, each row judged on its own, and the key is told once.
void TstQueries::sharedPkidTakenAndToldOnce()
{
    const QString fmt = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    auto row = [&](int pkid, const QString &car, int recId, const QDateTime &start) {
        return QStringLiteral("(%1, '%2', %3, 'Dana', '%4', '%5', 10512, 0)")
            .arg(pkid)
            .arg(car)
            .arg(recId)
            .arg(start.toString(fmt), start.addSecs(3600).toString(fmt));
    };
    EmbeddedSchema::run(EmbeddedSchema::jobsFile(m_db),
        {QStringLiteral("DROP TABLE Jobs"),
            QStringLiteral("CREATE TABLE Jobs (PKID INTEGER, EntryDT TEXT, CarNo INTEGER, "
                           "CarNum TEXT, RecID INTEGER, DriverCode INTEGER, DriverName TEXT, "
                           "RouteStart TEXT, RouteEnd TEXT, RouteCode INTEGER, RecordUpdater "
                           "TEXT, OrderDate TEXT, UsedFlag INTEGER NOT NULL DEFAULT 0)"),
            QStringLiteral("INSERT INTO Jobs (PKID, CarNum, RecID, DriverName, RouteStart, "
                           "RouteEnd, RouteCode, UsedFlag) VALUES ")
                + QStringList{row(5, QStringLiteral("100"), 1, at(0, 6, 0)),
                    row(5, QStringLiteral("200"), 2, at(0, 6, 30)),
                    // The same key on a job outside the day: neither taken nor released.
                    row(5, QStringLiteral("300"), 3, at(-1, 6, 0)),
                    row(6, QStringLiteral("400"), 4, at(0, 8, 0))}
                      .join(QStringLiteral(", "))});
    const QString jobs = EmbeddedSchema::jobsFile(m_db);
    for (int cycle = 1; cycle <= 2; ++cycle) {
        RowSet::Ptr rs = query();
        QVERIFY2(rs, qPrintable(m_core->debugLog()));
        QList<int> recIds;
        for (; !rs->eof(); rs->moveNext())
            recIds << rs->field(QStringLiteral("RecID")).toInt();
        std::sort(recIds.begin(), recIds.end());
        QCOMPARE(recIds, (QList<int>{1, 2, 4}));
        QCOMPARE(scalar(jobs,
                     QStringLiteral("Select Group_Concat(RecID) From (Select RecID From "
                                    "Jobs Where UsedFlag = 1 Order By RecID)"))
                     .toString(),
            QStringLiteral("1,2,4"));
        QCOMPARE(
            scalar(jobs, QStringLiteral("Select UsedFlag From Jobs Where RecID = 3")).toInt(), 0);
        QCOMPARE(
            scalar(EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select Count(*) From Scheds"))
                .toInt(),
            3);
        // Each row is a job of its own, not a correction of the other: the
        // second cycle offers none of them again.
        QCOMPARE(m_queries->lastInserted(), cycle == 1 ? 3 : 0);
        const QStringList told
            = m_core->debugLog()
                  .split(QLatin1Char('\n'))
                  .filter(QStringLiteral("more than one row of the day with the same PKID"));
        QCOMPARE(told.size(), 1);
        QVERIFY2(told.first().contains(QStringLiteral("(1 keys: 5)")), qPrintable(told.first()));
    }
}

void TstQueries::purgeOncePerCalendarDay()
{
    auto oldJob = [this] {
        return addJob(QStringLiteral("9"), 99, at(-40, 6, 0), 10512, QStringLiteral("x"), 1,
            QStringLiteral("2026-10-27"));
    };
    auto exists = [this](qint64 pkid) {
        return scalar(EmbeddedSchema::jobsFile(m_db),
                   QStringLiteral("Select Count(*) From Jobs Where PKID = %1").arg(pkid))
                   .toInt()
            == 1;
    };
    // An order date inside the 30 days keeps an old route.
    const qint64 keptByOrder = addJob(QStringLiteral("9"), 98, at(-40, 6, 0), 10512,
        QStringLiteral("x"), 1, QStringLiteral("2026-11-30"));
    const qint64 first = oldJob();
    QueryMode mode = QueryMode::QueryAll;
    select(mode);
    QVERIFY(!exists(first));
    QVERIFY(exists(keptByOrder));
    QCOMPARE(m_queries->dLastPurge(), kDay);

    const qint64 second = oldJob();
    m_core->clock.setNow(at(0, 23, 59));
    select(mode);
    QVERIFY(exists(second)); // same calendar day: no purge

    m_core->clock.setNow(at(1, 0, 1));
    select(mode);
    QVERIFY(!exists(second)); // first call after midnight
    QVERIFY(!m_core->home.exists(QStringLiteral("Debug.TXT")));
}

void TstQueries::statusRows()
{
    const QString jobs = EmbeddedSchema::jobsFile(m_db);
    auto status = [&](const QString &type) {
        return scalar(
            jobs, QStringLiteral("Select Status From AppStatus Where Type = '%1'").arg(type))
            .toString();
    };
    m_core->clock.setNow(at(0, 6, 5));
    m_core->rows.strStatus = QStringLiteral("Map 'down'");
    m_core->rows.strLinesList = QStringLiteral("51-21,O'Brien");
    QueryMode mode = QueryMode::QueryAll;
    select(mode);
    QCOMPARE(status(QStringLiteral("APSTT")),
        QStringLiteral("Dec  7 2026  6:05AM Version 3.0.50Map 'down'"));
    QCOMPARE(status(QStringLiteral("CRLST")), QString()); // bLinesChanged clear: not written

    m_core->rows.bLinesChanged = true;
    select(mode);
    QCOMPARE(status(QStringLiteral("CRLST")), QStringLiteral("51-21,O'Brien"));
    QVERIFY(!m_core->rows.bLinesChanged);

    m_core->rows.strLinesList = QStringLiteral("changed");
    select(mode);
    QCOMPARE(status(QStringLiteral("CRLST")), QStringLiteral("51-21,O'Brien"));

    // The ShibFlag is cleared on every call.
    EmbeddedSchema::run(jobs, {QStringLiteral("Update ShibFlag Set Flag = 5")});
    select(mode);
    QCOMPARE(scalar(jobs, QStringLiteral("Select Flag From ShibFlag")).toInt(), 0);
}

void TstQueries::queryTraceOncePerMark()
{
    addJob(QStringLiteral("1"), 1, at(0, 8, 0));
    MenuMarks &marks = m_core->marks;
    marks.setChecked(MenuMarks::mnuSaveQuery, true);
    m_core->marks.bDBCommand = true;
    marks.setChecked(MenuMarks::mnuDB, true);
    QueryMode mode = QueryMode::QueryAll;
    select(mode);
    select(mode);
    QVERIFY(!marks.checked(MenuMarks::mnuSaveQuery));
    QVERIFY(!marks.checked(MenuMarks::mnuDB));
    QVERIFY(!m_core->marks.bDBCommand);
    const QStringList lines = m_core->home.lines(QStringLiteral("Queries.TXT"));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().contains(QStringLiteral("INSERT INTO temp.DaySelection")));
    QVERIFY(lines.first().contains(QStringLiteral("'2026-12-07 04:00:00'")));
}

void TstQueries::emptyDay_data()
{
    QTest::addColumn<bool>("debugCurrent");
    QTest::newRow("plain") << false;
    QTest::newRow("mnuDebugCurrent") << true;
}

void TstQueries::emptyDay()
{
    QFETCH(bool, debugCurrent);
    addJob(QStringLiteral("1"), 1, at(2, 8, 0)); // not today
    MenuMarks &marks = m_core->marks;
    marks.setChecked(MenuMarks::mnuDebugCurrent, debugCurrent);
    marks.setChecked(MenuMarks::mnuDebugAll, true);
    QueryMode mode = QueryMode::QueryTrigger;
    select(mode);
    QCOMPARE(mode, QueryMode::QueryAll);
    QCOMPARE(m_processed, 0);
    QCOMPARE(
        scalar(EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select Count(*) From Scheds"))
            .toInt(),
        0);
    QCOMPARE(marks.checked(MenuMarks::mnuDebugAll), !debugCurrent);
    QVERIFY(!marks.checked(MenuMarks::mnuDebugCurrent));
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    if (debugCurrent) {
        QCOMPARE(log.size(), 1);
        QVERIFY(log.first().contains(QStringLiteral("QueryDB: RecordSet is Empty")));
    } else {
        QVERIFY(log.isEmpty());
    }
    QVERIFY(!QDir(m_core->home.file(QStringLiteral("MultiRS"))).exists());
}

void TstQueries::rowsGoToDumpInsertThenProcessing()
{
    addJob(QStringLiteral("1"), 1, at(0, 8, 0));
    addJob(QStringLiteral("2"), 2, at(0, 9, 0));
    m_core->marks.setChecked(MenuMarks::mnuDebugCurrent, true);
    m_core->marks.setChecked(MenuMarks::mnuDebugAll, true);
    QueryMode mode = QueryMode::QueryTrigger;
    select(mode);
    QCOMPARE(mode, QueryMode::QueryAll);
    QCOMPARE(m_processed, 1);
    QCOMPARE(m_processedRows, 2);
    QCOMPARE(m_schedsWhenProcessed, 2); // the insert ran first
    QVERIFY(!m_core->marks.checked(MenuMarks::mnuDebugCurrent));
    QVERIFY(!m_core->marks.checked(MenuMarks::mnuDebugAll));
    const QStringList dump = m_core->home.lines(QStringLiteral("MultiRS/MultiRes.XLS"));
    QCOMPARE(dump.size(), 4); // tab line, header, two rows
    QVERIFY(dump.at(1).startsWith(QStringLiteral("\tPKID\tEntryDT\tCarNo")));
    QVERIFY(!m_core->home.exists(QStringLiteral("Debug.TXT")));
}

void TstQueries::everyFlagTakenAndReleased_data()
{
    QTest::addColumn<int>("flag");
    QTest::addColumn<int>("dayOffset");
    QTest::addColumn<bool>("taken");
    QTest::newRow("new in the day") << 0 << 0 << true;
    QTest::newRow("released in the day") << 1 << 0 << true;
    QTest::newRow("left marked in the day") << 2 << 0 << true;
    QTest::newRow("odd flag in the day") << 7 << 0 << true;
    QTest::newRow("left marked another day") << 2 << -3 << true;
    QTest::newRow("new another day") << 0 << -3 << false;
}

void TstQueries::everyFlagTakenAndReleased()
{
    QFETCH(int, flag);
    QFETCH(int, dayOffset);
    QFETCH(bool, taken);
    const qint64 pkid
        = addJob(QStringLiteral("1"), 1, at(dayOffset, 8, 0), 10512, QStringLiteral("Dana"), flag);
    // A row of the day comes every cycle; one another day left marked, once.
    const int second = taken && dayOffset == 0 ? 1 : 0;
    for (const int expected : {taken ? 1 : 0, second}) {
        const RowSet::Ptr rs = query();
        QCOMPARE(rs ? rs->recordCount() : 0, expected);
    }
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                 QStringLiteral("Select UsedFlag From Jobs Where PKID = %1").arg(pkid))
                 .toInt(),
        taken ? 1 : flag);
}

void TstQueries::failureExitLogsStep_data()
{
    QTest::addColumn<QString>("breakIt");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no session") << QString() << QStringLiteral("QueryDB: Step - Error Number: 91");
    QTest::newRow("AppStatus missing") << QStringLiteral("Drop Table AppStatus")
                                       << QStringLiteral("QueryDB: Step - Error Number: ");
    QTest::newRow("ShibFlag missing") << QStringLiteral(
        "Drop Table ShibFlag") << QStringLiteral("QueryDB: Step - Creating QueryError Number: ");
    QTest::newRow("Jobs column missing") << QStringLiteral("Alter Table Jobs Drop Column OrderDate")
                                         << QStringLiteral("QueryDB: Step - Error Number: ");
    QTest::newRow("RecordUpdater missing")
        << QStringLiteral("Alter Table Jobs Drop Column RecordUpdater")
        << QStringLiteral("QueryDB: Step - QueringError Number: ");
}

void TstQueries::failureExitLogsStep()
{
    QFETCH(QString, breakIt);
    QFETCH(QString, expected);
    const qint64 pkid = addJob(QStringLiteral("1"), 1, at(0, 8, 0));
    if (breakIt.isEmpty())
        m_core->sessions.cnJobs.reset();
    else
        EmbeddedSchema::run(EmbeddedSchema::jobsFile(m_db), {breakIt});
    QueryMode mode = QueryMode::QueryAll;
    QVERIFY(!select(mode));
    QCOMPARE(m_processed, 0);
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().contains(expected), qPrintable(log.first()));
    // No row is left marked or delivered without having been returned.
    if (!breakIt.isEmpty())
        QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                     QStringLiteral("Select UsedFlag From Jobs Where PKID = %1").arg(pkid))
                     .toInt(),
            0);
}

void TstQueries::schedsValues_data()
{
    QTest::addColumn<int>("makat");
    QTest::addColumn<QString>("line");
    QTest::newRow("10512") << 10512 << QStringLiteral("51-21");
    QTest::newRow("234561") << 234561 << QStringLiteral("456-13");
    QTest::newRow("100012") << 100012 << QStringLiteral("01-20");
    QTest::newRow("1234567") << 1234567 << QStringLiteral("345-62");
}

void TstQueries::schedsValues()
{
    QFETCH(int, makat);
    QFETCH(QString, line);
    addJob(QStringLiteral("12-345-67"), 4711, at(0, 6, 30), makat, QStringLiteral("דנה כהן"));
    QueryMode mode = QueryMode::QueryAll;
    select(mode);
    DbSession s;
    s.setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_db);
    s.setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIKDB"));
    s.open();
    RowSet::Ptr rs = s.execute(QStringLiteral("Select * From Scheds"));
    QCOMPARE(rs->recordCount(), 1);
    QCOMPARE(rs->field(QStringLiteral("IntrMedRecordID")).toInt(), 4711);
    QCOMPARE(rs->field(QStringLiteral("Makat")).toString(), line);
    QCOMPARE(rs->field(QStringLiteral("DriverName")).toString(), QStringLiteral("דנה כהן"));
    QCOMPARE(rs->field(QStringLiteral("DriverNumber")).toInt(), 7001);
    QCOMPARE(
        rs->field(QStringLiteral("StartTime")).toString(), QStringLiteral("2026-12-07 06:30:00"));
    QCOMPARE(
        rs->field(QStringLiteral("EndTime")).toString(), QStringLiteral("2026-12-07 07:30:00"));
    QCOMPARE(rs->field(QStringLiteral("Source")).toString(), QString(""));
    QVERIFY(!rs->field(QStringLiteral("Source")).isNull());
    QCOMPARE(rs->field(QStringLiteral("Destination")).toString(), QString(""));
    QCOMPARE(rs->field(QStringLiteral("TruckNumber")).toString(), QStringLiteral("1234567"));
    QCOMPARE(rs->field(QStringLiteral("TruckID")).toInt(), 1001);
    QCOMPARE(rs->field(QStringLiteral("ORVIKID")).toString(), QStringLiteral("1234567"));
}

// The selection's columns, in its order.
static const QStringList kSelectionColumns{"PKID", "EntryDT", "CarNo", "CarNum", "RecID",
    "DriverCode", "DriverName", "RouteStart", "RouteEnd", "Makat", "RecordUpdater", "EntryDT"};

// Selection rows of the given jobs. PKID is RecID plus pkidBase: a new
// version of a job is a new row.
static QVector<RowSet::Row> selectionRowValues(
    const QList<int> &recIds, const QString &driver = QStringLiteral("Dana"), int pkidBase = 0)
{
    QVector<RowSet::Row> rows;
    for (int id : recIds)
        rows << RowSet::Row{pkidBase + id, QStringLiteral("2026-12-07 06:00:00"), 1001,
            QStringLiteral("1234567"), id, 7001, driver, QDateTime(kDay, QTime(6, 0)),
            QDateTime(kDay, QTime(7, 0)), 10512, QStringLiteral("ops"),
            QStringLiteral("2026-12-07 06:00:00")};
    return rows;
}

static RowSet::Ptr selectionRows(
    const QList<int> &recIds, const QString &driver = QStringLiteral("Dana"), int pkidBase = 0)
{
    return std::make_shared<RowSet>(
        kSelectionColumns, selectionRowValues(recIds, driver, pkidBase));
}

// A refusal that is not "already there" ends the copy with one record; only
// a unique key's own code counts as stored.
void TstQueries::secondOfThreeInsertsFails_data()
{
    QTest::addColumn<QStringList>("schema"); // run on the schedules file first
    QTest::addColumn<bool>("nullTruckOfTwo");
    QTest::addColumn<QString>("logged");
    const QString table = QStringLiteral(
        "CREATE TABLE Scheds (IntrMedRecordID INTEGER %1, Makat TEXT, DriverName TEXT, "
        "DriverNumber INTEGER, StartTime TEXT, EndTime TEXT, Source TEXT, Destination TEXT, "
        "TruckNumber TEXT, TruckID INTEGER %2, ORVIKID TEXT)");
    QTest::newRow("refused by a trigger") << QStringList{QStringLiteral(
        "CREATE TRIGGER RefuseTwo BEFORE INSERT ON Scheds WHEN NEW.IntrMedRecordID = 2 "
        "BEGIN SELECT RAISE(ABORT, 'row two refused'); END")}
                                          << false << "row two refused";
    QTest::newRow("CHECK constraint") << QStringList{QStringLiteral("DROP TABLE Scheds"),
        table.arg(QStringLiteral("CHECK (IntrMedRecordID <> 2)"), QString())}
                                      << false << "CHECK constraint failed";
    QTest::newRow("NOT NULL constraint") << QStringList{QStringLiteral("DROP TABLE Scheds"),
        table.arg(QString(), QStringLiteral("NOT NULL"))}
                                         << true << "NOT NULL constraint failed";
}

void TstQueries::secondOfThreeInsertsFails()
{
    QFETCH(QStringList, schema);
    QFETCH(bool, nullTruckOfTwo);
    QFETCH(QString, logged);
    EmbeddedSchema::run(EmbeddedSchema::orvikDbFile(m_db), schema);
    QVector<RowSet::Row> rows = selectionRowValues({1, 2, 3});
    if (nullTruckOfTwo)
        rows[1][kSelectionColumns.indexOf(QStringLiteral("CarNo"))] = QVariant();
    RowSet::Ptr rs = std::make_shared<RowSet>(kSelectionColumns, rows);
    m_queries->InsertScheds(*rs);
    const QString ids = scalar(EmbeddedSchema::orvikDbFile(m_db),
        QStringLiteral("Select group_concat(IntrMedRecordID) From Scheds"))
                            .toString();
    QCOMPARE(ids, QStringLiteral("1"));
    QCOMPARE(rs->field(QStringLiteral("RecID")).toInt(), 2); // left at the failing row
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().contains(QStringLiteral("InsertScheds: Error Number: "))
            && log.first().contains(logged),
        qPrintable(log.first()));
    // The session is usable afterwards (no transaction left open).
    RowSet::Ptr again = selectionRows({4});
    m_queries->InsertScheds(*again);
    QCOMPARE(
        scalar(EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select Count(*) From Scheds"))
            .toInt(),
        2);
    QCOMPARE(m_core->home.lines(QStringLiteral("Debug.TXT")).size(), 1);
}

void TstQueries::rowWithBadValuesIsPassedOver()
{
    QVector<RowSet::Row> rows = selectionRowValues({1, 2, 3});
    rows[1][5] = QStringLiteral("D7"); // row two's driver code is no number
    RowSet rs(kSelectionColumns, rows);
    for (int cycle = 0; cycle < 3; ++cycle)
        m_queries->InsertScheds(rs); // the same failure is written once
    QCOMPARE(scalar(EmbeddedSchema::orvikDbFile(m_db),
                 QStringLiteral("Select group_concat(IntrMedRecordID) From Scheds"))
                 .toString(),
        QStringLiteral("1,3"));
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().contains(QStringLiteral("InsertScheds: PKID 2Error Number: 13")),
        qPrintable(log.first()));
}

void TstQueries::quotesStoredAsRead()
{
    const QString name = QStringLiteral("O'Brien'); DELETE FROM Scheds; --");
    addJob(QStringLiteral("1'2"), 1, at(0, 8, 0), 10512, name);
    QueryMode mode = QueryMode::QueryAll;
    select(mode);
    QCOMPARE(
        scalar(EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select DriverName From Scheds"))
            .toString(),
        name);
    QCOMPARE(
        scalar(EmbeddedSchema::orvikDbFile(m_db), QStringLiteral("Select TruckNumber From Scheds"))
            .toString(),
        QStringLiteral("1'2"));
    QVERIFY(!m_core->home.exists(QStringLiteral("Debug.TXT")));
}

// The list of "$Q,0,dedod/12<NUL>34567,dedod/1234567" as the map link keeps
// it: its NUL must not stop the line-list update on every cycle.
void TstQueries::lineListWithNulIsStored()
{
    m_core->rows.strLinesList
        = QStringLiteral(",12") + QChar(0) + QStringLiteral("34567,12-345-67,");
    m_core->rows.bLinesChanged = true;
    QueryMode mode = QueryMode::QueryAll;
    QVERIFY(select(mode));
    QVERIFY(!m_core->rows.bLinesChanged);
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(m_db),
                 QStringLiteral("Select Status From AppStatus Where Type = 'CRLST'"))
                 .toString(),
        QStringLiteral(",1234567,12-345-67,"));
    QVERIFY2(!m_core->home.exists(QStringLiteral("Debug.TXT")), qPrintable(m_core->debugLog()));
}

// A NUL in one row's values costs that row nothing but the NUL, and the rows
// after it still reach Scheds.
void TstQueries::nulInDriverNameKeepsLaterRows()
{
    QVector<RowSet::Row> rows = selectionRowValues({1, 2, 3});
    rows[1][6] = QStringLiteral("Da") + QChar(0) + QStringLiteral("na"); // DriverName
    rows[2][3] = QStringLiteral("7654321") + QChar(0); // CarNum
    RowSet rs(kSelectionColumns, rows);
    m_queries->InsertScheds(rs);
    const QString file = EmbeddedSchema::orvikDbFile(m_db);
    QCOMPARE(
        scalar(file, QStringLiteral("Select group_concat(IntrMedRecordID) From Scheds")).toString(),
        QStringLiteral("1,2,3"));
    QCOMPARE(scalar(file, QStringLiteral("Select DriverName From Scheds Where IntrMedRecordID = 2"))
                 .toString(),
        QStringLiteral("Dana"));
    QCOMPARE(scalar(file, QStringLiteral("Select ORVIKID From Scheds Where IntrMedRecordID = 3"))
                 .toString(),
        QStringLiteral("7654321"));
    QVERIFY2(!m_core->home.exists(QStringLiteral("Debug.TXT")), qPrintable(m_core->debugLog()));
}

void TstQueries::identicalRowStoredOnce()
{
    RowSet::Ptr rs = selectionRows({1, 2});
    m_queries->InsertScheds(*rs);
    m_queries->InsertScheds(*rs);
    const QString file = EmbeddedSchema::orvikDbFile(m_db);
    QCOMPARE(scalar(file, QStringLiteral("Select Count(*) From Scheds")).toInt(), 2);
    RowSet::Ptr changed = selectionRows({1}, QStringLiteral("Other"), 100);
    m_queries->InsertScheds(*changed);
    QCOMPARE(scalar(file, QStringLiteral("Select Count(*) From Scheds")).toInt(), 3);
    // Null bare values are stored as null, and still only once.
    RowSet::Ptr nulls = selectionRows({9});
    (*nulls).moveFirst();
    auto withNull = std::make_shared<RowSet>(nulls->fieldNames(),
        QVector<RowSet::Row>{RowSet::Row{9, QVariant(), QVariant(), QStringLiteral("5"), 9,
            QVariant(), QVariant(), QVariant(), QVariant(), 10512, QVariant(), QVariant()}});
    m_queries->InsertScheds(*withNull);
    m_queries->InsertScheds(*withNull);
    QCOMPARE(
        scalar(file, QStringLiteral("Select Count(*) From Scheds Where TruckID Is Null")).toInt(),
        1);
    QVERIFY(!m_core->home.exists(QStringLiteral("Debug.TXT")));
}

// Every cycle offers the whole day again: each job version (its key and
// values) is stored once, on a table with no key as well; a job that arrives
// later is stored at the next call; a job corrected in place (same key, new
// values) is a new version and stored once; a restart adds no copies; a row
// a unique key absorbs counts as stored and the rows after it go on.
void TstQueries::eachJobRowStoredOnce_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::newRow("table with a unique key") << true;
    QTest::newRow("table without a key") << false;
}

void TstQueries::eachJobRowStoredOnce()
{
    QFETCH(bool, keyed);
    const QString file = EmbeddedSchema::orvikDbFile(m_db);
    if (!keyed)
        EmbeddedSchema::run(file, {QStringLiteral("DROP INDEX SchedsDistinct")});
    auto count
        = [&] { return scalar(file, QStringLiteral("Select Count(*) From Scheds")).toInt(); };
    for (int cycle = 0; cycle < 3; ++cycle)
        m_queries->InsertScheds(*selectionRows({1, 2, 3}));
    QCOMPARE(count(), 3);
    QCOMPARE(m_queries->storedCount(), 3);
    m_queries->InsertScheds(*selectionRows({1, 2, 3, 4}));
    QCOMPARE(count(), 4);

    // Job 2 corrected in place by the site's writer: same PKID, another driver.
    QVector<RowSet::Row> corrected = selectionRowValues({1, 2, 3, 4});
    corrected[1][kSelectionColumns.indexOf(QStringLiteral("DriverName"))] = QStringLiteral("Noa");
    for (int cycle = 0; cycle < 2; ++cycle)
        m_queries->InsertScheds(*std::make_shared<RowSet>(kSelectionColumns, corrected));
    QCOMPARE(count(), 5);
    QCOMPARE(scalar(file, QStringLiteral("Select DriverName From Scheds Where rowid = 5")),
        QVariant(QStringLiteral("Noa")));

    // A restart: a new selection that has stored nothing yet this run.
    mdlQueries restarted(m_core->sessions, m_core->rows, m_core->marks, m_core->clock, m_core->log,
        m_core->home.path());
    restarted.InsertScheds(*std::make_shared<RowSet>(kSelectionColumns, corrected));
    QCOMPARE(count(), 5);
    QCOMPARE(restarted.storedCount(), 4);

    // A unique key the site added, and job 5's row stored behind the
    // gateway's back: absorbed, stored, and on.
    EmbeddedSchema::run(file,
        {QStringLiteral("INSERT INTO Scheds (IntrMedRecordID, DriverName) VALUES (5, 'Dana')"),
            QStringLiteral("CREATE UNIQUE INDEX SiteKey ON Scheds (IntrMedRecordID, DriverName)")});
    restarted.InsertScheds(*selectionRows({5, 6}));
    QCOMPARE(count(), 7);
    QCOMPARE(restarted.storedCount(), 6);
    QVERIFY2(!m_core->home.exists(QStringLiteral("Debug.TXT")),
        qPrintable(m_core->home.lines(QStringLiteral("Debug.TXT")).join(QLatin1Char('\n'))));
}

// A job corrected A -> B -> A in place: the last row a reader finds is A
// again where the table takes it. A key on the values refuses the second A:
// that counts as stored (nothing is tried again), and the table keeps A, B.
void TstQueries::correctionBackIsStoredAgain_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<bool>("reopened"); // the session, before the correction back
    QTest::addColumn<QString>("drivers"); // in rowid order
    // Prints kept with the rows, as the reader leaves them for the merge:
    // over which columns ("" none).
    QTest::addColumn<QStringList>("printedOver");
    QTest::newRow("table without a key") << false << false << "Dana,Noa,Dana" << QStringList();
    // The table read again holds A, but B is what this run stored last.
    QTest::newRow("session reopened on the way")
        << false << true << "Dana,Noa,Dana" << QStringList();
    QTest::newRow("table with a unique key") << true << false << "Dana,Noa" << QStringList();
    QTest::newRow("prints kept over every column")
        << false << false << "Dana,Noa,Dana" << kSelectionColumns;
    // They do not cover the driver: the insert makes its own.
    QTest::newRow("prints kept without the driver")
        << false << false << "Dana,Noa,Dana"
        << QStringList{QStringLiteral("PKID"), QStringLiteral("RecID")};
}

void TstQueries::correctionBackIsStoredAgain()
{
    QFETCH(bool, keyed);
    QFETCH(bool, reopened);
    QFETCH(QString, drivers);
    QFETCH(QStringList, printedOver);
    const QString file = EmbeddedSchema::orvikDbFile(m_db);
    if (!keyed)
        EmbeddedSchema::run(file, {QStringLiteral("DROP INDEX SchedsDistinct")});
    for (const char *driver : {"Dana", "Noa", "Dana"}) {
        if (reopened && driver == QLatin1String("Dana") && m_queries->storedCount() > 0) {
            m_core->sessions.cnORVIKDB->close();
            QVERIFY(m_connect->SQLConnect(SqlConnect::Which::OrvikDb));
        }
        for (int cycle = 0; cycle < 2; ++cycle) {
            RowSet::Ptr rs = selectionRows({1}, QLatin1String(driver));
            QVector<int> printed;
            for (const QString &name : printedOver)
                printed << rs->fieldIndex(name);
            if (!printed.isEmpty())
                rs->keepPrints(printed);
            m_queries->InsertScheds(*rs);
        }
    }
    auto stored = [&] {
        return scalar(file,
            QStringLiteral("Select group_concat(DriverName) From (Select "
                           "DriverName From Scheds Order By rowid)"))
            .toString();
    };
    QCOMPARE(stored(), drivers);
    QCOMPARE(m_queries->lastInserted(), 0);
    // A restart finds the job's version in the table and adds nothing.
    mdlQueries restarted(m_core->sessions, m_core->rows, m_core->marks, m_core->clock, m_core->log,
        m_core->home.path());
    restarted.InsertScheds(*selectionRows({1}));
    QCOMPARE(restarted.lastInserted(), 0);
    QCOMPARE(stored(), drivers);
    QVERIFY2(!m_core->home.exists(QStringLiteral("Debug.TXT")), qPrintable(m_core->debugLog()));
}

// The schedules file is replaced by an older copy (a restore by rename) and
// the session reopened on it: what it lacks of the day is written again,
// and a record says so.
void TstQueries::restoredSchedsGetTheDaysRowsAgain()
{
    const QString file = EmbeddedSchema::orvikDbFile(m_db);
    auto count = [&](const QString &f) {
        return scalar(f, QStringLiteral("Select Count(*) From Scheds")).toInt();
    };
    m_queries->InsertScheds(*selectionRows({1, 2}));
    m_core->sessions.cnORVIKDB->close();
    const QString copy = m_core->home.file(QStringLiteral("backup.sqlite"));
    QVERIFY(QFile::copy(file, copy));
    QVERIFY(m_connect->SQLConnect(SqlConnect::Which::OrvikDb));
    m_queries->InsertScheds(*selectionRows({1, 2, 3, 4, 5}));
    QCOMPARE(count(file), 5);

    QVERIFY(
        ::rename(QFile::encodeName(copy).constData(), QFile::encodeName(file).constData()) == 0);
    QCOMPARE(m_core->sessions.cnORVIKDB->connectionStatus(), 0); // the cycle reopens it
    QVERIFY(m_connect->SQLConnect(SqlConnect::Which::OrvikDb));
    m_queries->InsertScheds(*selectionRows({1, 2, 3, 4, 5}));
    QCOMPARE(count(file), 5);
    const QStringList log = m_core->home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().contains(QStringLiteral("InsertScheds: 3 rows of the day stored before "
                                                 "were missing from Scheds")),
        qPrintable(log.first()));
    m_queries->InsertScheds(*selectionRows({1, 2, 3, 4, 5}));
    QCOMPARE(count(file), 5);
    QCOMPARE(m_core->home.lines(QStringLiteral("Debug.TXT")).size(), 1);
}

QString TstQueries::dbinitTool()
{
    return qEnvironmentVariable("VOLMARA_BIN_DIR") + QStringLiteral("/volmara-dbinit");
}

int TstQueries::dbinit(const QStringList &arguments)
{
    QProcess p;
    p.start(dbinitTool(), arguments);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

void TstQueries::demoDatabaseGivesNewestJobs()
{
    if (!QFile::exists(dbinitTool()))
        QSKIP("volmara-dbinit is not built");
    const QString folder = m_core->home.file(QStringLiteral("demo"));
    QCOMPARE(dbinit({folder, QStringLiteral("--demo")}), 0);
    QCOMPARE(dbinit({folder}), 0); // harmless a second time

    m_core->clock.useSystemTime();
    m_core->sessions.strSQLServer = QStringLiteral("sqlite:demo");
    QVERIFY(m_connect->SQLConnect());
    RowSet::Ptr rs = query();
    QVERIFY(rs);
    QCOMPARE(rs->recordCount(), 64);
    QSet<QString> pairs, lines, drivers;
    for (rs->moveFirst(); !rs->eof(); rs->moveNext()) {
        const QString car = rs->field(QStringLiteral("CarNum")).toString();
        QVERIFY(!car.contains(QLatin1Char('-')));
        pairs << car + QLatin1Char('/') + rs->field(QStringLiteral("RecID")).toString();
        lines << rs->field(QStringLiteral("Makat")).toString();
        drivers << rs->field(QStringLiteral("DriverName")).toString();
    }
    QCOMPARE(pairs.size(), 64); // one row per vehicle and RecID
    QVERIFY(lines.size() >= 12);
    QVERIFY(drivers.contains(QStringLiteral("לא פעיל")));
    QCOMPARE(
        scalar(EmbeddedSchema::orvikDbFile(folder), QStringLiteral("Select Count(*) From Scheds"))
            .toInt(),
        64);
    // The 8 older versions and the 8 jobs of yesterday and tomorrow stay
    // undelivered; the 4 of last month went with the first purge.
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(folder),
                 QStringLiteral("Select Count(*) From Jobs Where UsedFlag = 0"))
                 .toInt(),
        16);
    QCOMPARE(scalar(EmbeddedSchema::jobsFile(folder), QStringLiteral("Select Count(*) From Jobs"))
                 .toInt(),
        80);
}

void TstQueries::largeDayIsDeliveredWhole_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("lines"); // of the day the selection reads
    QTest::addColumn<int>("rules");
    QTest::newRow("default lines, cut to the jobs")
        << QStringList{"--jobs", "700"} << 0 << 700 << 5000;
    QTest::newRow("lines asked") << QStringList{"--jobs", "3000", "--lines", "40"} << 0 << 40
                                 << 5000;
    QTest::newRow("more lines than rules")
        << QStringList{"--jobs", "6000", "--lines", "6000"} << 0 << 6000 << 6000;
    QTest::newRow("no jobs") << QStringList{"--jobs", "0"} << 64 << 0 << 0;
    QTest::newRow("not a number") << QStringList{"--jobs", "1e5"} << 64 << 0 << 0;
    QTest::newRow("lines alone") << QStringList{"--lines", "40"} << 64 << 0 << 0;
}

// Every job of the large day is one of the operational day, on the line its
// route code names, with a rule that completes it.
void TstQueries::largeDayIsDeliveredWhole()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(int, lines);
    QFETCH(int, rules);
    if (!QFile::exists(dbinitTool()))
        QSKIP("volmara-dbinit is not built");
    const QString folder = m_core->home.file(QStringLiteral("large"));
    QCOMPARE(dbinit(QStringList{folder} + options), exitCode);
    if (exitCode != 0) {
        QVERIFY(!QFile::exists(EmbeddedSchema::jobsFile(folder)));
        return;
    }
    const int jobs = options.at(1).toInt();
    m_core->clock.useSystemTime();
    m_core->sessions.strSQLServer = QStringLiteral("sqlite:large");
    QVERIFY(m_connect->SQLConnect());
    RowSet::Ptr rs = query();
    QVERIFY(rs);
    QCOMPARE(rs->recordCount(), jobs);
    QSet<QString> routeNames;
    for (rs->moveFirst(); !rs->eof(); rs->moveNext())
        routeNames << LineKey::routeName(
            LineKey::fromRouteCode(rs->field(QStringLiteral("Makat")).toInt()));
    QCOMPARE(routeNames.size(), lines);
    const QString routeTimes = EmbeddedSchema::routeTimesFile(folder);
    QCOMPARE(scalar(routeTimes, QStringLiteral("Select Count(*) From RouteTimes")).toInt(), rules);
    const QStringList ruled = scalar(routeTimes,
        QStringLiteral(
            "Select group_concat(RouteName, ',') From (Select Distinct RouteName From RouteTimes)"))
                                  .toString()
                                  .split(QLatin1Char(','));
    QCOMPARE(QSet<QString>(ruled.cbegin(), ruled.cend()), routeNames);
}

QTEST_GUILESS_MAIN(TstQueries)
#include "tst_queries.moc"
