// Pushes a day of job rows through the schedule pipeline on the embedded
// files and prints the time of each stage, for 1,000, 10,000 and 100,000 rows
// over 2,000 lines with 5,000 route rules, and how each stage grows from
// 10,000 to 100,000 rows. The schedule export is not part of this tree yet,
// so message building is not timed here.
//
// Usage: bench_pipeline [rows ...]

#include "app/Gateway.h"
#include "common/LineKey.h"
#include "common/MapProtocol.h"
#include "model/JobsProcessor.h"
#include "model/RouteTimes.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DbSession.h"
#include "platform/RowSet.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <map>

namespace {

constexpr int kLines = 2000;
constexpr int kRules = 5000;
const QDate kToday(2024, 5, 15);

void fail(const QString &what)
{
    std::fprintf(stderr, "bench_pipeline: %s\n", qPrintable(what));
    std::exit(1);
}

// Runs statements on one embedded file with plain Qt SQL.
class File
{
public:
    File(const QString &path) : m_name(QStringLiteral("bench-") + path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        if (!db.open())
            fail(db.lastError().text());
    }
    ~File()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    void exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name));
        if (!q.exec(sql))
            fail(q.lastError().text() + QStringLiteral(": ") + sql);
    }
    QSqlQuery prepare(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name));
        if (!q.prepare(sql))
            fail(q.lastError().text());
        return q;
    }

private:
    QString m_name;
};

int routeCode(int line)
{
    return 100000 + line * 397; // 2,000 distinct six-digit codes
}

void createRules(const QString &folder)
{
    File rte(QDir(folder).filePath(QStringLiteral("RteDB.sqlite")));
    rte.exec(QStringLiteral("CREATE TABLE RouteTimes (RouteName TEXT, fromDate TEXT, toDate TEXT, "
                            "dayofWeek TEXT, fromTime TEXT, toTime TEXT, arrivalStr TEXT, "
                            "stayStr TEXT)"));
    rte.exec(QStringLiteral("BEGIN"));
    QSqlQuery q
        = rte.prepare(QStringLiteral("INSERT INTO RouteTimes VALUES (?,?,?,'1234567',?,?,?,?)"));
    QStringList arrivals, stays;
    for (int s = 0; s < 20; ++s) {
        arrivals << QString::number(s * 4);
        stays << QString::number(1 + s % 3);
    }
    const QString arrival = arrivals.join(QLatin1Char(',')), stay = stays.join(QLatin1Char(','));
    for (int r = 0; r < kRules; ++r) {
        const int line = r % kLines;
        const QString route = LineKey::routeName(LineKey::fromRouteCode(routeCode(line)));
        // Per route: a morning and an afternoon window, and for some a dated rule.
        const int kind = r / kLines;
        const bool dated = kind == 2;
        q.addBindValue(route);
        q.addBindValue(dated ? QVariant(kToday.addDays(-3).toString(Qt::ISODate)) : QVariant());
        q.addBindValue(dated ? QVariant(kToday.addDays(5).toString(Qt::ISODate)) : QVariant());
        q.addBindValue(kind == 1 ? QStringLiteral("13:00:00") : QStringLiteral("04:00:00"));
        q.addBindValue(kind == 1 ? QStringLiteral("23:59:59") : QStringLiteral("12:59:59"));
        q.addBindValue(arrival);
        q.addBindValue(stay);
        if (!q.exec())
            fail(q.lastError().text());
    }
    rte.exec(QStringLiteral("COMMIT"));
}

void fillJobs(const QString &folder, int rows)
{
    File jobs(QDir(folder).filePath(QStringLiteral("ORVIK_Jobs.sqlite")));
    jobs.exec(QStringLiteral("DROP TABLE IF EXISTS Jobs"));
    jobs.exec(QStringLiteral("CREATE TABLE Jobs (PKID INTEGER PRIMARY KEY, EntryDT TEXT, CarNo "
                             "INTEGER, CarNum TEXT, RecID INTEGER, DriverCode INTEGER, DriverName "
                             "TEXT, RouteStart TEXT, RouteEnd TEXT, RouteCode INTEGER, "
                             "RecordUpdater TEXT, OrderDate TEXT, UsedFlag INTEGER)"));
    jobs.exec(QStringLiteral("BEGIN"));
    QSqlQuery q
        = jobs.prepare(QStringLiteral("INSERT INTO Jobs VALUES (?,?,?,?,?,?,?,?,?,?,?,NULL,0)"));
    for (int i = 0; i < rows; ++i) {
        const int line = i % kLines;
        const QDateTime start(kToday, QTime(4, 0).addSecs(60 * ((i * 7919) % 1200)));
        const bool rejected = i % 49 == 0;
        q.addBindValue(i + 1);
        q.addBindValue(QStringLiteral("2024-05-15 03:00:00"));
        q.addBindValue(100 + i % 900);
        q.addBindValue(QString::number(1000000 + i % 900));
        q.addBindValue(i / kLines + 1);
        q.addBindValue(2000 + i % 500);
        q.addBindValue(
            rejected ? QStringLiteral("לא בוצע") : QStringLiteral("נהג %1").arg(i % 500));
        q.addBindValue(start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        q.addBindValue(start.addSecs(3600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        q.addBindValue(routeCode(line));
        q.addBindValue(QStringLiteral("ORDERS"));
        if (!q.exec())
            fail(q.lastError().text());
    }
    jobs.exec(QStringLiteral("COMMIT"));
}

std::shared_ptr<DbSession> session(const QString &folder, const QString &catalog)
{
    auto cn = std::make_shared<DbSession>();
    cn->setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + folder);
    cn->setProperty(QStringLiteral("Initial Catalog"), catalog);
    cn->open();
    return cn;
}

struct Figures
{
    double read = 0, process = 0, routes = 0, again = 0, messages = 0;
    qint64 messageBytes = 0;
    int lines = 0, trips = 0;
};

Figures run(const QString &folder, int rows)
{
    fillJobs(folder, rows);
    QTemporaryDir home;
    Gateway gw(home.path());
    gw.clock().setNow(QDateTime(kToday, QTime(10, 0)));
    const auto cnORVIKDB = session(folder, QStringLiteral("ORVIKDB"));
    const auto cnJobs = session(folder, QStringLiteral("ORVIK_Jobs"));
    const QString select = QStringLiteral(
        "SELECT PKID, EntryDT, CarNo, Replace(CarNum, '-', '') As CarNum, RecID, DriverCode, "
        "DriverName, RouteStart, RouteEnd, RouteCode As Makat, RecordUpdater, EntryDT FROM Jobs");
    auto keys = [&] {
        QStringList k;
        if (gw.day().colLines) {
            for (auto it = gw.day().colLines->begin(); it != gw.day().colLines->end(); ++it)
                k << it.key();
        }
        return k;
    };

    Figures f;
    QElapsedTimer t;
    t.start();
    RowSet::Ptr rs = cnJobs->execute(select);
    f.read = t.nsecsElapsed() / 1e6;

    // The first cycle of the day: every row makes a trip (the rules read
    // for its lines as the database thread does), then every trip is
    // completed in the same step.
    RouteRules rules
        = RouteTimes::read(cnORVIKDB, JobsProcessor::routeListAfter(keys(), *rs), kToday);
    t.restart();
    RouteRules none;
    none.routeList = rules.routeList;
    none.rows = std::make_shared<RowSet>();
    gw.jobsProcessor().ProcessScheduleTrigRecs(*rs, none, nullptr);
    f.process = t.nsecsElapsed() / 1e6;

    t.restart();
    gw.jobsProcessor().completeStops(rules);
    f.routes = t.nsecsElapsed() / 1e6;

    // Every later cycle returns the same rows again.
    RowSet::Ptr again = cnJobs->execute(select);
    rules = RouteTimes::read(cnORVIKDB, JobsProcessor::routeListAfter(keys(), *again), kToday);
    t.restart();
    gw.jobsProcessor().ProcessScheduleTrigRecs(*again, rules, nullptr);
    f.again = t.nsecsElapsed() / 1e6;

    // The push of every line, as the export builds it (the socket left out).
    t.restart();
    for (const auto &line : *gw.day().colLines) {
        const QString message = MapProtocol::kNotifyOrganization + MapProtocol::kOrganization
            + MapProtocol::kExpLineSched + line->Makat + MapProtocol::kItemSeparator
            + mdlSendScheds::scheduleList(*line) + MapProtocol::kLineEnd;
        f.messageBytes += CodePage::toBytes(message).size();
    }
    f.messages = t.nsecsElapsed() / 1e6;

    f.lines = gw.day().colLines->count();
    for (const auto &line : *gw.day().colLines)
        f.trips += line->Scheds.count();
    if (QFile::exists(QDir(home.path()).filePath(QStringLiteral("Debug.TXT"))))
        fail(QStringLiteral("the pipeline logged a failure"));
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    Clock::settleTimeZone(); // as the gateway does
    QCoreApplication app(argc, argv);
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes << QString::fromLocal8Bit(argv[i]).toInt();
    if (sizes.isEmpty())
        sizes = {1000, 10000, 100000};

    QTemporaryDir dir;
    File(QDir(dir.path()).filePath(QStringLiteral("ORVIKDB.sqlite")))
        .exec(QStringLiteral("CREATE TABLE Scheds (IntrMedRecordID INTEGER)"));
    createRules(dir.path());

    QTextStream out(stdout);
    out << "rows      lines  trips    read ms  process+routes ms  routes pass ms  next cycle ms  "
           "messages ms  message MB\n";
    std::map<int, Figures> all;
    for (int rows : sizes) {
        const Figures f = run(dir.path(), rows);
        all[rows] = f;
        out << QString::asprintf("%-9d %-6d %-8d %8.1f %18.1f %15.1f %14.1f %12.1f %11.2f\n", rows,
            f.lines, f.trips, f.read, f.process, f.routes, f.again, f.messages,
            f.messageBytes / 1e6);
        out.flush();
    }
    if (all.count(10000) && all.count(100000)) {
        const Figures &a = all[10000], &b = all[100000];
        out << QString::asprintf("growth 10,000 -> 100,000 rows: read x%.1f, process+routes x%.1f, "
                                 "routes pass x%.1f, next cycle x%.1f, messages x%.1f\n",
            b.read / a.read, b.process / a.process, b.routes / a.routes, b.again / a.again,
            b.messages / a.messages);
    }
    return 0;
}
