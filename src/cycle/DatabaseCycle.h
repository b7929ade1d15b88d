#pragma once

#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include "common/MenuMarks.h"
#include <QDateTime>
#include <QElapsedTimer>

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class Clock;
class DatabaseThread;
class ErrorLog;
class JobsProcessor;
class LeaseKeeper;
class MapLink;
class MapSocket;
class MenuMarks;
class Metrics;
class Settings;
class StatusReport;
class Ui;
class mdlSendScheds;
struct DataSource;
struct DayModel;
struct LinkState;
struct RouteRules;
struct StageReply;
struct StatusRows;

// The database cycle, the gateway's heartbeat: at each tick of the database
// timer it keeps the map server's line list fresh, checks and repairs both
// database sessions, drops the day's lines at 04:00, runs the job selection
// and hands its rows to the jobs processing, repairs the map connection and
// pushes the changed lines. It alone switches tmrDB on and off, and it owns
// the interval box and its up-down control.
//
// Its database work (the session checks and repairs, the selection, the
// route rules) runs on the database thread: the tick hands it over, the
// event loop goes on serving the map from the day in hand, and the result
// comes back to the rest of the cycle. One cycle at a time.
class DatabaseCycle : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMinIntervalSeconds = 1;
    static constexpr int kMaxIntervalSeconds = 3600;
    static constexpr int kDefaultIntervalSeconds = 15;
    // A map server silent this long is asked for its line list, the one
    // request it always answers; two such requests in a row without an
    // answer give the connection up.
    static constexpr int kQuietSeconds = 5 * 60;
    static constexpr int kUnansweredLineRequests = 2;
    // A push round longer than this many intervals is told (once an hour).
    static constexpr int kSlowRoundIntervals = 3;
    // Event-thread work in one piece: a push, and the merge of a day's rows
    // into its lines, give the event loop back after this long, so that a
    // map request waits for no more.
    static constexpr int kPushSliceMs = 2;
    static constexpr int kMergeSliceMs = 2;

    // The parts a cycle runs, in their order, and the state it reads.
    struct Parts
    {
        DatabaseThread &database;
        JobsProcessor &jobsProcessor;
        mdlSendScheds &sendScheds;
        StatusReport &statusReport;
        MapLink &mapLink; // told when the cycle gives the connection up
        Metrics &metrics;
        // A standby pair's lease: whether the cycle may write, the term its
        // writes go with; told when the server refused them.
        LeaseKeeper &lease;
    };
    // What the selection reads and the cycle hands to the database thread.
    struct Sources
    {
        const DataSource &dataSource;
        StatusRows &rows; // the line list's "written" flag is cleared here
    };

    DatabaseCycle(Parts parts, Sources sources, LinkState &link, DayModel &day, MapSocket &sckMap,
        MenuMarks &marks, const Settings &settings, Ui &ui, const Clock &clock, ErrorLog &log,
        QObject *parent = nullptr);

    void tmrDB_Timer();

    // The supervisor's start once both sessions are open: a first tick a
    // second later.
    void start();
    // The end of the program.
    void stop();
    // The "$Q" answer arrived: the next tick runs the full query at once.
    void lineListReceived();
    // The refresh command: the next selection is a full one. Like the "$Q"
    // answer, it sets the last full query to zero, so the first cycle at or
    // after 04:00 drops the day's lines and builds them anew.
    void requestFullQuery();
    // This gateway won a standby pair's lease: the next cycle drops the day
    // and builds it anew from a full query, so that every line is pushed,
    // and what Scheds holds is read again from the table.
    void takeOver();

    const QTimer &tmrDB() const { return m_tmrDB; }
    // A cycle is under way (its database work lets the event loop run).
    bool running() const { return m_inCycle; }
    // The stop: the statement the cycle waits for is cancelled at once.
    void cancel();
    // The interval box's value takes effect now (a reload), not at the next
    // cycle: the countdown starts again with it.
    void applyInterval(const QString &text);
    QDateTime dtLastQueryAll() const { return m_dtLastQueryAll; }
    // The operational day (from 04:00) of the last full query that ran;
    // invalid before the first.
    QDate lastQueryDay() const { return m_dLastQueryDay; }
    // Where a test begins: the last full query at a given moment.
    void setLastQueryAll(const QDateTime &moment);
    QDateTime lastDBGood() const { return m_dtLastDBGood; }
    // Whether the supervisor ever started the cycle, and the milliseconds
    // since the last tick began (-1 before the first), by the monotonic
    // clock: the service watchdog's measure of a living cycle.
    bool everStarted() const { return m_started; }
    qint64 msSinceLastTick() const { return m_sinceTick.isValid() ? m_sinceTick.elapsed() : -1; }

    // The interval box (whole seconds as text) and its remembered value.
    QString intervalText() const { return m_intervalText; }
    QString intervalTag() const { return m_intervalTag; }
    // Start-up's value from the settings file, into the box and its memory.
    void loadInterval(const QString &text);

    // The operator changed the interval box / used its up-down arrows.
    void txtInterval_Change(const QString &text);
    void updInterval_Change(int value);

    // Whole seconds 1 to 3600 from the box's text (rounded, clamped; empty
    // text is the default 15); failure 13 for a text that is no number.
    static int intervalSeconds(const QString &text);

Q_SIGNALS:
    void intervalTextChanged(const QString &text);
    // A cycle (past its line list wait) ended; ok: without its failure exit.
    void cycleEnded(bool ok);

private:
    // Switches tmrDB on without restarting a running countdown, as setting a
    // classic timer's Enabled does.
    void enableTimer();
    void setIntervalText(const QString &text);
    // Sends "$Q,0"; false (after a record) when the requests before it went
    // unanswered and the connection was given up instead.
    bool askForLines();
    // A new map connection: a line list asked on the one before is asked anew.
    void mapConnected();
    // A push that paused at the connection's high-water mark, or gave the
    // event loop back at the end of a slice, goes on.
    void resumePush();
    // Runs one piece of the cycle, on the event thread.
    void runStep(const std::function<void()> &step);
    // The cycle's steps, in their order.
    void firstSteps();
    void onStage(const StageReply &reply);
    void processRows(const StageReply &reply);
    void mergeSlice();
    void onRules(const RouteRules &rules);
    void afterProcessing();
    void lastSteps();
    // The failure exit, with the failure (none: a step that goes there).
    void failureExit(const std::optional<Failure> &failure);
    void endCycle(bool ok);
    void showPopupIfDue();
    // What the selection did with the menu's requests, taken unless the
    // operator asked again while it ran.
    void settleMarks(const StageReply &reply);
    // Removes the refresh mark of a refresh this cycle carried out.
    void refreshDone();

    // Which query the cycle runs at its step 23.
    enum class Query { NewDay, Trigger, Full };
    // The cycle under way.
    struct Under
    {
        QString sStatus;
        double sngStep = 0;
        bool counted = false; // past step 4: a cycle the metrics count
        Query query = Query::Full;
        QDate today;
        QString linesList; // the line list handed over with its "written" flag
        // The operator's requests as the stage was handed them (counts of
        // MenuMarks::request), and the full-query requests counted then.
        quint64 asked[MenuMarks::Count] = {};
        quint64 fullQueryAsks = 0;
        RowSet::Ptr rows; // the selected rows, while they are merged
    };

    Parts m_parts;
    Sources m_sources;
    LinkState &m_link;
    DayModel &m_day;
    MapSocket &m_sckMap;
    MenuMarks &m_marks;
    const Settings &m_settings;
    Ui &m_ui;
    const Clock &m_clock;
    ErrorLog &m_log;

    QTimer m_tmrDB;
    // Zero when a full query is due (a refresh or a "$Q" answer asks so);
    // its time of day then reads 00:00, before the day boundary.
    QDateTime m_dtLastQueryAll = DateTime::zero();
    // Counts the requests above, so that a full query that was under way
    // when one came does not count as its answer.
    quint64 m_fullQueryAsks = 0;
    bool m_relearnScheds = false; // a new term: the next stage reads Scheds again
    // Kept apart from the request above, so that an outage that passes 04:00
    // unseen still counts as a new day.
    QDate m_dLastQueryDay;
    QDateTime m_dtLastDBGood = DateTime::zero();
    QDateTime m_dtLastPopup = DateTime::zero();
    QString m_intervalText;
    QString m_intervalTag;
    bool m_inCycle = false;
    Under m_c;
    QElapsedTimer m_cycleTime;
    int m_linesAsked = 0; // "$Q,0" sent since the last answer
    bool m_started = false;
    QElapsedTimer m_sinceTick;
};
