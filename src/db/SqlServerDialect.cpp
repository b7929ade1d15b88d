#include "SqlServerDialect.h"

#include "platform/DateTime.h"

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
