#pragma once

#include "clsSched.h"
#include "platform/KeyedCollection.h"

#include <QDateTime>
#include <QString>

// One line of the organisation (one route code of the jobs), with its trips.
struct clsLine
{
    QString Number; // not filled
    QString Source; // not filled
    QString Destination; // not filled
    QString Makat; // route name: Line + Subdiv + Direction + Chalufa + Eshkol
    QString Eshkol; // "0" + key character 1
    QString Subdiv; // always "0"
    QString Chalufa; // key character 2
    QString Line; // key characters 3 to 5
    QString Direction; // key character 6
    QString Idx; // the six-character line key
    KeyedCollection<clsSched> Scheds; // trips by Idx, in order of StartDT
    bool bNew = false; // changes not yet sent to the map server
    QDateTime dtLastPush; // the last push of the line; invalid before the first
    quint64 pushRound = 0; // the push round that last sent it
    // The schedule list as the map server is sent it, kept between pushes:
    // every cycle offers the whole day again and most lines go out unchanged,
    // so the text is made again only after the merge or the route pass
    // changed a trip (they set scheduleStale).
    QString schedule;
    bool scheduleStale = true;
    // The print of the run of rows that last merged into the line without a
    // change, row for row (0: none): the same run again, with the same
    // rules, changes nothing but bNew, so the merge passes over it whole.
    quint64 rowsPrint = 0;
};

// All lines of the operational day, in ascending order of the line key.
using colLinesType = KeyedCollection<clsLine>;
