#pragma once

#include "TestSupport.h"

#include "app/DatabaseCycle.h"
#include "app/Gateway.h"
#include "model/clsLine.h"
#include "platform/DateTime.h"

#include <QDate>
#include <QStringList>

#include <memory>

// A whole gateway in a temporary program folder, with a scripted operator:
// for the tests of the parts that work together (cycle, map link, start-up,
// server paths).
struct GatewayRig
{
    TempHome home;
    FakeUi ui;
    Gateway gw{home.path()};

    GatewayRig() { gw.setUi(&ui); }

    QStringList debugLines() const { return home.lines(QStringLiteral("Debug.TXT")); }

    // Ready for database cycles at now on the given data source: the interval
    // at 15 s, the line list fresh; the sessions are not opened yet.
    void readyForCycles(const QString &source, const QDateTime &now)
    {
        gw.clock().setNow(now);
        gw.cycle().loadInterval(QStringLiteral("15"));
        gw.sessions().strSQLServer = source;
        gw.sessions().strCatalog = QStringLiteral("ORVIK_Jobs");
        gw.link().bRequestLines = false;
        gw.link().dtLinesTime = now;
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
