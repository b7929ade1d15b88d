#include "EmbeddedSchema.h"

#include "LeaseStatements.h"

#include "platform/Failure.h"

#include <QAtomicInt>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <functional>

namespace {

QAtomicInt g_counter;

const QStringList kJobsStatements = {
    // Must come before the first table: the daily purge gives space back
    // with incremental vacuum.
    QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"),
    QStringLiteral(
        "CREATE TABLE IF NOT EXISTS Jobs (PKID INTEGER PRIMARY KEY AUTOINCREMENT, EntryDT TEXT, "
        "CarNo INTEGER, CarNum TEXT, RecID INTEGER, DriverCode INTEGER, DriverName TEXT, "
        "RouteStart TEXT, RouteEnd TEXT, RouteCode INTEGER, RecordUpdater TEXT, OrderDate TEXT, "
        "UsedFlag INTEGER NOT NULL DEFAULT 0)"),
    // The newest-version filter looks up MAX(PKID) per (CarNum, RecID).
    QStringLiteral("CREATE INDEX IF NOT EXISTS JobsCarRec ON Jobs (CarNum, RecID, PKID)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS JobsUsedFlag ON Jobs (UsedFlag)"),
    // The selection takes the operational day's rows by their stored start.
    QStringLiteral("CREATE INDEX IF NOT EXISTS JobsRouteStart ON Jobs (RouteStart)"),
    QStringLiteral("CREATE TABLE IF NOT EXISTS AppStatus (Type TEXT PRIMARY KEY, Status TEXT)"),
    QStringLiteral(
        "INSERT OR IGNORE INTO AppStatus (Type, Status) VALUES ('APSTT', ''), ('CRLST', '')"),
    QStringLiteral("CREATE TABLE IF NOT EXISTS ShibFlag (Flag INTEGER)"),
    QStringLiteral(
        "INSERT INTO ShibFlag (Flag) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM ShibFlag)"),
    // A standby pair's lease (empty until a pair's gateway starts).
    SqliteLeaseStatements().createTable(),
};

const QStringList kOrvikDbStatements = {
    QStringLiteral(
        "CREATE TABLE IF NOT EXISTS Scheds (IntrMedRecordID INTEGER, Makat TEXT, DriverName TEXT, "
        "DriverNumber INTEGER, StartTime TEXT, EndTime TEXT, Source TEXT, Destination TEXT, "
        "TruckNumber TEXT, TruckID INTEGER, ORVIKID TEXT)"),
    // One row per distinct set of values, nulls included (a plain UNIQUE
    // would take every null as different); the insert ignores a repeat.
    QStringLiteral(
        "CREATE UNIQUE INDEX IF NOT EXISTS SchedsDistinct ON Scheds (ifnull(IntrMedRecordID, x''), "
        "ifnull(Makat, x''), ifnull(DriverName, x''), ifnull(DriverNumber, x''), "
        "ifnull(StartTime, x''), ifnull(EndTime, x''), ifnull(Source, x''), "
        "ifnull(Destination, x''), ifnull(TruckNumber, x''), ifnull(TruckID, x''), "
        "ifnull(ORVIKID, x''))"),
};

const QStringList kRouteTimesStatements = {
    QStringLiteral(
        "CREATE TABLE IF NOT EXISTS RouteTimes (RouteName TEXT, fromDate TEXT, toDate TEXT, "
        "dayofWeek TEXT, fromTime TEXT, toTime TEXT, arrivalStr TEXT, stayStr TEXT)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS RouteTimesName ON RouteTimes (RouteName)"),
};

} // namespace

QString EmbeddedSchema::jobsFile(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("ORVIK_Jobs.sqlite"));
}

QString EmbeddedSchema::orvikDbFile(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("ORVIKDB.sqlite"));
}

QString EmbeddedSchema::routeTimesFile(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("RteDB.sqlite"));
}

namespace {

// Runs body on a connection of its own to file; body gives the failure's
// text, empty when it went well.
void onConnection(const QString &file, const std::function<QString(QSqlDatabase &)> &body)
{
    const QString name = QStringLiteral("volmara-schema-%1").arg(g_counter.fetchAndAddRelaxed(1));
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=20000"));
        if (!db.open())
            failure = db.lastError().text();
        else
            failure = body(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!failure.isEmpty())
        throw Failure(-2147467259, failure);
}

} // namespace

void EmbeddedSchema::run(const QString &file, const QStringList &statements)
{
    onConnection(file, [&](QSqlDatabase &db) {
        QString failure;
        QSqlQuery q(db);
        for (const QString &statement : statements) {
            if (!q.exec(statement)) {
                failure = q.lastError().text() + QStringLiteral(" (") + statement.left(60)
                    + QLatin1Char(')');
                break;
            }
        }
        // Other programs write these files while the gateway reads them.
        // (After the statements: the vacuum mode must be set on a new
        // file before anything else is written to it.)
        if (failure.isEmpty())
            q.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        return failure;
    });
}

void EmbeddedSchema::insertRows(const QString &file, const QString &statement, int count,
    const std::function<void(QSqlQuery &, int)> &bind)
{
    onConnection(file, [&](QSqlDatabase &db) {
        QString failure;
        db.transaction();
        {
            QSqlQuery q(db);
            if (!q.prepare(statement))
                failure = q.lastError().text();
            for (int i = 0; failure.isEmpty() && i < count; ++i) {
                bind(q, i);
                if (!q.exec())
                    failure = q.lastError().text();
            }
        }
        if (failure.isEmpty())
            db.commit();
        else
            db.rollback();
        return failure;
    });
}

void EmbeddedSchema::create(const QString &folder)
{
    if (!QDir().mkpath(folder))
        throw Failure(
            75, QStringLiteral("Path/File access error: ") + QDir::toNativeSeparators(folder));
    run(jobsFile(folder), kJobsStatements);
    run(orvikDbFile(folder), kOrvikDbStatements);
    run(routeTimesFile(folder), kRouteTimesStatements);
}
