#include "LargeDay.h"

#include "common/LineKey.h"
#include "platform/DateTime.h"

#include "EmbeddedSchema.h"
#include "SqliteDialect.h"

#include <QSqlQuery>

#include <algorithm>

namespace {

// Route codes seven apart, so that the lines' keys spread over every digit.
int routeCodeOf(int line)
{
    return 100000 + line * 7;
}

} // namespace

int LargeDay::defaultLines(int jobs)
{
    return std::clamp(jobs / 20, 1000, 5000);
}

LargeDay::Summary LargeDay::fill(const QString &folder, const QDateTime &now, int jobs, int lines)
{
    Summary s;
    s.jobs = std::max(0, jobs);
    s.lines = std::max(1, std::min(lines > 0 ? lines : defaultLines(s.jobs), std::max(1, s.jobs)));
    const QDateTime day = DateTime::operationalDayStart(now);
    const QString entry = SqliteDialect::storageText(day.addSecs(-3600));
    const QString order = day.date().toString(Qt::ISODate);

    EmbeddedSchema::insertRows(EmbeddedSchema::jobsFile(folder),
        QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, "
            "RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES "
            "(?, ?, ?, ?, ?, ?, ?, ?, ?, 'ops', ?, 0)"),
        s.jobs, [&](QSqlQuery &q, int j) {
            // From 04:30, 37 s apart and wrapping before the next day's 04:00.
            const QDateTime start = day.addSecs(1800 + (j * 37) % 70000);
            q.addBindValue(entry);
            q.addBindValue(1000 + j % 900);
            q.addBindValue(QString::number(5000000 + j));
            q.addBindValue(j + 1);
            q.addBindValue(7000 + j % 400);
            q.addBindValue(QStringLiteral("נהג מספר %1").arg(j % 400));
            q.addBindValue(SqliteDialect::storageText(start));
            q.addBindValue(SqliteDialect::storageText(start.addSecs(3600)));
            q.addBindValue(routeCodeOf(j % s.lines));
            q.addBindValue(order);
        });

    // At least 5,000 rules, a morning and an afternoon rule of each line in
    // turn (with few lines a half has several rules; the first one read wins).
    s.rules = std::max(5000, s.lines);
    EmbeddedSchema::insertRows(EmbeddedSchema::routeTimesFile(folder),
        QStringLiteral("INSERT INTO RouteTimes VALUES (?, NULL, NULL, '1234567', ?, ?, "
                       "'0,6,13,21,30,38', '1,1,2,1,1,0')"),
        s.rules, [&](QSqlQuery &q, int r) {
            const int line = r % s.lines;
            const bool afternoon = (r / s.lines) % 2 == 1;
            q.addBindValue(LineKey::routeName(LineKey::fromRouteCode(routeCodeOf(line))));
            q.addBindValue(afternoon ? QStringLiteral("12:00:00") : QStringLiteral("00:00:00"));
            q.addBindValue(afternoon ? QStringLiteral("23:59:59") : QStringLiteral("11:59:59"));
        });
    return s;
}
