#pragma once

#include <QDateTime>
#include <QString>

// A realistic operational day for the embedded databases, relative to a
// moment: lines with route rules of every kind, vehicles, Hebrew driver
// names, changed jobs (a newer PKID for the same vehicle and RecID), rows that
// the jobs processing rejects, and rows outside the day.
class DemoDay
{
public:
    struct Summary
    {
        int lines = 0;
        int jobRows = 0; // every row written to Jobs
        int dayJobs = 0; // the newest rows of the operational day
        int rules = 0;
    };

    // Adds the day to the databases in folder (made by EmbeddedSchema).
    static Summary fill(const QString &folder, const QDateTime &now);

    // The 8-character route name of a route code: the six-digit key gives
    // Line (characters 3-5), Subdiv "0", Direction (6), Chalufa (2) and
    // Eshkol "0" + character 1; 123456 gives 34506201.
    static QString routeName(int routeCode);
};
