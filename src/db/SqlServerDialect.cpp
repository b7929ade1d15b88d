#include "SqlServerDialect.h"

#include "platform/DateTime.h"

namespace {

QString dateText(const QDateTime &dt)
{
    return dt.isValid() ? DateTime::yyyymmddHhnnss(dt) : QString();
}

} // namespace

QString SqlServerDialect::appStatusUpdate(
    const QString &version, const QString &status, const QDateTime &) const
{
    return QStringLiteral("Update AppStatus Set Status = Cast(GetDate() As VarChar (50)) + ' ' + '")
        + escaped(version) + QStringLiteral("' + '") + escaped(status)
        + QStringLiteral("' Where Type = 'APSTT'");
}

QString SqlServerDialect::purgeBatch(const QDateTime &) const
{
    return QStringLiteral("Delete Jobs Where ")
        + QStringLiteral("Case When OrderDate < RouteEnd Then RouteEnd Else OrderDate End < "
                         "DateAdd(Day, -30, GetDate()) ; ")
        + QStringLiteral("DBCC SHRINKDATABASE (ORVIK_Jobs)");
}

QString SqlServerDialect::selectionBatch(const QDateTime &) const
{
    // The server works out the operational day from its own clock.
    return QStringLiteral("Declare @C Int, @T Datetime")
        + QStringLiteral(
            " Set @T = DateAdd(Hour, 4, Cast(Convert(Char (8), GetDate(), 112) As Datetime))")
        + QStringLiteral(" Set @C = DateDiff(Second, @T, GetDate())")
        + QStringLiteral(" If @C < 0 Set @T = DateAdd(Day, -1, @T)")
        + QStringLiteral(" UPDATE Jobs SET UsedFlag=2 WHERE ")
        + QStringLiteral(" RouteStart >= @T AND ") + QStringLiteral(" RouteStart <  @T + 1 AND ")
        + QStringLiteral(" PKID IN (SELECT MAX(PKID) FROM Jobs C Where C.CarNum = Jobs.CarNum And "
                         "C.RecID = Jobs.RecID) ; ")
        + QStringLiteral("Select ") + selectionColumns() + QStringLiteral(" From Jobs ")
        + QStringLiteral("Where UsedFlag = 2 ; ")
        + QStringLiteral("Update Jobs Set UsedFlag = 1 Where UsedFlag = 2");
}

QString SqlServerDialect::schedsInsert(const SchedValues &v) const
{
    return QStringLiteral("INSERT INTO ") + schedsColumns() + QStringLiteral("VALUES (")
        + bare(v.recId) + QStringLiteral(",'") + escaped(v.lineText) + QStringLiteral("','")
        + escaped(v.driverName) + QStringLiteral("',") + bare(v.driverCode) + QStringLiteral(",")
        + QStringLiteral("'") + dateText(v.start) + QStringLiteral("'") + QStringLiteral(",")
        + QStringLiteral("'") + dateText(v.end) + QStringLiteral("'") + QStringLiteral(",")
        + QStringLiteral("''") + QStringLiteral(",") + QStringLiteral("''") + QStringLiteral(",'")
        + escaped(v.carNum) + QStringLiteral("',") + bare(v.carNo) + QStringLiteral(",'")
        + escaped(v.carNum) + QStringLiteral("')");
}

QString SqlServerDialect::schedsOfDay(const QDateTime &from, const QDateTime &to) const
{
    return schedsOfDayColumns() + QLatin1Char('\'') + dateText(from)
        + QStringLiteral("' And StartTime < '") + dateText(to) + QLatin1Char('\'');
}

QString SqlServerDialect::schedsBatchBegin() const
{
    // Without XACT_ABORT a refused insert ends only itself: the batch would go
    // on and commit the rest. With it, any failure ends the batch and rolls
    // the transaction back.
    return QStringLiteral("SET XACT_ABORT ON ; BEGIN TRANSACTION");
}

QString SqlServerDialect::schedsBatchEnd() const
{
    return QStringLiteral("COMMIT TRANSACTION");
}

QString SqlServerDialect::schedsBatchRecovery() const
{
    // A failure XACT_ABORT does not cover (one found as a statement is
    // compiled, such as a column the table lacks) ends the batch with its
    // transaction still open.
    return QStringLiteral("IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION");
}

QString SqlServerDialect::routeTimesQuery(const QString &routeList, const QDate &today) const
{
    return QStringLiteral("SELECT RouteName, fromDate, toDate, dayofWeek, fromTime, toTime, "
                          "arrivalStr, stayStr")
        + QStringLiteral(" FROM RteDB.dbo.RouteTimes WHERE RouteName IN (") + routeList
        + QStringLiteral(") ") + QStringLiteral(" And (fromDate IS NULL OR toDate >='")
        + DateTime::yyyymmdd(today.addDays(-1)) + QStringLiteral("' AND fromDate <='")
        + DateTime::yyyymmdd(today.addDays(1)) + QStringLiteral("')")
        + QStringLiteral(" ORDER BY 1,2,5");
}
