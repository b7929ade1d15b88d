#pragma once

#include <QString>
#include <QVariant>

// The six-character line key of a job's route code and the two names made
// from it: the eight-character route name the map server and the route-times
// table know, and the line text of the schedules table.
class LineKey
{
public:
    // The route code formatted "000000" (rounded, zero-padded to at least
    // six digits) and cut to six characters: 12345 gives 012345.
    static QString fromRouteCode(const QVariant &routeCode);
    // Line + Subdiv + Direction + Chalufa + Eshkol: 123456 gives 34506201.
    static QString routeName(const QString &key);
    // Line, "-", Direction, Chalufa, less one leading zero: 010512 gives 51-21.
    static QString lineText(const QString &key);
};
