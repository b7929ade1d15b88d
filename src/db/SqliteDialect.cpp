#include "SqliteDialect.h"

#include "platform/DateTime.h"

#include <QLocale>

QString SqliteDialect::serverDateText(const QDateTime &dt)
{
    // "mon dd yyyy hh:miAM" with blank-padded day and hour, as the site's
    // server writes a date-time cast to text.
    const QLocale c = QLocale::c();
    const int hour12 = dt.time().hour() % 12 == 0 ? 12 : dt.time().hour() % 12;
    return c.toString(dt.date(), QStringLiteral("MMM")) + QLatin1Char(' ')
        + QStringLiteral("%1").arg(dt.date().day(), 2) + QLatin1Char(' ')
        + QString::number(dt.date().year()) + QLatin1Char(' ') + QStringLiteral("%1").arg(hour12, 2)
        + QLatin1Char(':') + QStringLiteral("%1").arg(dt.time().minute(), 2, 10, QLatin1Char('0'))
        + (dt.time().hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
}

QString SqliteDialect::storageText(const QDateTime &dt)
{
    return DateTime::stored(dt);
}

QString SqliteDialect::appStatusUpdate(
    const QString &version, const QString &status, const QDateTime &now) const
{
    return QStringLiteral("Update AppStatus Set Status = '") + escaped(serverDateText(now))
        + QStringLiteral("' || ' ' || '") + escaped(version) + QStringLiteral("' || '")
        + escaped(status) + QStringLiteral("' Where Type = 'APSTT'");
}

QString SqliteDialect::purgeBatch(const QDateTime &now) const
{
    // datetime() reads both stored forms (date, date-time) alike; a null
    // on both sides keeps the row, as on the server. Space comes back through
    // incremental vacuum (volmara-dbinit makes the files with it).
    return QStringLiteral(
               "Delete From Jobs Where Case When datetime(OrderDate) < datetime(RouteEnd) ")
        + QStringLiteral("Then datetime(RouteEnd) Else datetime(OrderDate) End < '")
        + storageText(now.addDays(-30)) + QStringLiteral("' ; PRAGMA incremental_vacuum");
}

QString SqliteDialect::selectionBatch(const QDateTime &now) const
{
    const QDateTime from = DateTime::operationalDayStart(now);
    // One write transaction from the choice of rows to their release, so that
    // no other reader sees it half done. The chosen rows are kept by key in a
    // table of this session: the day's conditions are judged once, the rows
    // come back in key order, and only rows not yet released are written, so
    // that a cycle that finds nothing new writes nothing. A row some other
    // writer left marked 2 is taken and released too. The rows are held by
    // rowid, not PKID: on a Jobs table without its key two rows may share a
    // PKID, and each is judged on its own, as on the server.
    // The range on the stored text as it is (whole dates, so that every
    // stored form of those days falls in it) lets the RouteStart index pick
    // the day's rows; datetime() then judges only those.
    return QStringLiteral("BEGIN IMMEDIATE ; ")
        + QStringLiteral(
            "CREATE TEMP TABLE IF NOT EXISTS DaySelection (RowKey INTEGER PRIMARY KEY) ; "
            "DELETE FROM temp.DaySelection ; ")
        + QStringLiteral("INSERT INTO temp.DaySelection SELECT rowid FROM Jobs WHERE UsedFlag = 2 "
                         "OR (RouteStart >= '")
        + from.date().toString(Qt::ISODate) + QStringLiteral("' AND RouteStart < '")
        + from.date().addDays(2).toString(Qt::ISODate)
        + QStringLiteral("' AND datetime(RouteStart) >= '") + storageText(from)
        + QStringLiteral("' AND datetime(RouteStart) < '") + storageText(from.addDays(1))
        + QStringLiteral("' AND PKID = (SELECT MAX(PKID) FROM Jobs C Where C.CarNum = Jobs.CarNum "
                         "And C.RecID = Jobs.RecID)) ; ")
        + QStringLiteral("Select ") + selectionColumns()
        + QStringLiteral(" From Jobs Where rowid IN temp.DaySelection ; ")
        + QStringLiteral("Update Jobs Set UsedFlag = 1 Where rowid IN temp.DaySelection "
                         "And UsedFlag <> 1 ; DELETE FROM temp.DaySelection ; COMMIT");
}

QString SqliteDialect::schedsInsert(const SchedValues &v) const
{
    // The embedded table keeps one row per distinct set of values: a row
    // already there is passed over. Only a unique key's conflict is: "OR
    // IGNORE" would drop a row a CHECK or NOT NULL refuses without a word.
    return QStringLiteral("INSERT INTO ") + schedsColumns() + QStringLiteral("VALUES (")
        + bare(v.recId) + QStringLiteral(",'") + escaped(v.lineText) + QStringLiteral("','")
        + escaped(v.driverName) + QStringLiteral("',") + bare(v.driverCode) + QStringLiteral(",'")
        + storageText(v.start) + QStringLiteral("','") + storageText(v.end)
        + QStringLiteral("','','','") + escaped(v.carNum) + QStringLiteral("',") + bare(v.carNo)
        + QStringLiteral(",'") + escaped(v.carNum) + QStringLiteral("') ON CONFLICT DO NOTHING");
}

QString SqliteDialect::schedsInsertPrepared() const
{
    // The same insert as schedsInsert, parsed once for the whole day.
    return QStringLiteral("INSERT INTO ") + schedsColumns()
        + QStringLiteral("VALUES (?,?,?,?,?,?,'','',?,?,?) ON CONFLICT DO NOTHING");
}

QVariantList SqliteDialect::schedsInsertValues(const SchedValues &v) const
{
    // The values exactly as schedsInsert writes them: bare numbers checked
    // as there (failure 13), text without NUL, times in the stored form.
    auto number = [](const QVariant &value) {
        const QString text = bare(value);
        // As text: the column's numeric affinity stores it as the literal would be.
        return text == QLatin1String("NULL") ? QVariant() : QVariant(text);
    };
    const QString carNum = withoutNul(v.carNum);
    return {number(v.recId), withoutNul(v.lineText), withoutNul(v.driverName), number(v.driverCode),
        storageText(v.start), storageText(v.end), carNum, number(v.carNo), carNum};
}

QString SqliteDialect::schedsOfDay(const QDateTime &from, const QDateTime &to) const
{
    return schedsOfDayColumns() + QLatin1Char('\'') + storageText(from)
        + QStringLiteral("' And StartTime < '") + storageText(to) + QLatin1Char('\'');
}

QString SqliteDialect::schedsRunBegin() const
{
    // One transaction per call: a commit per row would make a full day take
    // longer than the cycle.
    return QStringLiteral("BEGIN");
}

QString SqliteDialect::schedsRunEnd() const
{
    return QStringLiteral("COMMIT");
}

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
