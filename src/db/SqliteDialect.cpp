#include "SqliteDialect.h"

QString SqliteDialect::routeTimesQuery(const QString &routeList, const QDate &today) const
{
    // date() makes a stored date-time comparable with a plain date.
    return QStringLiteral("SELECT RouteName, fromDate, toDate, dayofWeek, fromTime, toTime, "
                          "arrivalStr, stayStr")
        + QStringLiteral(" FROM RteDB.RouteTimes WHERE RouteName IN (") + routeList
        + QStringLiteral(")  And (fromDate IS NULL OR date(toDate) >= '")
        + today.addDays(-1).toString(Qt::ISODate) + QStringLiteral("' AND date(fromDate) <= '")
        + today.addDays(1).toString(Qt::ISODate) + QStringLiteral("') ORDER BY 1,2,5");
}
