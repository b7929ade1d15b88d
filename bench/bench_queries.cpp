// The cost of the job selection and the schedules insert over a 20,000-job
// day on the embedded files, beside a bare prepared SQLite insert of the same
// rows in one transaction, measured in the same run.

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
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

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

double usPerRow(qint64 ns, int rows)
{
    return rows ? double(ns) / 1000.0 / rows : 0.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
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
    return 0;
}
