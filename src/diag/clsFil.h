#pragma once

#include <QString>

// One emergency error file during the housekeeping: its full path and its
// sort key (modification time "mmddhhnnss" plus five characters of the path).
struct clsFil
{
    QString NM;
    QString FD;
};
