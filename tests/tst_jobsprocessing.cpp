#include "CoreParts.h"
#include "RouteTimesDb.h"

#include "common/LineKey.h"
#include "diag/StderrLog.h"
#include "model/DayModel.h"
#include "model/JobsProcessor.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/RowSet.h"

#include <QtTest>

namespace {

const QString kDriver = QStringLiteral("משה כהן");

// One job row as the job selection hands it on (dates as the embedded
// database gives them: text).
struct Job
{
    QVariant PKID;
    QVariant Makat;
    QVariant RecID;
    QVariant RouteStart;
    QVariant RouteEnd = QStringLiteral("2024-05-15 23:00:00");
    QVariant CarNum = QStringLiteral("1234567");
    QVariant CarNo = 17;
    QVariant DriverCode = 4711;
    QVariant DriverName = kDriver;
    QVariant RecordUpdater;

    RowSet::Row row() const
    {
        return {PKID, QStringLiteral("2024-05-15 03:00:00"), CarNo, CarNum, RecID, DriverCode,
            DriverName, RouteStart, RouteEnd, Makat, RecordUpdater,
            QStringLiteral("2024-05-15 03:00:00")};
    }
};

Job job(qint64 pkid, const QVariant &makat, const QVariant &recId, const QString &startHhmm)
{
    Job j;
    j.PKID = pkid;
    j.Makat = makat;
    j.RecID = recId;
    j.RouteStart = QStringLiteral("2024-05-15 ") + startHhmm + QStringLiteral(":00");
    return j;
}

} // namespace
Q_DECLARE_METATYPE(Job)
namespace {

RowSet rows(const QList<Job> &jobs)
{
    QVector<RowSet::Row> out;
    for (const Job &j : jobs)
        out << j.row();
    return RowSet(
        {QStringLiteral("PKID"), QStringLiteral("EntryDT"), QStringLiteral("CarNo"),
            QStringLiteral("CarNum"), QStringLiteral("RecID"), QStringLiteral("DriverCode"),
            QStringLiteral("DriverName"), QStringLiteral("RouteStart"), QStringLiteral("RouteEnd"),
            QStringLiteral("Makat"), QStringLiteral("RecordUpdater"), QStringLiteral("EntryDT")},
        out);
}

QStringList tripKeys(const clsLine &line)
{
    QStringList keys;
    for (const auto &t : line.Scheds)
        keys << t->Idx;
    return keys;
}

} // namespace

class TestJobsProcessing : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<CoreParts> m_core;
    std::unique_ptr<RouteTimesDb> m_db;
    std::unique_ptr<JobsProcessor> m_jobs;
    bool m_processed = false; // the last call's result

    void process(const QList<Job> &jobs)
    {
        RowSet rs = rows(jobs);
        // The rules as the database thread reads them, for the lines the
        // rows will make.
        QStringList keys;
        if (m_core->day.colLines) {
            for (auto it = lines().begin(); it != lines().end(); ++it)
                keys << it.key();
        }
        const QString list = JobsProcessor::routeListAfter(keys, rs);
        const RouteRules rules = list.isEmpty()
            ? RouteRules()
            : RouteTimes::read(m_core->sessions.cnORVIKDB, list, m_core->clock.today());
        m_processed
            = m_jobs->ProcessScheduleTrigRecs(rs, rules, nullptr) == JobsProcessor::Outcome::Done;
        // A push sends each line's kept schedule text: whatever the rows
        // changed, it is what the trips make now. Made here for every line,
        // so that the next call has to tell each line it changes.
        if (!m_core->day.colLines)
            return;
        for (const auto &line : lines()) {
            const QString kept = line->schedule;
            if (!line->scheduleStale)
                QCOMPARE(kept, mdlSendScheds::scheduleList(*line));
            QCOMPARE(mdlSendScheds::currentSchedule(*line), mdlSendScheds::scheduleList(*line));
        }
    }
    colLinesType &lines() { return *m_core->day.colLines; }
    QString debugLog() const
    {
        return QString::fromUtf8(m_core->home.read(QStringLiteral("Debug.TXT")));
    }

private Q_SLOTS:
    void init()
    {
        m_core = std::make_unique<CoreParts>();
        m_db = std::make_unique<RouteTimesDb>();
        m_core->clock.setNow(QDateTime(QDate(2024, 5, 15), QTime(10, 0)));
        m_core->sessions.cnORVIKDB = m_db->open();
        m_jobs = std::make_unique<JobsProcessor>(m_core->day, m_core->log);
    }
    void cleanup()
    {
        m_jobs.reset();
        m_db.reset();
        m_core.reset();
    }

    void lineFieldsFromKey_data()
    {
        QTest::addColumn<QVariant>("makat");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("fields"); // Eshkol Subdiv Chalufa Line Direction Makat
        QTest::newRow("six digits")
            << QVariant(123456) << "123456" << QStringList{"01", "0", "2", "345", "6", "34506201"};
        QTest::newRow("five digits padded")
            << QVariant(12345) << "012345" << QStringList{"00", "0", "1", "234", "5", "23405100"};
        QTest::newRow("seven digits cut")
            << QVariant(1234567) << "123456" << QStringList{"01", "0", "2", "345", "6", "34506201"};
        QTest::newRow("numeric text") << QVariant(QStringLiteral("12345")) << "012345"
                                      << QStringList{"00", "0", "1", "234", "5", "23405100"};
    }
    void lineFieldsFromKey()
    {
        QFETCH(QVariant, makat);
        QFETCH(QString, key);
        QFETCH(QStringList, fields);
        process({job(1, makat, 1, "08:00")});
        QCOMPARE(lines().count(), 1);
        const auto line = lines().value(key);
        QVERIFY(line);
        QCOMPARE(line->Idx, key);
        QCOMPARE((QStringList{line->Eshkol, line->Subdiv, line->Chalufa, line->Line,
                     line->Direction, line->Makat}),
            fields);
        QVERIFY(line->bNew);
        QVERIFY(m_processed);
    }

    void acceptanceTest_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain row") << "" << QVariant() << true;
        QTest::newRow("null CarNum") << "CarNum" << QVariant() << false;
        QTest::newRow("null DriverName") << "DriverName" << QVariant() << false;
        QTest::newRow("null DriverCode") << "DriverCode" << QVariant() << false;
        QTest::newRow("null updater") << "RecordUpdater" << QVariant() << true;
        QTest::newRow("ATMDEL updater") << "RecordUpdater" << QVariant("ATMDEL_7") << false;
        QTest::newRow("atmdel lower case") << "RecordUpdater" << QVariant("atmdel") << false;
        QTest::newRow("ATMDEL not at start") << "RecordUpdater" << QVariant("X_ATMDEL") << true;
        QTest::newRow("CarNum 0") << "CarNum" << QVariant("0") << false;
        QTest::newRow("CarNum zeros") << "CarNum" << QVariant("0000000") << false;
        QTest::newRow("CarNum number 0") << "CarNum" << QVariant(0) << false;
        QTest::newRow("CarNum leading zeros") << "CarNum" << QVariant("0001") << true;
        QTest::newRow("CarNum letters") << "CarNum" << QVariant("AB0") << true;
        QTest::newRow("CarNum blank then 0") << "CarNum" << QVariant(" 0") << true;
        QTest::newRow("CarNum zeros then blank") << "CarNum" << QVariant("00 ") << true;
        QTest::newRow("CarNum blank") << "CarNum" << QVariant(" ") << true;
        QTest::newRow("CarNum empty") << "CarNum" << QVariant("") << true;
        QTest::newRow("DriverCode 0") << "DriverCode" << QVariant(0) << false;
        QTest::newRow("DriverCode text 0") << "DriverCode" << QVariant("0") << false;
        QTest::newRow("DriverName empty") << "DriverName" << QVariant("") << false;
        QTest::newRow("not performed") << "DriverName" << QVariant("לא בוצע") << false;
        QTest::newRow("not active") << "DriverName" << QVariant("לא פעיל") << false;
        QTest::newRow("not active is whole value")
            << "DriverName" << QVariant("לא פעיל זמנית") << true;
    }
    void acceptanceTest()
    {
        QFETCH(QString, column);
        QFETCH(QVariant, value);
        QFETCH(bool, accepted);
        Job j = job(1, 123456, 9, "08:00");
        if (column == "CarNum")
            j.CarNum = value;
        else if (column == "DriverName")
            j.DriverName = value;
        else if (column == "DriverCode")
            j.DriverCode = value;
        else if (column == "RecordUpdater")
            j.RecordUpdater = value;

        // A new line: the row decides whether it is created.
        process({j});
        QCOMPARE(lines().contains("123456"), accepted);

        // A known trip: a rejected row removes it, the line stays.
        m_core->day.colLines.reset();
        process({job(1, 123456, 9, "08:00")});
        lines().item("123456")->bNew = false;
        j.PKID = 2;
        process({j});
        const auto line = lines().item("123456");
        QCOMPARE(line->Scheds.contains("9"), accepted);
        QVERIFY(line->bNew);
        QVERIFY(!debugLog().contains("ProcessScheduleTrigRecs"));
    }

    void nullMakatSkippedBeforeAnyTest()
    {
        Job bad = job(1, QVariant(), QStringLiteral("not a number"), "08:00");
        bad.DriverCode = QStringLiteral("x");
        bad.RouteStart = QStringLiteral("never");
        process({bad, job(2, 200000, 5, "09:00")});
        QCOMPARE(lines().count(), 1);
        QVERIFY(lines().contains("200000"));
        QVERIFY(!debugLog().contains("ProcessScheduleTrigRecs"));
    }

    void firstRejectedRowCreatesNoLine()
    {
        Job rejected = job(1, 300000, 1, "07:00");
        rejected.DriverName = QStringLiteral("לא בוצע");
        process({rejected});
        QVERIFY(m_core->day.colLines);
        QCOMPARE(lines().count(), 0);

        // The later acceptable row of the same code creates it (rows sorted by PKID).
        process({job(3, 300000, 2, "08:00"), rejected});
        QCOMPARE(lines().count(), 1);
        QCOMPARE(tripKeys(*lines().item("300000")), QStringList{"2"});
    }

    void newerRowOfOneTripWins()
    {
        Job newer = job(20, 123456, 5, "09:00");
        newer.DriverName = QStringLiteral("B");
        newer.CarNum = QStringLiteral("7654321");
        Job older = job(10, 123456, 5, "08:00");
        older.DriverName = QStringLiteral("A");
        process({newer, older});
        const auto line = lines().item("123456");
        QCOMPARE(line->Scheds.count(), 1);
        const auto trip = line->Scheds.item("5");
        QCOMPARE(trip->PKID, 20);
        QCOMPARE(trip->DriverName, QStringLiteral("B"));
        QCOMPARE(trip->ORVIKID, QStringLiteral("7654321"));
        QCOMPARE(trip->StartDT, QDateTime(QDate(2024, 5, 15), QTime(9, 0)));
    }

    // Every cycle offers the whole day again. A row offered again unchanged
    // leaves its trip as it is (its stops come again from the route pass);
    // a row changed under the same key is applied like a new one.
    void rowOfferedAgain_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<int>("trips");
        QTest::newRow("unchanged") << "" << kDriver << 1;
        QTest::newRow("driver edited in place") << "driver"
                                                << "B" << 1;
        QTest::newRow("start edited in place") << "start" << kDriver << 1;
        QTest::newRow("cancelled in place") << "updater" << kDriver << 0;
        QTest::newRow("code type changed") << "text code" << kDriver << 1;
        QTest::newRow("server date-time edited") << "date-time" << kDriver << 1;
    }
    void rowOfferedAgain()
    {
        QFETCH(QString, change);
        QFETCH(QString, driver);
        QFETCH(int, trips);
        QVERIFY(m_db->addRule(LineKey::routeName("123456"), QVariant(), QVariant(), "00:00:00",
            "23:59:59", "0,5", "1,1"));
        Job j = job(7, 123456, 5, "08:00");
        if (change == "date-time") // as a server's driver gives it
            j.RouteStart = QDateTime(QDate(2024, 5, 15), QTime(8, 0));
        process({j});
        const auto line = lines().item("123456");
        const auto trip = line->Scheds.item("5");
        QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;5;1"));
        line->bNew = false;
        trip->Sent = QDateTime(QDate(2024, 5, 15), QTime(9, 0));
        if (change == "driver")
            j.DriverName = QStringLiteral("B");
        else if (change == "start")
            j.RouteStart = QStringLiteral("2024-05-15 11:30:00");
        else if (change == "updater")
            j.RecordUpdater = QStringLiteral("ATMDEL");
        else if (change == "text code")
            j.DriverCode = QStringLiteral("4712");
        else if (change == "date-time")
            j.RouteStart = QDateTime(QDate(2024, 5, 15), QTime(11, 30));
        // The rule is gone meanwhile: no trip keeps the stops it gave.
        QVERIFY(
            m_db->exec(QStringLiteral("RteDB.sqlite"), QStringLiteral("DELETE FROM RouteTimes")));
        process({j});
        QVERIFY(m_processed);
        QVERIFY(line->bNew);
        QCOMPARE(line->Scheds.count(), trips);
        if (!trips)
            return;
        QCOMPARE(line->Scheds.item("5"), trip);
        QCOMPARE(trip->DriverName, driver);
        const bool moved = change == "start" || change == "date-time";
        QCOMPARE(trip->StartDT.time(), moved ? QTime(11, 30) : QTime(8, 0));
        QCOMPARE(trip->DriverCode, change == "text code" ? 4712 : 4711);
        QCOMPARE(trip->Stops, qint16(1));
        QCOMPARE(trip->StTimes, QString());
        QCOMPARE(trip->Sent.time(), QTime(9, 0)); // what was answered stays
    }

    // An unchanged trip keeps its stops only while the rules are those it was
    // completed with; a trip whose rule failed is tried (and told) again.
    void stopsOfAnUnchangedTripAcrossPasses_data()
    {
        QTest::addColumn<QString>("ruleAfter"); // the arrivals of the rule in the second pass
        QTest::addColumn<QString>("stopsAfter");
        QTest::addColumn<int>("records");
        QTest::newRow("same rule") << "0,5"
                                   << "1;0;1;2;5;1" << 0;
        QTest::newRow("rule edited") << "0,7"
                                     << "1;0;1;2;7;1" << 0;
        QTest::newRow("rule failing twice") << ""
                                            << "" << 2;
    }
    void stopsOfAnUnchangedTripAcrossPasses()
    {
        QFETCH(QString, ruleAfter);
        QFETCH(QString, stopsAfter);
        QFETCH(int, records);
        const QString route = LineKey::routeName("123456");
        const QVariant arrivalBefore = records ? QVariant() : QVariant(QStringLiteral("0,5"));
        QVERIFY(m_db->addRule(
            route, QVariant(), QVariant(), "00:00:00", "23:59:59", arrivalBefore, "1,1"));
        const Job j = job(7, 123456, 5, "08:00");
        process({j});
        const auto trip = lines().item("123456")->Scheds.item("5");
        QVERIFY(m_processed);
        if (!records) {
            QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;5;1"));
            QVERIFY(m_db->exec(QStringLiteral("RteDB.sqlite"),
                QStringLiteral("UPDATE RouteTimes SET arrivalStr = ?"), {ruleAfter}));
        }
        process({j});
        QVERIFY(m_processed);
        QCOMPARE(trip->StTimes, stopsAfter);
        QCOMPARE(int(debugLog().count("GetStationData")), records);
    }

    // The rules are read before the merge for the lines it will have; a
    // wrong guess costs a second read (and a warning). Rows of one code come
    // together, and whether the code makes a line is for each row to say.
    void routeListFoundBeforeTheMerge_data()
    {
        QTest::addColumn<QList<Job>>("jobs");
        QTest::addColumn<QStringList>("lines");
        Job noDriver = job(1, 111111, 1, "06:00");
        noDriver.DriverName = QVariant();
        Job cancelled = job(3, 222222, 3, "06:00");
        cancelled.RecordUpdater = QStringLiteral("ATMDEL1");
        QTest::newRow("first row of a code rejected, a later one taken")
            << QList<Job>{noDriver, job(2, 111111, 2, "07:00")} << QStringList{"111111"};
        QTest::newRow("every row of a code rejected")
            << QList<Job>{cancelled, job(4, 333333, 4, "07:00")} << QStringList{"333333"};
        QTest::newRow("codes between taken and rejected rows") << QList<Job>{
            job(5, 444444, 5, "06:00"), noDriver, job(6, 444444, 6, "06:30"),
            job(7, 111111, 7, "07:00")} << QStringList{"111111", "444444"};
    }
    void routeListFoundBeforeTheMerge()
    {
        QFETCH(QList<Job>, jobs);
        QFETCH(QStringList, lines);
        process(jobs);
        QVERIFY2(m_processed, "the rules were read for other lines than the merge made");
        QCOMPARE(this->lines().count(), int(lines.size()));
        for (const QString &key : lines)
            QVERIFY(this->lines().contains(key));
    }

    // A large day merged a few milliseconds at a time: between two slices
    // the map may be answered, so each line must be as it was or as the
    // whole merge leaves it, never in between; and the day the slices end
    // with is the one the merge in one piece makes.
    void mergeInSlices_data()
    {
        QTest::addColumn<bool>("newDay");
        QTest::addColumn<bool>("rulesChange");
        QTest::addColumn<bool>("wholeDayAgain"); // else: the changed rows alone
        QTest::newRow("changed rows") << false << false << false;
        QTest::newRow("changed rows, new rules") << false << true << false;
        QTest::newRow("the whole day again") << false << false << true;
        QTest::newRow("a new day") << true << false << true;
    }
    void mergeInSlices()
    {
        QFETCH(bool, newDay);
        QFETCH(bool, rulesChange);
        QFETCH(bool, wholeDayAgain);
        constexpr int kLines = 300, kTrips = 40;
        const auto code = [](int line) { return 100000 + line * 10; };
        for (int l = 0; l <= kLines; ++l) {
            QVERIFY(m_db->addRule(LineKey::routeName(LineKey::fromRouteCode(code(l))), QVariant(),
                QVariant(), "00:00:00", "23:59:59",
                QString("0,%1,%2").arg(l % 7 + 1).arg(l % 9 + 9), "1,1,0"));
        }
        QList<Job> before, after;
        for (int l = 0; l < kLines; ++l) {
            for (int t = 0; t < kTrips; ++t) {
                const int rec = l * kTrips + t + 1;
                const QString start = QTime(5, 0).addSecs(t * 600 + l).toString("HH:mm");
                Job j = job(rec, code(l), rec, start);
                before << j;
                // Every third line changes: a driver, a trip cancelled, a
                // trip moved later.
                if (l % 3 == 0) {
                    if (t == 1)
                        j.DriverName = QStringLiteral("דוד לוי");
                    if (t == 2)
                        j.RecordUpdater = QStringLiteral("ATMDEL");
                    if (t == 3)
                        j.RouteStart = QStringLiteral("2024-05-15 22:00:00");
                    j.PKID = rec + 100000; // a newer version of the job
                    after << j;
                } else if (wholeDayAgain) {
                    after << j;
                }
            }
        }
        after << job(900001, code(kLines), 900001, "09:00"); // a line new today

        // The rules the database thread reads for the lines the rows make.
        const auto rulesFor = [&](const colLinesType *day, RowSet &rs) {
            QStringList keys;
            if (day) {
                for (auto it = day->begin(); it != day->end(); ++it)
                    keys << it.key();
            }
            return RouteTimes::read(m_core->sessions.cnORVIKDB,
                JobsProcessor::routeListAfter(keys, rs), m_core->clock.today());
        };
        const auto texts = [](const colLinesType &day) {
            QHash<QString, QString> out;
            for (auto it = day.begin(); it != day.end(); ++it)
                out.insert(it.key(), mdlSendScheds::scheduleList(**it));
            return out;
        };

        // The same two passes on a second day, in one piece.
        DayModel wholeDay;
        JobsProcessor whole(wholeDay, m_core->log);
        RowSet rsBefore = rows(before);
        const RouteRules rulesBefore = rulesFor(nullptr, rsBefore);
        QCOMPARE(m_jobs->ProcessScheduleTrigRecs(rsBefore, rulesBefore, nullptr),
            JobsProcessor::Outcome::Done);
        QCOMPARE(whole.ProcessScheduleTrigRecs(rsBefore, rulesBefore, nullptr),
            JobsProcessor::Outcome::Done);
        const QHash<QString, QString> old = texts(lines());
        QCOMPARE(old.size(), kLines);
        QVERIFY(old.value(LineKey::fromRouteCode(code(0))).contains(";0;1;2;1;1;3;9;"));

        if (rulesChange) {
            QVERIFY(m_db->exec(QStringLiteral("RteDB.sqlite"),
                QStringLiteral("UPDATE RouteTimes SET arrivalStr = arrivalStr || ',30'")));
        }
        auto rsAfter = std::make_shared<RowSet>(rows(after));
        const RouteRules rulesAfter
            = rulesFor(newDay ? nullptr : wholeDay.colLines.get(), *rsAfter);
        if (newDay)
            wholeDay.colLines.reset();
        RowSet rsWhole = rows(after);
        QCOMPARE(whole.ProcessScheduleTrigRecs(rsWhole, rulesAfter, nullptr),
            JobsProcessor::Outcome::Done);
        const QHash<QString, QString> final = texts(*wholeDay.colLines);
        QCOMPARE(final.size(), kLines + 1);

        const colLinesType *const dayBefore = m_core->day.colLines.get();
        m_jobs->beginMerge(rsAfter, rulesAfter, newDay);
        int slices = 0;
        std::optional<JobsProcessor::Outcome> outcome;
        while (!(outcome = m_jobs->mergeSlice(1, nullptr))) {
            ++slices;
            QVERIFY(m_jobs->merging());
            if (newDay) { // built apart: the old day answers until the new one is whole
                QVERIFY(texts(lines()) == (m_core->day.colLines.get() == dayBefore ? old : final));
                continue;
            }
            for (auto it = lines().begin(); it != lines().end(); ++it) {
                const QString now = mdlSendScheds::scheduleList(**it);
                QVERIFY2(now == old.value(it.key()) || now == final.value(it.key()),
                    qPrintable(
                        QString("line %1 half made after slice %2").arg(it.key()).arg(slices)));
            }
        }
        QCOMPARE(*outcome, JobsProcessor::Outcome::Done);
        QVERIFY(!m_jobs->merging());
        QVERIFY2(slices > 1, "the day was merged in one slice: nothing was checked between slices");
        QCOMPARE(texts(lines()), final);
        QVERIFY(final != old);
    }

    // A steady day's runs of rows are passed over while they stay as they
    // were; whatever changes in one afterwards leaves the day as merging
    // every row again makes it (here: a day that saw the first rows once).
    void steadyRunThenAChange_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("nothing") << "";
        QTest::newRow("a driver") << "driver";
        QTest::newRow("a start") << "start";
        QTest::newRow("a cancellation") << "cancel";
        QTest::newRow("a job more") << "more";
        QTest::newRow("the rules") << "rules";
        QTest::newRow("a line's rule gone") << "rule gone";
    }
    void steadyRunThenAChange()
    {
        QFETCH(QString, change);
        const auto code = [](int line) { return 100000 + line * 10; };
        QList<Job> before;
        for (int l = 0; l < 3; ++l) {
            QVERIFY(m_db->addRule(LineKey::routeName(LineKey::fromRouteCode(code(l))), QVariant(),
                QVariant(), "00:00:00", "23:59:59", "0,5,9", "1,1,0"));
            for (int t = 0; t < 4; ++t)
                before << job(l * 10 + t, code(l), l * 10 + t, QString("0%1:00").arg(5 + t));
        }
        DayModel once;
        JobsProcessor onceJobs(once, m_core->log);
        const auto mergeOnce = [&](const QList<Job> &jobs) {
            RowSet rs = rows(jobs);
            QStringList keys;
            if (once.colLines) {
                for (auto it = once.colLines->begin(); it != once.colLines->end(); ++it)
                    keys << it.key();
            }
            const RouteRules rules = RouteTimes::read(m_core->sessions.cnORVIKDB,
                JobsProcessor::routeListAfter(keys, rs), m_core->clock.today());
            return onceJobs.ProcessScheduleTrigRecs(rs, rules, nullptr);
        };
        QCOMPARE(mergeOnce(before), JobsProcessor::Outcome::Done);
        // The third pass finds every run as the second left it.
        for (int pass = 0; pass < 3; ++pass) {
            process(before);
            QVERIFY(m_processed);
        }
        QList<Job> after = before;
        if (change == "driver")
            after[1].DriverName = QStringLiteral("דוד לוי");
        else if (change == "start")
            after[2].RouteStart = QStringLiteral("2024-05-15 22:00:00");
        else if (change == "cancel")
            after[3].RecordUpdater = QStringLiteral("ATMDEL");
        else if (change == "more")
            after.insert(4, job(9, code(0), 9, "12:00"));
        else if (change == "rules")
            QVERIFY(m_db->exec(QStringLiteral("RteDB.sqlite"),
                QStringLiteral("UPDATE RouteTimes SET arrivalStr = '0,7,11'")));
        else if (change == "rule gone")
            QVERIFY(m_db->exec(QStringLiteral("RteDB.sqlite"),
                QStringLiteral("DELETE FROM RouteTimes WHERE RouteName = ?"),
                {LineKey::routeName(LineKey::fromRouteCode(code(0)))}));
        const auto firstLine = [&] { return lines().item(LineKey::fromRouteCode(code(0))); };
        const QString steady = mdlSendScheds::scheduleList(*firstLine());
        for (const auto &line : lines())
            line->bNew = false;
        process(after);
        QVERIFY(m_processed);
        QCOMPARE(mergeOnce(after), JobsProcessor::Outcome::Done);

        QCOMPARE(lines().count(), once.colLines->count());
        for (auto it = once.colLines->begin(); it != once.colLines->end(); ++it) {
            const auto line = lines().item(it.key());
            QCOMPARE(mdlSendScheds::scheduleList(*line), mdlSendScheds::scheduleList(**it));
            QVERIFY(line->bNew); // every line's rows came again
        }
        // The change reached what the map is sent.
        QCOMPARE(mdlSendScheds::scheduleList(*firstLine()) != steady, !change.isEmpty());
    }

    void unknownTripRejectedChangesNothing()
    {
        process({job(1, 123456, 1, "08:00")});
        lines().item("123456")->bNew = false;
        Job rejected = job(2, 123456, 2, "09:00");
        rejected.RecordUpdater = QStringLiteral("AtmDel");
        process({rejected});
        QCOMPARE(tripKeys(*lines().item("123456")), QStringList{"1"});
        QVERIFY(!lines().item("123456")->bNew);
    }

    void removingLastTripKeepsLine()
    {
        process({job(1, 123456, 1, "08:00")});
        Job gone = job(2, 123456, 1, "08:00");
        gone.DriverName = QStringLiteral("לא פעיל");
        process({gone});
        QVERIFY(lines().contains("123456"));
        QCOMPARE(lines().item("123456")->Scheds.count(), 0);
        QVERIFY(lines().item("123456")->bNew);
    }

    void tripsOrderedByStart()
    {
        process({job(1, 123456, 1, "10:00"), job(2, 123456, 2, "08:00"), job(3, 123456, 3, "09:00"),
            job(4, 123456, 4, "08:00"), job(5, 123456, 5, "12:00")});
        QCOMPARE(tripKeys(*lines().item("123456")), (QStringList{"2", "4", "3", "1", "5"}));

        // A known trip keeps its place; a new one goes before the first trip
        // that starts strictly later, wherever that is.
        process({job(6, 123456, 2, "11:00"), job(7, 123456, 6, "08:30")});
        QCOMPARE(tripKeys(*lines().item("123456")), (QStringList{"6", "2", "4", "3", "1", "5"}));
    }

    void linesOrderedByKey()
    {
        process({job(1, 300000, 1, "08:00"), job(2, 99999, 1, "08:00"), job(3, 200000, 1, "08:00"),
            job(4, 150000, 1, "08:00")});
        process({job(5, 250000, 1, "08:00"), job(6, 100, 1, "08:00")});
        QStringList keys;
        for (const auto &l : lines())
            keys << l->Idx;
        QCOMPARE(keys, (QStringList{"000100", "099999", "150000", "200000", "250000", "300000"}));
    }

    void tripFieldsFromRow()
    {
        Job j = job(41, 123456, 77, "06:15");
        j.RouteEnd = QVariant();
        j.CarNo = 555;
        process({j});
        const auto trip = lines().item("123456")->Scheds.item("77");
        QCOMPARE(trip->Idx, QStringLiteral("77"));
        QCOMPARE(trip->PKID, 41);
        QCOMPARE(trip->RecID, 77);
        QCOMPARE(trip->CarNo, QStringLiteral("555"));
        QCOMPARE(trip->CarNum, QStringLiteral("1234567"));
        QCOMPARE(trip->ORVIKID, QStringLiteral("1234567"));
        QCOMPARE(trip->DriverCode, 4711);
        QCOMPARE(trip->DriverName, kDriver);
        QCOMPARE(trip->RouteCode, 123456);
        QCOMPARE(trip->StartDT, QDateTime(QDate(2024, 5, 15), QTime(6, 15), Qt::UTC));
        QCOMPARE(trip->StartDT.timeSpec(), Qt::UTC); // a wall-clock value
        QCOMPARE(trip->EndDT, DateTime::zero());
        QCOMPARE(trip->Stops, qint16(1)); // no route rule
        QCOMPARE(trip->StTimes, QString());
    }

    void badRowIsLoggedAndPassedOver_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("number");
        QTest::newRow("RecID not a number") << "RecID" << QVariant("R12") << 13;
        QTest::newRow("RecID beyond 32 bits") << "RecID" << QVariant(qint64(5000000000)) << 6;
        QTest::newRow("PKID beyond 32 bits") << "PKID" << QVariant(qint64(-3000000000)) << 6;
        QTest::newRow("DriverCode not a number") << "DriverCode" << QVariant("D7") << 13;
        QTest::newRow("DriverCode beyond 32 bits") << "DriverCode" << QVariant(1e12) << 6;
        QTest::newRow("RouteStart not a date") << "RouteStart" << QVariant("yesterday") << 13;
        QTest::newRow("RouteStart null") << "RouteStart" << QVariant() << 94;
        QTest::newRow("RouteEnd not a date") << "RouteEnd" << QVariant("2024-13-40") << 13;
        QTest::newRow("Makat not a number") << "Makat" << QVariant("5L") << 13;
    }
    void badRowIsLoggedAndPassedOver()
    {
        QFETCH(QString, column);
        QFETCH(QVariant, value);
        QFETCH(int, number);
        // PKID 1 on the first route sorts first and is merged before the bad row.
        Job bad = job(2, 500000, 3, "08:00");
        if (column == "RecID")
            bad.RecID = value;
        else if (column == "PKID")
            bad.PKID = value;
        else if (column == "DriverCode")
            bad.DriverCode = value;
        else if (column == "RouteStart")
            bad.RouteStart = value;
        else if (column == "RouteEnd")
            bad.RouteEnd = value;
        else if (column == "Makat")
            bad.Makat = value;
        process({job(1, 100000, 1, "08:00"), bad, job(3, 900000, 1, "08:00")});

        // The whole day comes back every cycle: a bad row must not hold up
        // the rows after it, and it leaves no half-made line behind.
        QVERIFY(lines().contains("100000"));
        QVERIFY(lines().contains("900000"));
        QCOMPARE(lines().count(), 2);
        const QString log = debugLog();
        const QString pkid = column == "PKID" ? value.toString() : QStringLiteral("2");
        QVERIFY2(log.contains("ProcessScheduleTrigRecs: PKID " + pkid
                     + "Error Number: " + QString::number(number)),
            qPrintable(log));
        QVERIFY(m_processed);
    }

    // The day comes back every cycle: a bad row's failure is written once
    // and then counted, in the debug log and on standard error alike; its
    // count is told when the row passes without it or fails another way.
    void badRowWrittenOnceThenCounted_data()
    {
        QTest::addColumn<QVariantList>("driverCodes"); // the bad row's, one per pass
        QTest::addColumn<QStringList>("written"); // the row's records, in order
        QTest::addColumn<bool>("besideAGoodRow"); // of its own route code
        const QString since = QStringLiteral(" [repeated %1 more times since 10:00:00]");
        QTest::newRow("same failure, then fixed")
            << QVariantList{"D7", "D7", "D7", 4711}
            << QStringList{"PKID 2Error Number: 13", "PKID 2" + since.arg(2) + "Error Number: 13"}
            << false;
        // Its code's run changes nothing else: it is merged again all the same.
        QTest::newRow("same failure beside a good row, then fixed")
            << QVariantList{"D7", "D7", "D7", "D7", 4711}
            << QStringList{"PKID 2Error Number: 13", "PKID 2" + since.arg(3) + "Error Number: 13"}
            << true;
        QTest::newRow("another failure")
            << QVariantList{"D7", "D7", 1e12, 1e12}
            << QStringList{"PKID 2Error Number: 13", "PKID 2" + since.arg(1) + "Error Number: 13",
                   "PKID 2Error Number: 6",
                   // told at the program's end
                   "PKID 2 [repeated 1 more times since 10:00:30]Error Number: 6"}
            << false;
        QTest::newRow("fixed, then failing again")
            << QVariantList{"D7", 4711, "D7"}
            << QStringList{"PKID 2Error Number: 13", "PKID 2Error Number: 13"} << false;
    }
    void badRowWrittenOnceThenCounted()
    {
        QFETCH(QVariantList, driverCodes);
        QFETCH(QStringList, written);
        QFETCH(bool, besideAGoodRow);
        QStringList stderrLines;
        StderrLog stderrLog(
            [&](const QByteArray &line) { stderrLines << QString::fromUtf8(line); });
        m_core->log.addSink(&stderrLog);
        for (const QVariant &code : driverCodes) {
            Job bad = job(2, 500000, 3, "08:00");
            bad.DriverCode = code;
            QList<Job> jobs{job(1, 100000, 1, "08:00"), bad};
            if (besideAGoodRow)
                jobs << job(4, 500000, 4, "09:00");
            process(jobs);
            QVERIFY(m_processed);
            m_core->clock.advanceSeconds(15);
        }
        m_core->log.flushRepeats(true);
        m_core->log.removeSink(&stderrLog);
        const QStringList lines = debugLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), written.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines.at(i).contains("ProcessScheduleTrigRecs: " + written.at(i)),
                qPrintable(lines.join('\n')));
        QCOMPARE(stderrLines.size(), written.size());
    }

    void makatBeyond32BitsMakesNoLine()
    {
        process({job(1, qint64(9000000000), 1, "08:00")});
        QCOMPARE(lines().count(), 0);
        QVERIFY(debugLog().contains("ProcessScheduleTrigRecs: PKID 1Error Number: 6"));
    }

    void emptyRowSetChangesNothing()
    {
        process({});
        QVERIFY(!m_core->day.colLines);
        QVERIFY(m_processed);
    }

    // A first batch of the day with every row rejected is a normal state:
    // nothing to complete, nothing to log.
    void allRowsRejectedIsNoFailure()
    {
        Job rejected = job(1, 123456, 1, "07:00");
        rejected.DriverCode = 0;
        process({rejected});
        QCOMPARE(lines().count(), 0);
        QVERIFY(!m_core->home.exists("Debug.TXT"));
        QVERIFY(m_processed);
    }

    void missingRouteSessionIsLogged()
    {
        m_core->sessions.cnORVIKDB.reset();
        process({job(1, 123456, 1, "07:00")});
        QVERIFY(lines().contains("123456")); // merged before the pass failed
        QVERIFY(debugLog().contains("ProcessScheduleTrigRecs: Error Number: 91"));
        QVERIFY(!m_processed);
    }

    // Job and rule times are the site's wall-clock times: 02:30 on the night
    // the clocks go forward (an hour the local zone skips) and a time of the
    // hour repeated in autumn are ordinary times, merged, matched with their
    // rule and pushed with their own "hh:nn".
    void daylightSavingNights_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("spring"); // in the skipped hour
        QTest::addColumn<QString>("autumn"); // in the repeated hour
        QTest::newRow("Jerusalem") << QByteArray("Asia/Jerusalem") << "2026-03-27 02:30:00"
                                   << "2026-10-25 01:30:00";
        QTest::newRow("Berlin") << QByteArray("Europe/Berlin") << "2026-03-29 02:30:00"
                                << "2026-10-25 02:30:00";
    }
    void daylightSavingNights()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, spring);
        QFETCH(QString, autumn);
        const LocalZone local(zone);
        // The zone does skip that hour here, or the test proves nothing.
        const QDateTime skipped(
            QDate::fromString(spring.left(10), Qt::ISODate), QTime(2, 30), Qt::LocalTime);
        QVERIFY(!skipped.isValid() || skipped.time() != QTime(2, 30));

        const QDateTime springNow = QDateTime(
            QDate::fromString(spring.left(10), Qt::ISODate), QTime(10, 0), Qt::LocalTime);
        m_core->clock.setNow(springNow);
        // A rule whose dates carry times of those two hours.
        QVERIFY(m_db->addRule(
            QStringLiteral("34506201"), spring, autumn, "00:00:00", "23:59:59", "0,5", "1,2"));
        Job first = job(1, 123456, 1, "08:00");
        first.RouteStart = spring;
        first.RouteEnd = spring.left(11) + QStringLiteral("03:15:00");
        Job second = job(2, 123456, 2, "08:00");
        second.RouteStart = autumn;
        second.RouteEnd = autumn.left(14) + QStringLiteral("45:00");
        second.CarNum = QStringLiteral("7654321");
        second.DriverName = QStringLiteral("Dana");
        process({first, second});
        QVERIFY2(!m_core->home.exists("Debug.TXT"), qPrintable(debugLog()));
        QVERIFY(m_processed);

        QByteArray sent;
        mdlSendScheds push(
            m_core->day,
            [&](const QString &text) {
                sent += CodePage::toBytes(text);
                return true;
            },
            m_core->marks, m_core->clock, m_core->log);
        QString type = QStringLiteral("Send New");
        QString buf;
        push.ProcessExpLineSchedReq(type, buf);
        const QString autumnEnd = autumn.mid(11, 3) + QStringLiteral("45");
        QCOMPARE(sent,
            CodePage::toBytes(QStringLiteral("$NotifyOrganization,dedod,ExpLineSched\\c34506201"
                                             "\\c1234567-02:30-03:15-2:1;0;1;2;5;2-")
                + kDriver + QStringLiteral("\\c7654321-") + autumn.mid(11, 5) + QLatin1Char('-')
                + autumnEnd + QStringLiteral("-2:1;0;1;2;5;2-Dana\r\n")));
    }

    void utilities()
    {
        QCOMPARE(JobsProcessor::IfNull(QVariant(), 0), QVariant(0));
        QCOMPARE(JobsProcessor::IfNull(QVariant("x"), 0), QVariant("x"));
        KeyedCollection<clsSched> c;
        c.add("Ab", std::make_shared<clsSched>());
        QVERIFY(JobsProcessor::InCollection(c, "aB"));
        QVERIFY(!JobsProcessor::InCollection(c, "b"));
    }
};

QTEST_MAIN(TestJobsProcessing)
#include "tst_jobsprocessing.moc"
