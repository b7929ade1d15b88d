#include "PostgresDialect.h"

#include "platform/DateTime.h"

#include "SqliteDialect.h"

namespace {

// A typed literal: the text alone would compare as text with a text column.
QString timestamp(const QDateTime &dt)
{
    return QStringLiteral("Cast('") + SqliteDialect::storageText(dt)
        + QStringLiteral("' As Timestamp)");
}

QString timestampOrNull(const QDateTime &dt)
{
    // A timestamp column takes no empty text: an unset time is stored as null.
    return dt.isValid() ? timestamp(dt) : QStringLiteral("NULL");
}

} // namespace

bool PostgresDialect::namesPostgresDriver(const QString &connectionString)
{
    // "DRIVER=name" or "DRIVER={name}", anywhere among the ";"-separated pairs.
    const QStringList pairs = connectionString.split(QLatin1Char(';'));
    for (const QString &pair : pairs) {
        const int eq = int(pair.indexOf(QLatin1Char('=')));
        if (eq < 0)
            continue;
        if (pair.left(eq).trimmed().compare(QLatin1String("DRIVER"), Qt::CaseInsensitive) != 0)
            continue;
        return pair.mid(eq + 1).contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive);
    }
    return false;
}

QString PostgresDialect::appStatusUpdate(
    const QString &version, const QString &status, const QDateTime &now) const
{
    return QStringLiteral("Update AppStatus Set Status = '")
        + escaped(SqliteDialect::serverDateText(now)) + QStringLiteral("' || ' ' || '")
        + escaped(version) + QStringLiteral("' || '") + escaped(status)
        + QStringLiteral("' Where Type = 'APSTT'");
}

QString PostgresDialect::purgeBatch(const QDateTime &now) const
{
    // A null on both sides keeps the row, as on SQL Server. The space of the
    // deleted rows comes back through the server's autovacuum (VACUUM cannot
    // run inside a batch).
    return QStringLiteral("Delete From Jobs Where ")
        + QStringLiteral("Case When OrderDate < RouteEnd Then RouteEnd Else OrderDate End < ")
        + timestamp(now.addDays(-30));
}

QString PostgresDialect::selectionBatch(const QDateTime &now) const
{
    const QDateTime from = DateTime::operationalDayStart(now);
    // One statement: the day's rows are chosen once, returned, and released
    // where they are not yet, so that a cycle that finds nothing new writes
    // nothing (each written row is a new row version to the server). A row
    // some other session left marked 2 is taken and released too. The rows
    // are held by their place (ctid), not PKID: on a Jobs table without its
    // key two rows may share a PKID, and each is judged on its own, as on SQL
    // Server. One statement sees one snapshot, so the places hold throughout.
    return QStringLiteral(
               "WITH DaySelection AS (SELECT ctid AS RowKey FROM Jobs WHERE UsedFlag = 2 OR ")
        + QStringLiteral("(RouteStart >= ") + timestamp(from) + QStringLiteral(" AND RouteStart < ")
        + timestamp(from.addDays(1))
        + QStringLiteral(" AND PKID = (SELECT MAX(PKID) FROM Jobs C Where C.CarNum = Jobs.CarNum "
                         "And C.RecID = Jobs.RecID))), ")
        + QStringLiteral("Released AS (Update Jobs Set UsedFlag = 1 Where ctid IN (SELECT RowKey "
                         "FROM DaySelection) And UsedFlag <> 1) ")
        + QStringLiteral("Select ") + selectionColumns()
        + QStringLiteral(" From Jobs Where ctid IN (SELECT RowKey FROM DaySelection)");
}

QString PostgresDialect::schedsInsert(const SchedValues &v) const
{
    // A unique constraint on Scheds (where the site has one) turns a row
    // offered again on the next cycle into nothing, as on the embedded files.
    return QStringLiteral("INSERT INTO ") + schedsColumns() + QStringLiteral("VALUES (")
        + bare(v.recId) + QStringLiteral(",'") + escaped(v.lineText) + QStringLiteral("','")
        + escaped(v.driverName) + QStringLiteral("',") + bare(v.driverCode) + QLatin1Char(',')
        + timestampOrNull(v.start) + QLatin1Char(',') + timestampOrNull(v.end)
        + QStringLiteral(",'','','") + escaped(v.carNum) + QStringLiteral("',") + bare(v.carNo)
        + QStringLiteral(",'") + escaped(v.carNum) + QStringLiteral("') ON CONFLICT DO NOTHING");
}

QString PostgresDialect::schedsOfDay(const QDateTime &from, const QDateTime &to) const
{
    return schedsOfDayColumns() + timestamp(from) + QStringLiteral(" And StartTime < ")
        + timestamp(to);
}

QString PostgresDialect::schedsBatchBegin() const
{
    // psqlODBC sends a text of several statements as one query, in one round
    // trip; the server stops at the first refused statement, and the
    // transaction is undone with all of it.
    return QStringLiteral("BEGIN");
}

QString PostgresDialect::schedsBatchEnd() const
{
    return QStringLiteral("COMMIT");
}

QString PostgresDialect::schedsBatchRecovery() const
{
    // psqlODBC already rolls back a transaction the server failed; without
    // one open this only warns.
    return QStringLiteral("ROLLBACK");
}

QString PostgresDialect::routeTimesQuery(const QString &routeList, const QDate &today) const
{
    // The date part only: a rule dated with a time of day still counts for
    // its whole day. Nulls sort first, as on SQL Server: the search takes the
    // first rule that fits, and an undated rule comes before the dated ones.
    return QStringLiteral("SELECT RouteName, fromDate, toDate, dayofWeek, fromTime, toTime, "
                          "arrivalStr, stayStr")
        + QStringLiteral(" FROM RteDB.RouteTimes WHERE RouteName IN (") + routeList
        + QStringLiteral(")  And (fromDate IS NULL OR Cast(toDate As Date) >= Cast('")
        + today.addDays(-1).toString(Qt::ISODate)
        + QStringLiteral("' As Date) AND Cast(fromDate As Date) <= Cast('")
        + today.addDays(1).toString(Qt::ISODate)
        + QStringLiteral("' As Date)) ORDER BY 1 NULLS FIRST, 2 NULLS FIRST, 5 NULLS FIRST");
}
