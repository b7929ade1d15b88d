#pragma once

#include <QDateTime>
#include <QString>

// A large operational day for the embedded databases, to measure the gateway
// at a big operator's scale: jobs spread from 04:30 over the day, one vehicle
// per trip, 900 vehicle numbers, 400 drivers with Hebrew names, and route
// rules over the lines. Unlike the demo day it has no corrections, rejects or
// rows outside the day: every job is one the day delivers.
class LargeDay
{
public:
    struct Summary
    {
        int jobs = 0;
        int lines = 0;
        int rules = 0;
    };

    // The lines of a day of this many jobs when none are asked for: twenty
    // trips a line, kept between 1,000 and 5,000.
    static int defaultLines(int jobs);

    // Adds the day around now to the databases in folder (made by
    // EmbeddedSchema). lines <= 0 takes defaultLines(jobs); more lines than
    // jobs are cut to the jobs. Failures carry the driver's text.
    static Summary fill(const QString &folder, const QDateTime &now, int jobs, int lines = 0);
};
