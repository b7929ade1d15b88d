#include "DemoDay.h"

#include "platform/DateTime.h"

#include "common/LineKey.h"

#include "EmbeddedSchema.h"
#include "SqlDialect.h"
#include "SqliteDialect.h"

#include <QStringList>

namespace {

QString q(const QString &text)
{
    return QLatin1Char('\'') + SqlDialect::escaped(text) + QLatin1Char('\'');
}

QString dt(const QDateTime &d)
{
    return q(SqliteDialect::storageText(d));
}

const char *const kDrivers[] = {
    "משה כהן",
    "יוסי לוי",
    "אברהם מזרחי",
    "דוד פרץ",
    "שרה ביטון",
    "רחל אברהם",
    "יעקב פרידמן",
    "מרים אזולאי",
    "חיים דהן",
    "אסתר אוחיון",
    "שמעון גבאי",
    "רונית שלום",
    "אבי בן דוד",
    "נועה חדד",
    "עמית כץ",
    "ג'קי אוחנה",
    "דנה יוסף",
    "אלי ביטון",
};

// Route codes: Eshkol digit, Chalufa digit, three-digit line, direction digit.
const int kRouteCodes[] = {10051, 10052, 11122, 20181, 20182, 10241, 30402, 234561, 10512, 10521,
    21262, 31421, 12011, 10345, 204562};

} // namespace

QString DemoDay::routeName(int routeCode)
{
    return LineKey::routeName(LineKey::fromRouteCode(routeCode));
}

DemoDay::Summary DemoDay::fill(const QString &folder, const QDateTime &now)
{
    Summary s;
    const QDateTime day = DateTime::operationalDayStart(now);
    const int nRoutes = int(sizeof kRouteCodes / sizeof kRouteCodes[0]);
    const int nDrivers = int(sizeof kDrivers / sizeof kDrivers[0]);
    s.lines = nRoutes;

    QStringList jobs;
    auto job = [&](int car, int recId, int driver, const QString &driverName, int route,
                   const QDateTime &start, int minutes, const QString &updater) {
        // Every third vehicle number carries dashes, as the ordering system writes them.
        const int carNo = 1001 + car;
        const QString carNum = car % 3 == 0
            ? QStringLiteral("%1-%2-%3").arg(50 + car).arg(300 + car).arg(10 + car)
            : QString::number(5030010 + car * 101);
        jobs << QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, "
            "RouteStart, RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES "
            "(%1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, 0)")
                    .arg(dt(now.addSecs(-3600)), QString::number(carNo), q(carNum),
                        QString::number(recId), QString::number(7000 + driver), q(driverName),
                        dt(start), dt(start.addSecs(minutes * 60)),
                        QString::number(kRouteCodes[route]))
                    .arg(q(updater), q(start.date().toString(Qt::ISODate)));
        ++s.jobRows;
    };

    // 64 jobs of the day, from 04:30 on, over 20 vehicles.
    for (int j = 0; j < 64; ++j) {
        const int car = j % 20;
        const int driver = j % nDrivers;
        job(car, 100 + j, driver, QString::fromUtf8(kDrivers[driver]), j % nRoutes,
            day.addSecs(1800 + j * 15 * 60), 45 + (j % 4) * 10, QStringLiteral("dispatch"));
        ++s.dayJobs;
    }
    // Changed jobs: a newer row for the same vehicle and RecID (a later start,
    // another driver); only these are delivered.
    for (int j : {3, 11, 27, 40, 52}) {
        const int driver = (j + 5) % nDrivers;
        job(j % 20, 100 + j, driver, QString::fromUtf8(kDrivers[driver]), j % nRoutes,
            day.addSecs(1800 + j * 15 * 60 + 600), 55, QStringLiteral("dispatch"));
    }
    // Newer rows that the jobs processing rejects: a deleting updater, a
    // driver marked not active or not performed.
    job(5 % 20, 105, 5, QString::fromUtf8(kDrivers[5]), 5 % nRoutes, day.addSecs(1800 + 5 * 900),
        45, QStringLiteral("ATMDEL_ORDERS"));
    job(17 % 20, 117, 17, QString::fromUtf8("לא פעיל"), 17 % nRoutes, day.addSecs(1800 + 17 * 900),
        45, QStringLiteral("dispatch"));
    job(33 % 20, 133, 15, QString::fromUtf8("לא בוצע"), 33 % nRoutes, day.addSecs(1800 + 33 * 900),
        45, QStringLiteral("dispatch"));
    // Rows outside the operational day: late yesterday, tomorrow, last month.
    for (int j = 0; j < 4; ++j) {
        job(j, 900 + j, j, QString::fromUtf8(kDrivers[j]), j, day.addSecs(-3600 * (j + 1)), 40,
            QStringLiteral("dispatch"));
        job(j + 4, 950 + j, j + 4, QString::fromUtf8(kDrivers[j + 4]), j + 4,
            day.addDays(1).addSecs(600 * j), 40, QStringLiteral("dispatch"));
        job(j + 8, 990 + j, j + 8, QString::fromUtf8(kDrivers[j + 8]), j + 8,
            day.addDays(-40).addSecs(3600 * 3), 40, QStringLiteral("dispatch"));
    }
    EmbeddedSchema::run(EmbeddedSchema::jobsFile(folder),
        QStringList{QStringLiteral("BEGIN")} + jobs + QStringList{QStringLiteral("COMMIT")});

    // Route rules. Stops in minutes from the start; stays in minutes.
    QStringList rules;
    auto rule = [&](int route, const QVariant &from, const QVariant &to, const QString &fromTime,
                    const QString &toTime, const QString &arrival, const QString &stay) {
        auto date = [](const QVariant &d) {
            return d.isNull() ? QStringLiteral("NULL") : q(d.toDate().toString(Qt::ISODate));
        };
        rules << QStringLiteral(
            "INSERT INTO RouteTimes (RouteName, fromDate, toDate, dayofWeek, fromTime, "
            "toTime, arrivalStr, stayStr) VALUES (%1, %2, %3, '1234567', %4, %5, %6, %7)")
                     .arg(q(routeName(kRouteCodes[route])), date(from), date(to), q(fromTime),
                         q(toTime), q(arrival), q(stay));
        ++s.rules;
    };
    const QDate today = day.date();
    const QVariant none;
    for (int r = 0; r < nRoutes; ++r) {
        switch (r % 5) {
        case 0: // undated, the whole day
            rule(r, none, none, QStringLiteral("00:00:00"), QStringLiteral("23:59:59"),
                QStringLiteral("0,6,13,21,30"), QStringLiteral("1,1,2,1,0"));
            break;
        case 1: // dated rules for the morning and the rest of the day, edges meeting
            rule(r, today.addDays(-7), today.addDays(7), QStringLiteral("04:00:00"),
                QStringLiteral("09:00:00"), QStringLiteral("0,8,17,29"), QStringLiteral("1,2,2,0"));
            rule(r, today.addDays(-7), today.addDays(7), QStringLiteral("09:00:01"),
                QStringLiteral("23:59:59"), QStringLiteral("0,6,12,20"), QStringLiteral("1,1,1,0"));
            break;
        case 2: // an undated rule before a dated one (the undated wins), windows as date-times
            rule(r, none, none, QStringLiteral("1899-12-30 05:00:00"),
                QStringLiteral("1899-12-30 22:00:00"), QStringLiteral("0,5,11"),
                QStringLiteral("1,1"));
            rule(r, today, today, QStringLiteral("00:00:00"), QStringLiteral("23:59:59"),
                QStringLiteral("0,4,9,15"), QStringLiteral("0,0,0,0"));
            break;
        case 3: // a night window that passes midnight (never matches) and an expired rule
            rule(r, none, none, QStringLiteral("22:00:00"), QStringLiteral("02:00:00"),
                QStringLiteral("0,10"), QStringLiteral("2,0"));
            rule(r, today.addDays(-60), today.addDays(-30), QStringLiteral("00:00:00"),
                QStringLiteral("23:59:59"), QStringLiteral("0,10,20"), QStringLiteral("1,1,1"));
            rule(r, today.addDays(-1), today.addDays(1), QStringLiteral("04:00:00"),
                QStringLiteral("23:59:59"), QStringLiteral("0,9,18,27,36,45"),
                QStringLiteral("1,1,1,1,1,0"));
            break;
        default: // one stop, and a rule starting tomorrow
            rule(r, none, none, QStringLiteral("04:00:00"), QStringLiteral("23:59:59"),
                QStringLiteral("0"), QStringLiteral("5"));
            rule(r, today.addDays(1), today.addDays(30), QStringLiteral("00:00:00"),
                QStringLiteral("23:59:59"), QStringLiteral("0,7"), QStringLiteral("1,0"));
            break;
        }
    }
    EmbeddedSchema::run(EmbeddedSchema::routeTimesFile(folder),
        QStringList{QStringLiteral("BEGIN")} + rules + QStringList{QStringLiteral("COMMIT")});
    return s;
}
