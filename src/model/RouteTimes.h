#pragma once

#include "model/clsLine.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QHash>
#include <QPair>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class DbSession;
class ErrorLog;

// The rules of one completion pass, read on the database thread (the second
// session, ORVIKDB) for the route list of the day's lines: the list the
// query named, its rows, or the failure of the query.
struct RouteRules
{
    QString routeList; // empty: no query ran (no line to ask for)
    RowSet::Ptr rows;
    std::optional<Failure> failure;
    // A print of the list and every value of the rows: the same print, the
    // same rules as the pass before. 0 when there are none.
    quint64 print = 0;
};

// Completes every trip of the day with its stops from the route-times table:
// one query per pass for all lines, a forward search per line, and the first
// rule of the route (in query order) whose dates and time window hold the
// trip's start.
class RouteTimes
{
public:
    explicit RouteTimes(ErrorLog &log);
    ~RouteTimes();

    // The rules of a route list on the second session, as the database
    // thread reads them; a missing session is failure 91.
    static RouteRules read(
        const std::shared_ptr<DbSession> &cnORVIKDB, const QString &routeList, const QDate &today);

    // The completion pass over all lines with the rules the query gave
    // (rsRT). Failures of the row-set moves reach the caller; a failing trip
    // is logged and given one stop without times, and the others go on.
    // staleOnly: the rules are those of the pass before, so a trip whose
    // stops are not stale would get the very same again and is left as it is.
    void completeLines(colLinesType &lines, RowSet &rsRT, bool staleOnly = false);

    // The same pass given a line at a time, so that a merge can complete
    // each line as soon as its rows are in (and give the event loop back in
    // between): beginPass reads where each route's rules begin, completeLine
    // gives one line its stops, endPass forgets what the pass before kept.
    // rsRT stays untouched between them. A line completed twice in a pass
    // gets the same stops again.
    void beginPass(RowSet &rsRT);
    void completeLine(clsLine &line, bool staleOnly);
    void endPass();

    // The trip's stop count and stop-times text from the first matching rule,
    // scanning from the current row of rsRT while the route name stays the
    // same. Returns 0 (matched or not) or the number of the failure, which is
    // logged here.
    int GetStationData(clsSched &oSched, RowSet &rsRT, qint16 &iStops, QString &sStTimes);

    // Comma-separated fields: the count (0 for null, for a non-text value and
    // for empty text) and the n-th field from 1 (null outside 1..count).
    static qint16 CountFields(const QVariant &text);
    static QVariant GetField(const QVariant &text, int n);

    // "'a','b'": the route names of all lines in collection order; failure 5
    // when there is no line.
    static QString routeList(const colLinesType &lines);
    // The same list of the lines under the given keys (in collection order).
    static QString routeListOfKeys(const QStringList &keys);

    struct PassContext; // the rules of one pass, read once
    struct Pass; // a pass under way: its rules and where each route's begin

    // A rule's stops as the map server takes them: the count and
    // "n;arrival;stay" per stop, joined by ";".
    struct StopTimes
    {
        qint16 stops = 0;
        QString text;
    };
    // Failure 6 past 32767 stops (the count is 16 bits).
    static StopTimes stopTimesOf(const QString &arrivals, const QString &stays);

private:
    int stationData(
        clsSched &oSched, RowSet &rsRT, PassContext &ctx, qint16 &iStops, QString &sStTimes);

    // The stop texts of the rules, by their arrival and stay texts: the
    // rules rarely change between cycles, and building every text again each
    // pass cost more than the rest of the pass. A pass keeps what it used.
    StopTimes stopTimesFor(const QString &arrivals, const QString &stays);

    ErrorLog &m_log;
    std::unique_ptr<Pass> m_pass;
    using StopTimesKey = QPair<QString, QString>; // arrivals, stays
    QHash<StopTimesKey, StopTimes> m_stopTimes; // of this pass
    QHash<StopTimesKey, StopTimes> m_lastStopTimes; // of the pass before
};
