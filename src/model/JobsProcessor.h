#pragma once

#include "model/RouteTimes.h"
#include "model/clsLine.h"
#include "platform/KeyedCollection.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class ErrorLog;
class QElapsedTimer;
class RowSet;
struct DayModel;

// Turns the job rows of one database cycle into the day's lines and trips:
// merges them into colLines, removes the trips that cancelled jobs announce,
// marks the changed lines for sending and completes every trip's stops.
//
// It runs on the event thread, which owns colLines; the rows and the route
// rules come from the database thread, read before the merge for the lines
// the merge will have (routeListAfter), so that each line's rows and its
// stops are one step and the map is never answered from a line half made.
// A large day is merged in slices (beginMerge, mergeSlice), so that the
// map's requests are answered in between: a slice ends only where a route
// code's rows end, after the lines its rows reached are completed, and a new
// operational day is built apart and takes the old one's place at its end.
class JobsProcessor
{
public:
    enum class Outcome {
        Done,
        Failed, // logged here
        NeedsRules, // the day's lines are not those the rules were read for
    };

    // The order the merge reads the rows in: by route code, then by key.
    static const QString kMergeOrder;

    JobsProcessor(DayModel &day, ErrorLog &log);
    ~JobsProcessor();

    // Merges the rows into colLines (made when absent) and completes the
    // trips with the rules, when they were read for the lines colLines now
    // has. NeedsRules (with the list in neededList): the caller reads the
    // rules for that list and calls completeStops.
    Outcome ProcessScheduleTrigRecs(RowSet &rs, const RouteRules &rules, QString *neededList);

    // The same merge given in slices. beginMerge keeps the rows and the
    // rules until the merge ends; newDay: the day is built anew from these
    // rows alone (no rows: there is no day). mergeSlice goes on for about
    // sliceMs (0: to the end) and gives the outcome once the merge ended.
    void beginMerge(RowSet::Ptr rs, RouteRules rules, bool newDay);
    std::optional<Outcome> mergeSlice(int sliceMs, QString *neededList);
    bool merging() const { return m_merge != nullptr; }
    // The completion pass alone, with rules read for the present lines.
    bool completeStops(const RouteRules &rules);

    // The route list the day's lines will have once the rows are merged
    // into lines with these keys (collection order): what the rules are
    // read for, on the database thread, before the merge. Empty when there
    // will be no line.
    static QString routeListAfter(const QStringList &lineKeys, RowSet &rs);
    // Makes the print the merge compares of every row now, where the rows
    // are read, so that the merge on the event thread only looks it up. A
    // row set without a column the merge reads keeps none (the merge fails
    // on it, with its record).
    static void keepRowPrints(RowSet &rs);

    RouteTimes &routeTimes() { return *m_routeTimes; }

    // value, or def when value is null.
    static QVariant IfNull(const QVariant &value, const QVariant &def);
    // Whether the collection holds a member under key (letter case ignored).
    template <typename T>
    static bool InCollection(const KeyedCollection<T> &collection, const QString &key)
    {
        return collection.contains(key);
    }

    // A new line with its fields taken from the key.
    static std::shared_ptr<clsLine> newLine(const QString &key);
    // The acceptance test: a missing vehicle or driver, a deleting updater or a
    // driver marked as not performed or not active rejects the row.
    static bool isRejected(const QVariant &carNum, const QVariant &driverName,
        const QVariant &driverCode, const QVariant &recordUpdater);
    // A vehicle number made only of zeros is no vehicle.
    static bool isZeroCarNum(const QVariant &carNum);
    // Inserts a new trip before the first one that starts strictly later, or
    // appends it.
    static void insertByStart(
        KeyedCollection<clsSched> &scheds, const QString &key, std::shared_ptr<clsSched> trip);

private:
    struct Merge;
    bool mergeRows(Merge &m, int sliceMs, const QElapsedTimer &slice);
    // At the first row of a route code's run: passes over the whole run
    // when it would change nothing (the rows then stand at the next run);
    // else leaves them where they were, with the run's print in m.run.
    bool passOverUnchangedRun(Merge &m, colLinesType &lines, const QVariant &code);
    void endRun(Merge &m);
    std::optional<Outcome> finishRows(Merge &m, QString *neededList);
    void completeReached(Merge &m);

    DayModel &m_day;
    ErrorLog &m_log;
    quint64 m_lastRules = 0; // the print of the rules the last whole pass used
    std::unique_ptr<RouteTimes> m_routeTimes;
    std::unique_ptr<Merge> m_merge; // the merge under way
};
