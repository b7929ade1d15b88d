#include "CoreParts.h"
#include "RouteTimesDb.h"

#include "model/JobsProcessor.h"
#include "model/RouteTimes.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/RowSet.h"

#include <QtTest>

namespace {

const QString kRoute = QStringLiteral("34506201");
const QString kOther = QStringLiteral("23405100");
const QDate kToday(2024, 5, 15);

std::shared_ptr<clsSched> addTrip(
    colLinesType &lines, const QString &route, int recId, const QDateTime &start)
{
    auto line = lines.value(route);
    if (!line) {
        line = std::make_shared<clsLine>();
        line->Makat = route;
        line->Idx = route;
        lines.insertInKeyOrder(route, line);
    }
    auto trip = std::make_shared<clsSched>();
    trip->Idx = QString::number(recId);
    trip->RecID = recId;
    trip->StartDT = start;
    trip->Stops = 1;
    line->Scheds.add(trip->Idx, trip);
    return trip;
}

QDateTime at(const QString &hhmmss, const QDate &day = kToday)
{
    return QDateTime(day, QTime::fromString(hhmmss, QStringLiteral("HH:mm:ss")));
}

QVariant none()
{
    return QVariant();
}

} // namespace

class TestRouteTimes : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<CoreParts> m_core;
    std::unique_ptr<RouteTimesDb> m_db;
    std::unique_ptr<RouteTimes> m_rt;
    colLinesType m_lines;

    RouteTimes &rt() { return *m_rt; }
    void pass()
    {
        if (!m_core->sessions.cnORVIKDB)
            m_core->sessions.cnORVIKDB = m_db->open();
        const RouteRules rules = RouteTimes::read(
            m_core->sessions.cnORVIKDB, RouteTimes::routeList(m_lines), m_core->clock.today());
        if (rules.failure)
            throw *rules.failure;
        rt().completeLines(m_lines, *rules.rows);
        // What a push sends of each line follows the stops the pass gave;
        // made here, so that the next pass has to tell each line it changes.
        for (const auto &line : m_lines) {
            if (!line->scheduleStale)
                QCOMPARE(line->schedule, mdlSendScheds::scheduleList(*line));
            mdlSendScheds::currentSchedule(*line);
        }
    }
    QString debugLog() const
    {
        return QString::fromUtf8(m_core->home.read(QStringLiteral("Debug.TXT")));
    }
    // A rule valid on every day, for the whole day.
    void allDay(const QString &route, const QVariant &arrival, const QVariant &stay)
    {
        QVERIFY(m_db->addRule(route, none(), none(), "00:00:00", "23:59:59", arrival, stay));
    }

private Q_SLOTS:
    void init()
    {
        m_core = std::make_unique<CoreParts>();
        m_db = std::make_unique<RouteTimesDb>();
        m_core->clock.setNow(QDateTime(kToday, QTime(10, 0)));
        m_rt = std::make_unique<RouteTimes>(m_core->log);
        m_lines.clear();
    }
    void cleanup()
    {
        m_lines.clear();
        m_rt.reset();
        m_db.reset();
        m_core.reset();
    }

    void fields_data()
    {
        QTest::addColumn<QVariant>("text");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("n");
        QTest::addColumn<QVariant>("field");
        QTest::newRow("null") << QVariant() << 0 << 1 << QVariant();
        QTest::newRow("empty") << QVariant("") << 0 << 1 << QVariant();
        QTest::newRow("not text") << QVariant(5) << 0 << 1 << QVariant();
        QTest::newRow("one") << QVariant("a") << 1 << 1 << QVariant("a");
        QTest::newRow("leading comma") << QVariant(",b") << 2 << 1 << QVariant("");
        QTest::newRow("inner empty") << QVariant("a,,c") << 3 << 2 << QVariant("");
        QTest::newRow("last") << QVariant("a,bb,ccc") << 3 << 3 << QVariant("ccc");
        QTest::newRow("trailing comma") << QVariant("a,") << 2 << 2 << QVariant("");
        QTest::newRow("zero") << QVariant("a,b") << 2 << 0 << QVariant();
        QTest::newRow("past the end") << QVariant("a,b") << 2 << 3 << QVariant();
    }
    void fields()
    {
        QFETCH(QVariant, text);
        QFETCH(int, count);
        QFETCH(int, n);
        QFETCH(QVariant, field);
        QCOMPARE(int(RouteTimes::CountFields(text)), count);
        const QVariant got = RouteTimes::GetField(text, n);
        QCOMPARE(got.isNull(), field.isNull());
        if (!field.isNull())
            QCOMPARE(got.toString(), field.toString());
    }

    void stopTimes_data()
    {
        QTest::addColumn<QString>("arrival");
        QTest::addColumn<QString>("stay");
        QTest::addColumn<int>("stops");
        QTest::addColumn<QString>("stTimes");
        QTest::newRow("three stops") << "0,5,12"
                                     << "1,1,2" << 3 << "1;0;1;2;5;1;3;12;2";
        QTest::newRow("one stop") << "7"
                                  << "3" << 1 << "1;7;3";
        QTest::newRow("empty arrivals") << ""
                                        << "4,5" << 1 << "1;;4";
        QTest::newRow("short stays") << "0,5,12"
                                     << "1" << 3 << "1;0;1;2;5;;3;12;";
        QTest::newRow("no stays") << "0,5"
                                  << "" << 2 << "1;0;;2;5;";
        QTest::newRow("long stays") << "0"
                                    << "1,2" << 1 << "1;0;1";
        QTest::newRow("copied as they stand") << " 1, x"
                                              << " 2 ,y" << 2 << "1; 1; 2 ;2; x;y";
    }
    void stopTimes()
    {
        QFETCH(QString, arrival);
        QFETCH(QString, stay);
        QFETCH(int, stops);
        QFETCH(QString, stTimes);
        allDay(kRoute, arrival, stay);
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        pass();
        QCOMPARE(int(trip->Stops), stops);
        QCOMPARE(trip->StTimes, stTimes);
        QCOMPARE(trip->ArrivalStr, arrival);
        QCOMPARE(trip->StayStr, stay);
        QVERIFY(!m_core->home.exists("Debug.TXT"));
    }

    // Every pass reads the rules again: a rule changed between cycles gives
    // its new stops.
    void changedRuleTakenOnNextPass()
    {
        allDay(kRoute, "0,5", "1,1");
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        pass();
        QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;5;1"));
        QVERIFY(m_db->exec(QStringLiteral("RteDB.sqlite"),
            QStringLiteral("UPDATE RouteTimes SET arrivalStr = '0,7,9'")));
        pass();
        QCOMPARE(int(trip->Stops), 3);
        QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;7;1;3;9;"));
    }

    void timeWindow_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("start");
        QTest::addColumn<bool>("matches");
        QTest::newRow("at fromTime") << "06:00:00"
                                     << "09:30:00"
                                     << "06:00:00" << true;
        QTest::newRow("at toTime") << "06:00:00"
                                   << "09:30:00"
                                   << "09:30:00" << true;
        QTest::newRow("a second early") << "06:00:00"
                                        << "09:30:00"
                                        << "05:59:59" << false;
        QTest::newRow("a second late") << "06:00:00"
                                       << "09:30:00"
                                       << "09:30:01" << false;
        QTest::newRow("full date-times") << "1899-12-30 06:00:00"
                                         << "2031-01-01 09:30:00"
                                         << "07:00:00" << true;
        QTest::newRow("across midnight, late") << "22:00:00"
                                               << "02:00:00"
                                               << "23:00:00" << false;
        QTest::newRow("across midnight, early") << "22:00:00"
                                                << "02:00:00"
                                                << "01:00:00" << false;
    }
    void timeWindow()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, start);
        QFETCH(bool, matches);
        QVERIFY(m_db->addRule(kRoute, none(), none(), from, to, "0,5", "1,1"));
        const auto trip = addTrip(m_lines, kRoute, 1, at(start));
        trip->Stops = 9;
        trip->StTimes = QStringLiteral("from an earlier pass");
        pass();
        QCOMPARE(trip->StTimes, matches ? QStringLiteral("1;0;1;2;5;1") : QString());
        QCOMPARE(int(trip->Stops), matches ? 2 : 1);
    }

    void firstMatchingRuleWins_data()
    {
        // Rules as (fromDate, toDate, fromTime, arrival); the trip starts today 08:00.
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QString>("winner");
        const QString y = kToday.addDays(-1).toString(Qt::ISODate);
        const QString t = kToday.toString(Qt::ISODate);
        const QString m = kToday.addDays(1).toString(Qt::ISODate);
        QTest::newRow("undated before dated")
            << QStringList{y, m, "06:00:00", "dated", "-", "-", "07:00:00", "undated"} << "undated";
        QTest::newRow("earlier fromDate")
            << QStringList{t, m, "06:00:00", "today", y, m, "07:00:00", "yesterday"} << "yesterday";
        QTest::newRow("earlier fromTime")
            << QStringList{t, t, "07:00:00", "seven", t, t, "06:00:00", "six"} << "six";
        QTest::newRow("dates inclusive")
            << QStringList{t, t, "00:00:00", "today only"} << "today only";
        QTest::newRow("period ended yesterday")
            << QStringList{y, y, "00:00:00", "old", "-", "-", "09:00:00", "later"} << "";
        QTest::newRow("period from tomorrow") << QStringList{m, m, "00:00:00", "new"} << "";
        // Only the dates of a period count, whatever time of day they carry.
        QTest::newRow("fromDate today, later in the day")
            << QStringList{t + " 09:30:00", m, "06:00:00", "from 09:30"} << "from 09:30";
        QTest::newRow("toDate today, earlier in the day")
            << QStringList{y, t + " 06:00:00", "06:00:00", "to 06:00"} << "to 06:00";
        QTest::newRow("fromDate tomorrow, at midnight")
            << QStringList{m + " 00:00:00", m, "00:00:00", "new"} << "";
        QTest::newRow("only toDate given") << QStringList{"-", m, "00:00:00", "half"} << "";
        QTest::newRow("non-matching undated first")
            << QStringList{"-", "-", "09:00:00", "late", y, m, "06:00:00", "dated"} << "dated";
    }
    void firstMatchingRuleWins()
    {
        QFETCH(QStringList, rules);
        QFETCH(QString, winner);
        auto v = [](const QString &s) { return s == "-" ? QVariant() : QVariant(s); };
        for (int i = 0; i + 3 < rules.size(); i += 4) {
            QVERIFY(m_db->addRule(
                kRoute, v(rules[i]), v(rules[i + 1]), rules[i + 2], "23:00:00", rules[i + 3], "1"));
        }
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        pass();
        QCOMPARE(trip->ArrivalStr, winner);
        QCOMPARE(trip->StTimes, winner.isEmpty() ? QString() : "1;" + winner + ";1");
        QCOMPARE(int(trip->Stops), 1);
    }

    // Every trip starts from the route's first rule, whatever the trip before found.
    void eachTripFromFirstRule()
    {
        QVERIFY(m_db->addRule(kRoute, none(), none(), "06:00:00", "07:59:59", "early", "1"));
        QVERIFY(m_db->addRule(kRoute, none(), none(), "08:00:00", "10:00:00", "late", "1"));
        allDay(kOther, "other", "2");
        const auto t1 = addTrip(m_lines, kRoute, 1, at("09:00:00"));
        const auto t2 = addTrip(m_lines, kRoute, 2, at("07:00:00"));
        const auto t3 = addTrip(m_lines, kRoute, 3, at("11:00:00"));
        const auto t4 = addTrip(m_lines, kOther, 4, at("11:00:00"));
        pass();
        QCOMPARE(t1->StTimes, QStringLiteral("1;late;1"));
        QCOMPARE(t2->StTimes, QStringLiteral("1;early;1"));
        QCOMPARE(t3->StTimes, QString()); // the next route's rule is not this route's
        QCOMPARE(int(t3->Stops), 1);
        QCOMPARE(t4->StTimes, QStringLiteral("1;other;2"));
    }

    void routeWithoutRuleUntouched_data()
    {
        QTest::addColumn<bool>("otherRouteHasRule");
        QTest::newRow("no rule at all") << false;
        QTest::newRow("rules for another route") << true;
    }
    void routeWithoutRuleUntouched()
    {
        QFETCH(bool, otherRouteHasRule);
        if (otherRouteHasRule)
            allDay(kOther, "0", "1");
        // Outside the three days around today: not even asked for.
        QVERIFY(
            m_db->addRule(kRoute, "2024-05-01", "2024-05-13", "00:00:00", "23:59:59", "0", "1"));
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00", QDate(2024, 5, 12)));
        trip->Stops = 4;
        trip->StTimes = QStringLiteral("kept");
        pass();
        QCOMPARE(int(trip->Stops), 4);
        QCOMPARE(trip->StTimes, QStringLiteral("kept"));
    }

    void noMatchKeepsLists()
    {
        QVERIFY(m_db->addRule(kRoute, none(), none(), "12:00:00", "13:00:00", "0,9", "1,1"));
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        trip->Stops = 2;
        trip->StTimes = QStringLiteral("1;0;1;2;5;1");
        trip->ArrivalStr = QStringLiteral("0,5");
        trip->StayStr = QStringLiteral("1,1");
        pass();
        QCOMPARE(int(trip->Stops), 1);
        QCOMPARE(trip->StTimes, QString());
        QCOMPARE(trip->ArrivalStr, QStringLiteral("0,5"));
        QCOMPARE(trip->StayStr, QStringLiteral("1,1"));
    }

    void failingTripLoggedOthersGoOn_data()
    {
        QTest::addColumn<QVariant>("arrival");
        QTest::addColumn<QVariant>("stay");
        QTest::addColumn<QVariant>("fromTime");
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("laterTripFails");
        QTest::newRow("null arrivals")
            << none() << QVariant("1") << QVariant("07:00:00") << 94 << false;
        QTest::newRow("null stays")
            << QVariant("0") << none() << QVariant("07:00:00") << 94 << false;
        QTest::newRow("time not a time")
            << QVariant("0") << QVariant("1") << QVariant("soon") << 13 << false;
        // Sorted first and valid every day: every trip of the route reads it.
        QTest::newRow("null fromTime") << QVariant("0") << QVariant("1") << none() << 94 << true;
    }
    void failingTripLoggedOthersGoOn()
    {
        QFETCH(QVariant, arrival);
        QFETCH(QVariant, stay);
        QFETCH(QVariant, fromTime);
        QFETCH(int, number);
        QFETCH(bool, laterTripFails);
        QVERIFY(m_db->addRule(kRoute, none(), none(), fromTime, "09:00:00", arrival, stay));
        QVERIFY(m_db->addRule(kRoute, none(), none(), "10:00:00", "12:00:00", "good", "1"));
        allDay(kOther, "other", "1");
        const auto bad = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        bad->Stops = 3;
        bad->StTimes = QStringLiteral("old");
        const auto later = addTrip(m_lines, kRoute, 2, at("11:00:00"));
        const auto other = addTrip(m_lines, kOther, 3, at("08:00:00"));
        pass();
        QCOMPARE(int(bad->Stops), 1);
        QCOMPARE(bad->StTimes, QString());
        QCOMPARE(later->StTimes, laterTripFails ? QString() : QStringLiteral("1;good;1"));
        QCOMPARE(other->StTimes, QStringLiteral("1;other;1"));
        const QString log = debugLog();
        QVERIFY2(log.contains("GetStationData: Called by ProcessScheduleTrigRecsError Number: "
                     + QString::number(number)),
            qPrintable(log));
        QCOMPARE(int(log.count("GetStationData")), laterTripFails ? 2 : 1);
    }

    void thousandsOfStops_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("stops");
        QTest::newRow("5000") << 5000 << 5000;
        QTest::newRow("32767") << 32767 << 32767;
        QTest::newRow("beyond 16 bits") << 32768 << 1;
    }
    void thousandsOfStops()
    {
        QFETCH(int, count);
        QFETCH(int, stops);
        QStringList arrivals, stays;
        for (int i = 0; i < count; ++i) {
            arrivals << QString::number(i);
            stays << QStringLiteral("1");
        }
        allDay(kRoute, arrivals.join(','), stays.join(','));
        const auto trip = addTrip(m_lines, kRoute, 1, at("08:00:00"));
        pass();
        QCOMPARE(int(trip->Stops), stops);
        if (stops == count) {
            QCOMPARE(trip->StTimes.count(';'), 3 * count - 1);
            QVERIFY(trip->StTimes.endsWith(QStringLiteral(";%1;%2;1").arg(count).arg(count - 1)));
        } else {
            QCOMPARE(trip->StTimes, QString());
            QVERIFY(debugLog().contains(
                "GetStationData: Called by ProcessScheduleTrigRecsError Number: 6"));
        }
    }

    // The read gives the query's failure with it, for the pass to report.
    void queryFailureReachesCaller()
    {
        QVERIFY(m_db->exec("RteDB.sqlite", "DROP TABLE RouteTimes"));
        addTrip(m_lines, kRoute, 1, at("08:00:00"));
        m_core->sessions.cnORVIKDB = m_db->open();
        QVERIFY_THROWS_EXCEPTION(Failure, pass());
        const RouteRules none = RouteTimes::read(nullptr, QStringLiteral("'x'"), kToday);
        QVERIFY(none.failure && none.failure->number() == Failure::ObjectNotSet);
    }

    void routeList()
    {
        addTrip(m_lines, "b", 1, at("08:00:00"));
        addTrip(m_lines, "a", 1, at("08:00:00"));
        QCOMPARE(RouteTimes::routeList(m_lines), QStringLiteral("'a','b'"));
    }

    // GetStationData alone, on a row set positioned at the route's first rule.
    void stationDataScansOneRoute()
    {
        RowSet rs({"RouteName", "fromDate", "toDate", "dayofWeek", "fromTime", "toTime",
                      "arrivalStr", "stayStr"},
            {{"A", {}, {}, {}, "12:00:00", "13:00:00", "a", "1"},
                {"B", {}, {}, {}, "00:00:00", "23:00:00", "b", "1"}});
        clsSched trip;
        trip.StartDT = at("08:00:00");
        qint16 stops = 0;
        QString text;
        QCOMPARE(rt().GetStationData(trip, rs, stops, text), 0);
        QCOMPARE(int(stops), 0);
        QCOMPARE(text, QString());
        QCOMPARE(trip.ArrivalStr, QString());

        rs.moveFirst();
        rs.moveNext();
        QCOMPARE(rt().GetStationData(trip, rs, stops, text), 0);
        QCOMPARE(int(stops), 1);
        QCOMPARE(text, QStringLiteral("1;b;1"));
    }

    // Through the jobs processing: the route name of a job's line finds its
    // rule, read (as the database thread does) for the lines the rows make;
    // rules read for other lines are not used.
    void completedByJobsProcessing()
    {
        allDay("23405100", "0,4", "1,2");
        m_core->sessions.cnORVIKDB = m_db->open();
        RowSet rs({"PKID", "CarNo", "CarNum", "RecID", "DriverCode", "DriverName", "RouteStart",
                      "RouteEnd", "Makat", "RecordUpdater"},
            {{1, 5, "1234567", 10, 7, "x", "2024-05-15 08:00:00", {}, 12345, {}}});
        JobsProcessor jobs(m_core->day, m_core->log);
        const QString list = JobsProcessor::routeListAfter({}, rs);
        QCOMPARE(list, QStringLiteral("'23405100'"));
        QString needed;
        QVERIFY(jobs.ProcessScheduleTrigRecs(rs,
                    RouteTimes::read(m_core->sessions.cnORVIKDB, QStringLiteral("'other'"), kToday),
                    &needed)
            == JobsProcessor::Outcome::NeedsRules);
        QCOMPARE(needed, list);
        QVERIFY(jobs.completeStops(RouteTimes::read(m_core->sessions.cnORVIKDB, list, kToday)));
        const auto trip = m_core->day.colLines->item("012345")->Scheds.item("10");
        QCOMPARE(trip->StTimes, QStringLiteral("1;0;1;2;4;2"));
        QCOMPARE(int(trip->Stops), 2);
    }
};

QTEST_MAIN(TestRouteTimes)
#include "tst_routetimes.moc"
