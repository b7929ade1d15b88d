#pragma once

#include "TestSupport.h"

#include "app/Gateway.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "model/clsLine.h"
#include "platform/DateTime.h"

#include <QDate>
#include <QStringList>
#include <QTest>

#include <memory>

// A whole gateway in a temporary program folder, with a scripted operator:
// for the tests of the parts that work together (cycle, map link, start-up,
// server paths).
struct GatewayRig
{
    TempHome home;
    FakeUi ui;
    Gateway gw;

    GatewayRig() : gw(home.path()) { gw.setUi(&ui); }
    // With these settings in the program folder's Volmara.INI, written
    // before the gateway reads it.
    explicit GatewayRig(const QByteArray &ini) : gw(withIni(home, ini)) { gw.setUi(&ui); }

    static QString withIni(const TempHome &home, const QByteArray &ini)
    {
        home.write(QStringLiteral("Volmara.INI"), ini);
        return home.path();
    }

    QStringList debugLines() const { return home.lines(QStringLiteral("Debug.TXT")); }

    // Ready for database cycles at now on the given data source: the interval
    // at 15 s, the line list fresh; the sessions are not opened yet.
    void readyForCycles(const QString &source, const QDateTime &now)
    {
        gw.clock().setNow(now);
        gw.cycle().loadInterval(QStringLiteral("15"));
        gw.dataSource().strSQLServer = source;
        gw.dataSource().strCatalog = QStringLiteral("ORVIK_Jobs");
        gw.link().bRequestLines = false;
        gw.link().dtLinesTime = now;
    }

    // Opens both sessions on the database thread, as the supervisor does.
    bool openSessions()
    {
        bool ok = false;
        gw.database().call(
            [&](DatabaseWorker &w) { ok = w.open(SqlConnect::Which::Both, gw.dataSource()).ok; });
        return ok;
    }

    // Runs work on the database thread, with its sessions.
    void onDatabase(const std::function<void(DatabaseWorker &)> &work) { gw.database().call(work); }

    // One tick of the database timer, waited for to its end (the database
    // stage runs on its thread meanwhile).
    bool runCycle(int timeoutMs = 30000)
    {
        gw.cycle().tmrDB_Timer();
        return QTest::qWaitFor([this] { return !gw.cycle().running(); }, timeoutMs);
    }

    // A day of one line, key "123456" and route name "34506201", with one
    // trip keyed "1" starting 2024-03-05 06:05, for the map's requests.
    static std::shared_ptr<clsSched> oneLineDay(DayModel &day)
    {
        day.colLines = std::make_unique<colLinesType>();
        auto line = std::make_shared<clsLine>();
        line->Idx = QStringLiteral("123456");
        line->Makat = QStringLiteral("34506201");
        auto sched = std::make_shared<clsSched>();
        sched->StartDT = QDateTime(QDate(2024, 3, 5), QTime(6, 5));
        line->Scheds.add(QStringLiteral("1"), sched);
        day.colLines->add(line->Idx, line);
        return sched;
    }
};
