// The cost of the job selection and the schedules insert over a 20,000-job
// day on the embedded files, beside a bare prepared SQLite insert of the same
// rows in one transaction, measured in the same run. Then the read of what
// Scheds holds of the day (the first insert after a start, a new day or a
// reopened session) over a table of 1,000,000 of the day's rows: its time
// and the peak resident memory it adds.
//
// Usage: bench_queries [day rows]   (default 1000000)

#include "app/Gateway.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "db/SqlDialect.h"
#include "db/mdlQueries.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/RowSet.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <sqlite3.h>
#include <sys/resource.h>

namespace {

constexpr int kJobs = 20000;

void fillDay(const QString &folder, const QDateTime &dayStart)
{
    QStringList s{QStringLiteral("BEGIN")};
    const QString fmt = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    for (int i = 0; i < kJobs; ++i) {
        const QDateTime start = dayStart.addSecs(60 + (i % 1200) * 60);
        s << QStringLiteral(
            "INSERT INTO Jobs (EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, "
            "RouteEnd, RouteCode, RecordUpdater, OrderDate, UsedFlag) VALUES ('%1', %2, '%3', %4, "
            "%5, "
            "'%6', '%7', '%8', %9, 'ops', '%10', 0)")
                 .arg(dayStart.toString(fmt), QString::number(1000 + i % 400),
                     QStringLiteral("12-%1-67").arg(100 + i % 400), QString::number(i),
                     QString::number(7000 + i % 300), QStringLiteral("נהג %1").arg(i % 300),
                     start.toString(fmt), start.addSecs(3000).toString(fmt),
                     QString::number(10000 + (i % 60) * 101))
                 .arg(dayStart.date().toString(Qt::ISODate));
    }
    s << QStringLiteral("COMMIT");
    EmbeddedSchema::run(EmbeddedSchema::jobsFile(folder), s);
}

// Rows of the day straight into Scheds, as a site's busy weeks leave it.
void fillScheds(const QString &file, const QDateTime &dayStart, int rows)
{
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(file).constData(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
        "INSERT INTO Scheds (IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, "
        "EndTime, Source, Destination, TruckNumber, TruckID, ORVIKID) VALUES (?, '51-21', ?, ?, "
        "?, ?, '', '', ?, ?, ?)",
        -1, &st, nullptr);
    for (int i = 0; i < rows; ++i) {
        const QDateTime start = dayStart.addSecs(60 + (i % 1200) * 60);
        const QByteArray from = start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8();
        const QByteArray to
            = start.addSecs(3000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8();
        const QByteArray driver = QStringLiteral("נהג %1").arg(i % 300).toUtf8();
        const QByteArray car = QByteArray::number(1234000 + i % 400);
        sqlite3_bind_int64(st, 1, 100000 + i);
        sqlite3_bind_text(st, 2, driver.constData(), int(driver.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 3, 7000 + i % 300);
        sqlite3_bind_text(st, 4, from.constData(), int(from.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 5, to.constData(), int(to.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 6, car.constData(), int(car.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 7, 1000 + i % 400);
        sqlite3_bind_text(st, 8, car.constData(), int(car.size()), SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

long peakMb()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return long(usage.ru_maxrss / 1024);
}

double usPerRow(qint64 ns, int rows)
{
    return rows ? double(ns) / 1000.0 / rows : 0.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments().mid(1);
    const int dayRows = args.isEmpty() ? 1000000 : args.first().toInt();
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("db"));
    EmbeddedSchema::create(folder);
    EmbeddedSchema::run(EmbeddedSchema::orvikDbFile(folder),
        {QStringLiteral("CREATE TABLE Bare AS SELECT * FROM Scheds WHERE 0"),
            QStringLiteral(
                "CREATE UNIQUE INDEX BareDistinct ON Bare (ifnull(IntrMedRecordID, x''), "
                "ifnull(Makat, x''), ifnull(DriverName, x''), ifnull(DriverNumber, x''), "
                "ifnull(StartTime, x''), ifnull(EndTime, x''), ifnull(Source, x''), "
                "ifnull(Destination, x''), ifnull(TruckNumber, x''), ifnull(TruckID, x''), "
                "ifnull(ORVIKID, x''))")});
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0));
    fillDay(folder, QDateTime(now.date(), QTime(4, 0)));

    Gateway gw(home.path());
    gw.clock().setNow(now);
    gw.sessions().strSQLServer = QStringLiteral("sqlite:") + folder;
    gw.sessions().strCatalog = QStringLiteral("ORVIK_Jobs");
    if (!gw.sqlConnect().SQLConnect()) {
        out << "cannot open the embedded databases\n";
        return 1;
    }
    int handed = 0;
    // QueryDB, first cycle of the day: selection plus 20,000 new Scheds rows.
    QElapsedTimer t;
    QueryMode mode = QueryMode::QueryAll;
    t.start();
    const RowSet::Ptr firstRows = gw.queries().QueryDB(mode).rows;
    const qint64 queryFirst = t.nsecsElapsed();
    handed = firstRows ? firstRows->recordCount() : 0;
    // A later cycle: the same rows again, each already stored.
    t.restart();
    gw.queries().QueryDB(mode);
    const qint64 queryAgain = t.nsecsElapsed();

    // InsertScheds alone on an empty table, with the selection's rows.
    RowSet::Ptr rs = gw.sessions().cnJobs->execute(
        QStringLiteral("Select ") + SqlDialect::selectionColumns() + QStringLiteral(" From Jobs"));
    gw.sessions().cnORVIKDB->execute(QStringLiteral("Delete From Scheds"));
    // A selection of its own, that has stored nothing yet.
    mdlQueries fresh(gw.sessions(), gw.statusRows(), gw.marks(), gw.clock(), gw.log(), home.path());
    t.restart();
    fresh.InsertScheds(*rs);
    const qint64 insertNs = t.nsecsElapsed();
    const int rows = rs->recordCount();

    // The same rows through one prepared statement in one transaction.
    QSqlDatabase db = gw.sessions().cnORVIKDB->database();
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "INSERT OR IGNORE INTO Bare (IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, "
        "EndTime, Source, Destination, TruckNumber, TruckID, ORVIKID) "
        "VALUES (?, ?, ?, ?, ?, ?, '', '', ?, ?, ?)"));
    t.restart();
    db.transaction();
    for (rs->moveFirst(); !rs->eof(); rs->moveNext()) {
        q.addBindValue(rs->field(QStringLiteral("RecID")));
        q.addBindValue(mdlQueries::lineText(rs->field(QStringLiteral("Makat"))));
        q.addBindValue(rs->field(QStringLiteral("DriverName")));
        q.addBindValue(rs->field(QStringLiteral("DriverCode")));
        q.addBindValue(rs->field(QStringLiteral("RouteStart")));
        q.addBindValue(rs->field(QStringLiteral("RouteEnd")));
        q.addBindValue(rs->field(QStringLiteral("CarNum")));
        q.addBindValue(rs->field(QStringLiteral("CarNo")));
        q.addBindValue(rs->field(QStringLiteral("CarNum")));
        q.exec();
    }
    db.commit();
    const qint64 bareNs = t.nsecsElapsed();

    out << "rows handed on by QueryDB: " << handed << "\n";
    out << QStringLiteral("QueryDB, first cycle (selection + new rows): %1 us/row\n")
               .arg(usPerRow(queryFirst, handed), 0, 'f', 2);
    out << QStringLiteral("QueryDB, later cycle (selection + repeats):  %1 us/row\n")
               .arg(usPerRow(queryAgain, handed), 0, 'f', 2);
    out << QStringLiteral(
        "InsertScheds:                                %1 us/row (%2 ms for %3 rows)\n")
               .arg(usPerRow(insertNs, rows), 0, 'f', 2)
               .arg(insertNs / 1000000)
               .arg(rows);
    out << QStringLiteral("bare prepared insert, one transaction:       %1 us/row\n")
               .arg(usPerRow(bareNs, rows), 0, 'f', 2);
    out << QStringLiteral("ratio InsertScheds / bare:                   %1\n")
               .arg(double(insertNs) / double(bareNs), 0, 'f', 2);
    out.flush();

    // What Scheds holds of the day, read by the first insert of a run: the
    // gateway's peak so far against the peak after it.
    gw.sessions().cnORVIKDB->execute(QStringLiteral("Delete From Scheds"));
    fillScheds(EmbeddedSchema::orvikDbFile(folder), QDateTime(now.date(), QTime(4, 0)), dayRows);
    const long before = peakMb();
    mdlQueries restarted(
        gw.sessions(), gw.statusRows(), gw.marks(), gw.clock(), gw.log(), home.path());
    RowSet::Ptr one = gw.sessions().cnJobs->execute(QStringLiteral("Select ")
        + SqlDialect::selectionColumns() + QStringLiteral(" From Jobs Where RecID = 1"));
    t.restart();
    restarted.InsertScheds(*one);
    const qint64 learnNs = t.nsecsElapsed();
    out << "\nScheds rows of the day  read ms  peak before MB  peak after MB  added MB\n";
    out << QStringLiteral("%1 %2 %3 %4 %5\n")
               .arg(dayRows, -23)
               .arg(learnNs / 1000000, -8)
               .arg(before, -14)
               .arg(peakMb(), -14)
               .arg(peakMb() - before);
    return 0;
}
