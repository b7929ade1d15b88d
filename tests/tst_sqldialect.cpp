// The SQL Server statements are compared with the texts the site's server has
// always received, character for character; the embedded statements are run
// in tst_queries.

#include "db/PostgresDialect.h"
#include "db/SqlServerDialect.h"
#include "db/SqliteDialect.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"

#include <QtTest>

class TstSqlDialect : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void serverTexts_data();
    void serverTexts();
    void quotesAreDoubled();
    void nulNeverReachesStatement_data();
    void nulNeverReachesStatement();
    void bareValues_data();
    void bareValues();
    void operationalDay_data();
    void operationalDay();
    void serverDateText();
    void postgresDriverRule_data();
    void postgresDriverRule();
};

void TstSqlDialect::serverTexts_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const SqlServerDialect d;
    const QDateTime now(QDate(2026, 12, 7), QTime(6, 30));

    QTest::newRow("APSTT")
        << d.appStatusUpdate(QStringLiteral("Version 3.0.50"), QStringLiteral("Map OK"), now)
        << QStringLiteral("Update AppStatus Set Status = Cast(GetDate() As VarChar (50)) + ' ' + "
                          "'Version 3.0.50' + 'Map OK' Where Type = 'APSTT'");
    QTest::newRow("CRLST")
        << d.lineListUpdate(QStringLiteral("51-21,456-13"))
        << QStringLiteral("Update AppStatus Set Status = '51-21,456-13' Where Type = 'CRLST'");
    QTest::newRow("purge")
        << d.purgeBatch(now)
        << QStringLiteral("Delete Jobs Where Case When OrderDate < RouteEnd Then RouteEnd Else "
                          "OrderDate End < DateAdd(Day, -30, GetDate()) ; DBCC SHRINKDATABASE "
                          "(ORVIK_Jobs)");
    QTest::newRow("ShibFlag") << d.shibFlagReset()
                              << QStringLiteral("Update ShibFlag Set Flag = 0");
    QTest::newRow("selection") << d.selectionBatch(now)
                               << QStringLiteral(
                                      "Declare @C Int, @T Datetime Set @T = DateAdd(Hour, 4, "
                                      "Cast(Convert(Char (8), GetDate(), 112) As "
                                      "Datetime)) Set @C = DateDiff(Second, @T, GetDate()) If @C < "
                                      "0 Set @T = DateAdd(Day, -1, @T) UPDATE "
                                      "Jobs SET UsedFlag=2 WHERE  RouteStart >= @T AND  RouteStart "
                                      "<  @T + 1 AND  PKID IN (SELECT "
                                      "MAX(PKID) FROM Jobs C Where C.CarNum = Jobs.CarNum And "
                                      "C.RecID = Jobs.RecID) ; Select PKID, "
                                      "EntryDT, CarNo, Replace(CarNum, '-', '') As CarNum, RecID, "
                                      "DriverCode, DriverName, RouteStart, "
                                      "RouteEnd, RouteCode As Makat, RecordUpdater, EntryDT From "
                                      "Jobs Where UsedFlag = 2 ; Update Jobs "
                                      "Set UsedFlag = 1 Where UsedFlag = 2");

    SqlDialect::SchedValues v;
    v.recId = 4711;
    v.lineText = QStringLiteral("51-21");
    v.driverName = QStringLiteral("Dana");
    v.driverCode = 7001;
    v.start = QDateTime(QDate(2026, 12, 7), QTime(6, 30));
    v.end = QDateTime(QDate(2026, 12, 7), QTime(7, 5, 9));
    v.carNum = QStringLiteral("1234567");
    v.carNo = 1001;
    QTest::newRow("Scheds")
        << d.schedsInsert(v)
        << QStringLiteral(
               "INSERT INTO Scheds (IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, "
               "EndTime, "
               "Source, Destination, TruckNumber, TruckID, ORVIKID) VALUES "
               "(4711,'51-21','Dana',7001,"
               "'20261207 06:30:00','20261207 07:05:09','','','1234567',1001,'1234567')");
    QTest::newRow("Scheds batch")
        << d.schedsBatch({QStringLiteral("INSERT 1"), QStringLiteral("INSERT 2")})
        << QStringLiteral(
               "SET XACT_ABORT ON ; BEGIN TRANSACTION ; INSERT 1 ; INSERT 2 ; COMMIT TRANSACTION");
    QTest::newRow("Scheds batch recovery")
        << d.schedsBatchRecovery() << QStringLiteral("IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION");
    QTest::newRow("RouteTimes")
        << d.routeTimesQuery(QStringLiteral("'05101205','45603101'"), QDate(2026, 12, 1))
        << QStringLiteral("SELECT RouteName, fromDate, toDate, dayofWeek, fromTime, toTime, "
                          "arrivalStr, stayStr FROM "
                          "RteDB.dbo.RouteTimes WHERE RouteName IN ('05101205','45603101')  And "
                          "(fromDate IS NULL OR "
                          "toDate >='20261130' AND fromDate <='20261202') ORDER BY 1,2,5");
}

void TstSqlDialect::serverTexts()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void TstSqlDialect::quotesAreDoubled()
{
    // No value can end its quotes early, in either dialect.
    const SqlServerDialect server;
    const SqliteDialect embedded;
    const PostgresDialect postgres;
    SqlDialect::SchedValues v;
    v.recId = 1;
    v.driverName = QStringLiteral("O'Brien");
    v.carNum = QStringLiteral("1'); DROP TABLE Scheds; --");
    v.driverCode = 2;
    v.carNo = 3;
    for (const SqlDialect *d :
        {static_cast<const SqlDialect *>(&server), static_cast<const SqlDialect *>(&embedded),
            static_cast<const SqlDialect *>(&postgres)}) {
        const QString s = d->schedsInsert(v);
        QVERIFY2(s.contains(QStringLiteral("'O''Brien'")), qPrintable(s));
        QVERIFY2(s.contains(QStringLiteral("'1''); DROP TABLE Scheds; --'")), qPrintable(s));
        QVERIFY(d->lineListUpdate(QStringLiteral("a'b")).contains(QStringLiteral("'a''b'")));
        QVERIFY(d->appStatusUpdate(
                     QStringLiteral("v'1"), QStringLiteral("s'2"), QDateTime::currentDateTime())
                    .contains(QStringLiteral("'v''1'")));
    }
}

namespace {

const SqlDialect &dialectNamed(const QString &name)
{
    static const SqlServerDialect server;
    static const SqliteDialect embedded;
    static const PostgresDialect postgres;
    if (name == QLatin1String("server"))
        return server;
    if (name == QLatin1String("embedded"))
        return embedded;
    return postgres;
}

// Every statement of a dialect that takes text values, with the values given.
QStringList textStatements(const SqlDialect &d, const QString &a, const QString &b)
{
    SqlDialect::SchedValues v;
    v.recId = 4711;
    v.lineText = a;
    v.driverName = b;
    v.driverCode = 7001;
    v.start = QDateTime(QDate(2026, 12, 7), QTime(6, 30), Qt::UTC);
    v.end = QDateTime(QDate(2026, 12, 7), QTime(7, 5, 9), Qt::UTC);
    v.carNum = a + b;
    v.carNo = 1001;
    const QDateTime now(QDate(2026, 12, 7), QTime(6, 5));
    return {d.schedsInsert(v), d.lineListUpdate(a + QLatin1Char(',') + b),
        d.appStatusUpdate(a, b, now),
        d.routeTimesQuery(
            QLatin1Char('\'') + SqlDialect::escaped(a) + QLatin1Char('\''), QDate(2026, 12, 1))};
}

} // namespace

// A NUL would end the statement where the server reads it: it is dropped from
// every text value, in every dialect, and nothing else changes.
void TstSqlDialect::nulNeverReachesStatement_data()
{
    QTest::addColumn<QString>("dialect");
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QString>("scheds"); // the insert for the values without NUL
    const QChar nul(0);
    const QString hebrew = QString::fromUtf8("משה כהן");
    QTest::newRow("server") << "server" << QStringLiteral("51-21") + nul
                            << nul + QStringLiteral("O'Br") + nul + nul + QStringLiteral("ien")
                            << QStringLiteral(
                                   "INSERT INTO Scheds (IntrMedRecordID, Makat, DriverName, "
                                   "DriverNumber, StartTime, EndTime, Source, Destination, "
                                   "TruckNumber, TruckID, ORVIKID) VALUES (4711,'51-21',"
                                   "'O''Brien',7001,'20261207 06:30:00','20261207 07:05:09',"
                                   "'','','51-21O''Brien',1001,'51-21O''Brien')");
    QTest::newRow("embedded") << "embedded" << QStringLiteral("12") + nul + QStringLiteral("34")
                              << hebrew + nul
                              << QStringLiteral(
                                     "INSERT INTO Scheds (IntrMedRecordID, Makat, "
                                     "DriverName, DriverNumber, StartTime, EndTime, Source, "
                                     "Destination, TruckNumber, TruckID, ORVIKID) VALUES (4711,"
                                     "'1234','")
            + hebrew
            + QStringLiteral("',7001,'2026-12-07 06:30:00','2026-12-07 07:05:09','','','1234")
            + hebrew + QStringLiteral("',1001,'1234") + hebrew
            + QStringLiteral("') ON CONFLICT DO NOTHING");
    QTest::newRow("postgres") << "postgres" << nul + QStringLiteral("a\\c'")
                              << QStringLiteral("b") + nul
                              << QStringLiteral(
                                     "INSERT INTO Scheds (IntrMedRecordID, Makat, DriverName, "
                                     "DriverNumber, StartTime, EndTime, Source, Destination, "
                                     "TruckNumber, TruckID, ORVIKID) VALUES (4711,'a\\c''','b',"
                                     "7001,Cast('2026-12-07 06:30:00' As Timestamp),"
                                     "Cast('2026-12-07 07:05:09' As Timestamp),'','',"
                                     "'a\\c''b',1001,'a\\c''b') ON CONFLICT DO NOTHING");
}

void TstSqlDialect::nulNeverReachesStatement()
{
    QFETCH(QString, dialect);
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QString, scheds);
    const SqlDialect &d = dialectNamed(dialect);
    const QString cleanA = QString(a).remove(QChar(0));
    const QString cleanB = QString(b).remove(QChar(0));
    QVERIFY(cleanA != a && cleanB != b);
    const QStringList withNul = textStatements(d, a, b);
    const QStringList without = textStatements(d, cleanA, cleanB);
    // Ordinary values give the statement text they always gave.
    QCOMPARE(without.first(), scheds);
    for (int i = 0; i < withNul.size(); ++i) {
        QVERIFY2(!withNul.at(i).contains(QChar(0)), qPrintable(withNul.at(i)));
        QCOMPARE(withNul.at(i), without.at(i));
    }
}

void TstSqlDialect::bareValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text"); // empty: refused
    QTest::newRow("int") << QVariant(4711) << QStringLiteral("4711");
    QTest::newRow("numeric text") << QVariant(QStringLiteral(" 12 ")) << QStringLiteral("12");
    QTest::newRow("null") << QVariant() << QStringLiteral("NULL");
    QTest::newRow("words") << QVariant(QStringLiteral("1); DELETE FROM Jobs")) << QString();
    QTest::newRow("empty") << QVariant(QString(QLatin1String(""))) << QString();
}

void TstSqlDialect::bareValues()
{
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    QString got;
    bool failed = false;
    try {
        got = SqlDialect::bare(value);
    } catch (const Failure &f) {
        failed = true;
        QCOMPARE(f.number(), 13);
    }
    QCOMPARE(failed, text.isEmpty());
    QCOMPARE(got, text);
}

void TstSqlDialect::operationalDay_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QDateTime>("start");
    const QDate d(2026, 12, 7);
    QTest::newRow("03:59:59") << QDateTime(d, QTime(3, 59, 59))
                              << QDateTime(d.addDays(-1), QTime(4, 0));
    QTest::newRow("04:00") << QDateTime(d, QTime(4, 0)) << QDateTime(d, QTime(4, 0));
    QTest::newRow("23:59") << QDateTime(d, QTime(23, 59)) << QDateTime(d, QTime(4, 0));
    QTest::newRow("00:00") << QDateTime(d, QTime(0, 0)) << QDateTime(d.addDays(-1), QTime(4, 0));
}

void TstSqlDialect::operationalDay()
{
    QFETCH(QDateTime, now);
    QFETCH(QDateTime, start);
    QCOMPARE(DateTime::operationalDayStart(now), start);
}

void TstSqlDialect::serverDateText()
{
    QCOMPARE(SqliteDialect::serverDateText(QDateTime(QDate(2026, 12, 7), QTime(6, 5))),
        QStringLiteral("Dec  7 2026  6:05AM"));
    QCOMPARE(SqliteDialect::serverDateText(QDateTime(QDate(2026, 1, 17), QTime(12, 30))),
        QStringLiteral("Jan 17 2026 12:30PM"));
    QCOMPARE(SqliteDialect::serverDateText(QDateTime(QDate(2026, 1, 17), QTime(0, 1))),
        QStringLiteral("Jan 17 2026 12:01AM"));
}

QTEST_GUILESS_MAIN(TstSqlDialect)
void TstSqlDialect::postgresDriverRule_data()
{
    QTest::addColumn<QString>("connection");
    QTest::addColumn<bool>("postgres");
    QTest::newRow("unicode driver")
        << "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=5432;DATABASE=d" << true;
    QTest::newRow("ansi driver, no braces, any case")
        << "Server=h;driver=postgresql ANSI;Database=d" << true;
    QTest::newRow("built from the driver setting")
        << "DRIVER={PostgreSQL Unicode};SERVER={db01};DATABASE={ORVIK_Jobs};UID={u};PWD={p};"
        << true;
    QTest::newRow("sql server driver")
        << "DRIVER={ODBC Driver 18 for SQL Server};SERVER={db01};DATABASE={ORVIK_Jobs};" << false;
    QTest::newRow("PostgreSQL only in another value")
        << "DRIVER={FreeTDS};SERVER=postgresql-host;DATABASE=PostgreSQL" << false;
    QTest::newRow("a DSN") << "DSN=PostgreSQL" << false;
    QTest::newRow("empty") << "" << false;
}

void TstSqlDialect::postgresDriverRule()
{
    QFETCH(QString, connection);
    QFETCH(bool, postgres);
    QCOMPARE(PostgresDialect::namesPostgresDriver(connection), postgres);
}

#include "tst_sqldialect.moc"
