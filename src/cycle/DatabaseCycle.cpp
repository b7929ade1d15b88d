#include "cycle/DatabaseCycle.h"

#include "pair/LeaseKeeper.h"

#include "common/MapProtocol.h"
#include "common/MenuMarks.h"
#include "common/Metrics.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "common/Ui.h"
#include "cycle/DatabaseThread.h"
#include "cycle/StatusReport.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "maplink/MapLink.h"
#include "model/DayModel.h"
#include "model/JobsProcessor.h"
#include "model/mdlSendScheds.h"
#include "pair/LeaseKeeper.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

DatabaseCycle::DatabaseCycle(Parts parts, Sources sources, LinkState &link, DayModel &day,
    MapSocket &sckMap, MenuMarks &marks, const Settings &settings, Ui &ui, const Clock &clock,
    ErrorLog &log, QObject *parent)
    : QObject(parent),
      m_parts(parts),
      m_sources(sources),
      m_link(link),
      m_day(day),
      m_sckMap(sckMap),
      m_marks(marks),
      m_settings(settings),
      m_ui(ui),
      m_clock(clock),
      m_log(log)
{
    // Switched off until the supervisor has both sessions open.
    m_tmrDB.setInterval(100);
    connect(&m_tmrDB, &QTimer::timeout, this, &DatabaseCycle::tmrDB_Timer);
    connect(&m_sckMap, &MapSocket::drained, this, &DatabaseCycle::resumePush);
    connect(&m_sckMap, &MapSocket::connected, this, &DatabaseCycle::mapConnected);
    // What came meanwhile (the map's requests) is answered before the next slice.
    m_parts.sendScheds.setSlices(kPushSliceMs, [this] {
        QMetaObject::invokeMethod(this, &DatabaseCycle::resumePush, Qt::QueuedConnection);
    });
}

void DatabaseCycle::mapConnected()
{
    // A line list request sent on the connection before is no answer this
    // one can give: the new connection is asked at the next tick, not 30 s
    // after a request it never saw.
    m_link.dtLastQSent = DateTime::zero();
    m_linesAsked = 0;
    m_parts.sendScheds.restartRound();
}

void DatabaseCycle::enableTimer()
{
    if (!m_tmrDB.isActive())
        m_tmrDB.start();
}

void DatabaseCycle::start()
{
    m_started = true;
    // A gateway that took over a pair's lease runs its first cycle at once:
    // the map has waited for it since the other one stopped.
    m_tmrDB.setInterval(m_relearnScheds ? 0 : 1000);
    enableTimer();
}

void DatabaseCycle::stop()
{
    m_tmrDB.stop();
}

void DatabaseCycle::cancel()
{
    if (m_inCycle)
        m_parts.database.cancel();
}

void DatabaseCycle::applyInterval(const QString &text)
{
    loadInterval(text);
    const int ms = intervalSeconds(text) * 1000;
    if (m_tmrDB.interval() != ms)
        m_tmrDB.setInterval(ms);
    // The countdown starts again with the new interval (a cycle under way
    // switches the timer on at its end).
    if (m_started && !m_inCycle)
        m_tmrDB.start();
}

void DatabaseCycle::setLastQueryAll(const QDateTime &moment)
{
    m_dtLastQueryAll = moment;
    m_dLastQueryDay = DateTime::operationalDay(moment);
}

void DatabaseCycle::requestFullQuery()
{
    m_dtLastQueryAll = DateTime::zero();
    ++m_fullQueryAsks;
}

void DatabaseCycle::takeOver()
{
    requestFullQuery();
    m_dLastQueryDay = QDate(); // a new day for the cycle: colLines go
    m_relearnScheds = true;
}

void DatabaseCycle::lineListReceived()
{
    requestFullQuery();
    m_linesAsked = 0;
    enableTimer();
}

bool DatabaseCycle::askForLines()
{
    if (m_linesAsked >= kUnansweredLineRequests) {
        // The connection is up but the server answers nothing: a stopped
        // process or a hung host. The cycle connects again.
        m_log.Err2File(QStringLiteral("tmrDB_Timer"),
            QStringLiteral("The map server answered none of the last %1 line list requests: "
                           "connection given up")
                .arg(m_linesAsked),
            0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
        m_linesAsked = 0;
        m_parts.mapLink.noteLost();
        m_sckMap.close();
        return false;
    }
    ++m_linesAsked;
    m_sckMap.send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
    return true;
}

void DatabaseCycle::resumePush()
{
    // Every line in hand is whole on the event thread (a line's rows and its
    // stops are merged in one slice), so a paused push goes on whenever the
    // server has read enough, also while the cycle waits for the database or
    // between two slices of the merge.
    if (m_sckMap.state() != MapSocket::State::Connected)
        return;
    QString type = QStringLiteral("Send New");
    QString buf;
    m_parts.sendScheds.ProcessExpLineSchedReq(type, buf);
}

int DatabaseCycle::intervalSeconds(const QString &text)
{
    // An empty value (a settings key present but empty) means the default.
    if (text.trimmed().isEmpty())
        return kDefaultIntervalSeconds;
    if (!Convert::isNumeric(text))
        throw Failure(Failure::TypeMismatch);
    const double seconds = std::nearbyint(Convert::toDouble(text));
    return int(std::clamp<double>(seconds, kMinIntervalSeconds, kMaxIntervalSeconds));
}

void DatabaseCycle::tmrDB_Timer()
{
    // One cycle at a time: a tick that comes while one waits for the
    // database, or inside a message box's own event loop, starts nothing.
    if (m_inCycle)
        return;
    // A standby pair's gateway that no longer holds the lease writes and
    // sends nothing (its stand-down stops the timer).
    if (!m_parts.lease.mayAct())
        return;
    m_inCycle = true;
    m_sinceTick.start();
    m_cycleTime.start();
    m_c = Under();
    // What was asked until now is this cycle's to carry out (the steps up
    // to the hand-over run without a break).
    for (int mark = 0; mark < MenuMarks::Count; ++mark)
        m_c.asked[mark] = m_marks.requests(MenuMarks::Mark(mark));
    m_c.fullQueryAsks = m_fullQueryAsks;
    runStep([this] { firstSteps(); });
}

void DatabaseCycle::runStep(const std::function<void()> &step)
{
    // A failure a step does not trap itself ends the cycle at its exit.
    if (const auto failure = trapFailure(step))
        failureExit(*failure);
}

void DatabaseCycle::firstSteps()
{
    LinkState &link = m_link;
    MapSocket &sck = m_sckMap;
    double &sngStep = m_c.sngStep;
    const QDateTime now = m_clock.now();

    // The line list was asked for: wait for its answer (the timer keeps running).
    if (link.bRequestLines && DateTime::secondsBetween(link.dtLastQSent, now) < 30) {
        endCycle(true);
        return;
    }
    if (link.bRequestLines && sck.state() == MapSocket::State::Connected) {
        sngStep = 2;
        link.dtLastQSent = now;
        sngStep = 3;
        if (askForLines()) {
            endCycle(true);
            return;
        }
    }

    sngStep = 4;
    m_tmrDB.stop();
    m_c.counted = true;
    // An emptied box keeps its remembered value until the operator types a
    // new one, so the cycle goes on meanwhile.
    const QString text = m_intervalText.isEmpty() ? m_intervalTag : m_intervalText;
    const int ms = intervalSeconds(text) * 1000;
    if (m_tmrDB.interval() != ms)
        m_tmrDB.setInterval(ms);

    sngStep = 5;
    sngStep = 6;
    // A part that fails switches the timer on at once; the countdown then
    // runs while the cycle goes on.
    if (!m_parts.statusReport.ShowStatuses())
        enableTimer();

    sngStep = 7;
    if (DateTime::minutesBetween(link.dtLinesTime, now) > 60)
        link.bRequestLines = true;
    if (sck.state() == MapSocket::State::Connected
        && sck.msSinceHeard() > qint64(kQuietSeconds) * 1000)
        link.bRequestLines = true;

    // The query of step 23, decided here since the rules for the day's
    // lines are read with it. The day boundary: the last full query ran
    // before 04:00 (a refresh or a "$Q" answer set it to zero, whose time is
    // 00:00) and now is later, so the day is dropped and built anew from a
    // full query; that is how the trips of jobs deleted or moved to another
    // route leave the map. An outage that passed 04:00 unseen, whatever the
    // time of the last query, drops it too.
    const QDate today = DateTime::operationalDay(now);
    const bool crossed4am = m_dtLastQueryAll.time() < DateTime::dayStartsAt()
        && now.time() >= DateTime::dayStartsAt();
    if (crossed4am || m_dLastQueryDay != today)
        m_c.query = Query::NewDay;
    else if (DateTime::minutesBetween(m_dtLastQueryAll, now) < 30)
        m_c.query = Query::Trigger;
    else
        m_c.query = Query::Full;
    m_c.today = today;

    // Steps 8 to 23 on the database thread.
    sngStep = 8;
    StageRequest request;
    request.source = m_sources.dataSource;
    request.mode = m_c.query == Query::Trigger ? QueryMode::QueryTrigger : QueryMode::QueryAll;
    request.rows = m_sources.rows;
    m_c.linesList = m_sources.rows.strLinesList;
    request.saveQuery = m_marks.checked(MenuMarks::mnuSaveQuery);
    request.dbCommand = m_marks.bDBCommand;
    request.debugCurrent = m_marks.checked(MenuMarks::mnuDebugCurrent);
    request.debugAll = m_marks.checked(MenuMarks::mnuDebugAll);
    if (m_c.query != Query::NewDay && m_day.colLines) {
        for (auto it = m_day.colLines->begin(); it != m_day.colLines->end(); ++it)
            request.lineKeys << it.key();
    }
    request.today = m_clock.today();
    request.fence = m_parts.lease.fence();
    request.writeGate = m_parts.lease.gate();
    request.relearnScheds = std::exchange(m_relearnScheds, false);
    m_parts.database.runStage(
        request, [this](const StageReply &reply) { runStep([&] { onStage(reply); }); });
}

void DatabaseCycle::showPopupIfDue()
{
    // A failed reopen shows the status popup at most once every 30 seconds,
    // and never while the main window is minimized.
    const QDateTime now = m_clock.now();
    if (!m_ui.mainWindowMinimized() && DateTime::secondsBetween(m_dtLastDBGood, now) >= 30
        && DateTime::secondsBetween(m_dtLastPopup, now) >= 30) {
        m_dtLastPopup = now;
        m_parts.statusReport.mnuStatus_Click();
    }
}

void DatabaseCycle::onStage(const StageReply &reply)
{
    m_c.sStatus = reply.sStatus;
    m_c.sngStep = reply.sngStep;
    if (reply.dbGood)
        m_dtLastDBGood = m_clock.now();
    if (reply.jobsReopened)
        m_parts.metrics.dbSessionReopened(Metrics::Session::Jobs);
    if (reply.orvikDbReopened)
        m_parts.metrics.dbSessionReopened(Metrics::Session::OrvikDb);
    if (reply.exit) {
        if (reply.repairFailed)
            showPopupIfDue();
        failureExit(reply.failure);
        return;
    }
    if (reply.selection.fenced) {
        // Nothing of the selection took effect: another gateway holds the
        // lease. This one stands down (its stop ends the cycle's timer).
        failureExit(std::nullopt);
        m_parts.lease.writesFenced(QStringLiteral("the selection's writes"));
        return;
    }

    // Step 23: the day boundary, the selection and its rows.
    const QDateTime now = m_clock.now();
    double &sngStep = m_c.sngStep;
    sngStep = 23;
    m_c.sStatus = QStringLiteral("Reset colLines at 4:00 AM");
    // A new operational day: the day's lines are dropped (the merge builds
    // the new day apart from the rows, and it takes the old one's place).
    if (m_c.query == Query::NewDay && !reply.selection.rows)
        m_day.colLines.reset();
    else if (m_c.query == Query::Trigger)
        sngStep = 24;
    else
        sngStep = 25;

    settleMarks(reply);
    // Written, unless a new list arrived meanwhile.
    if (reply.linesStored && m_sources.rows.strLinesList == m_c.linesList)
        m_sources.rows.bLinesChanged = false;
    if (reply.selection.rows)
        m_parts.metrics.jobsSelected(reply.selection.rows->recordCount());
    m_parts.metrics.schedsInserted(reply.schedsInserted);

    if (m_c.query != Query::Trigger) {
        // A refresh or a "$Q" answer that came while this query ran asks
        // for one after it: it stays due.
        if (m_fullQueryAsks == m_c.fullQueryAsks)
            m_dtLastQueryAll = now;
        m_dLastQueryDay = m_c.today;
    }
    if (reply.selection.failed)
        enableTimer();
    if (reply.selection.rows) {
        processRows(reply);
        return;
    }
    lastSteps();
}

void DatabaseCycle::settleMarks(const StageReply &reply)
{
    // A mark the operator set or switched while the stage ran is a request
    // the stage has not seen: it stays for the next one.
    const auto untouched
        = [this](MenuMarks::Mark mark) { return m_marks.requests(mark) == m_c.asked[mark]; };
    if (untouched(MenuMarks::mnuSaveQuery))
        m_marks.setChecked(MenuMarks::mnuSaveQuery, reply.saveQuery);
    if (untouched(MenuMarks::mnuDB)) {
        m_marks.bDBCommand = reply.dbCommand;
        if (!reply.dbCommand)
            m_marks.uncheck(MenuMarks::mnuDB);
    }
    if (untouched(MenuMarks::mnuDebugCurrent))
        m_marks.setChecked(MenuMarks::mnuDebugCurrent, reply.debugCurrent);
    if (untouched(MenuMarks::mnuDebugAll) && m_marks.checked(MenuMarks::mnuDebugAll)
        && !reply.debugAll) {
        // The rows written out end the "all" switch too; the settings file
        // follows, so that the menu and the file agree (and a restart does
        // not switch it on again).
        m_marks.uncheck(MenuMarks::mnuDebugAll);
        m_settings.WriteINI(
            QStringLiteral("Misc"), QStringLiteral("SentLines2File"), QStringLiteral("False"));
    }
}

void DatabaseCycle::refreshDone()
{
    // A refresh asked for while the stage ran is carried out by the next
    // cycle, which removes its mark.
    if (m_marks.requests(MenuMarks::mnuRefresh) == m_c.asked[MenuMarks::mnuRefresh])
        m_marks.uncheck(MenuMarks::mnuRefresh);
}

void DatabaseCycle::processRows(const StageReply &reply)
{
    // The rows stay here while they are merged, a slice at a time.
    m_c.rows = reply.selection.rows;
    m_parts.jobsProcessor.beginMerge(m_c.rows, reply.rules, m_c.query == Query::NewDay);
    mergeSlice();
}

void DatabaseCycle::mergeSlice()
{
    QString needed;
    const auto outcome = m_parts.jobsProcessor.mergeSlice(kMergeSliceMs, &needed);
    if (!outcome) {
        // The map's requests that came meanwhile are answered before the
        // next slice; every line is whole between two.
        QMetaObject::invokeMethod(
            this, [this] { runStep([this] { mergeSlice(); }); }, Qt::QueuedConnection);
        return;
    }
    m_parts.database.dispose(std::exchange(m_c.rows, nullptr));
    switch (*outcome) {
    case JobsProcessor::Outcome::Done:
        break;
    case JobsProcessor::Outcome::Failed:
        enableTimer();
        break;
    case JobsProcessor::Outcome::NeedsRules:
        // The rules were read for other lines than the merge made: read
        // again for these (the prediction and the merge disagree only on a
        // fault, which this record lets someone see).
        m_log.Err2File(QStringLiteral("ProcessScheduleTrigRecs"),
            QStringLiteral("Route times read again for the lines the rows made"), 0, QString(),
            QStringLiteral("Debug.TXT"), LogRecord::Severity::Warning);
        m_parts.database.readRules(needed, m_clock.today(),
            [this](const RouteRules &rules) { runStep([&] { onRules(rules); }); });
        return;
    }
    // The refresh request is carried out once the rows are processed.
    refreshDone();
    afterProcessing();
}

void DatabaseCycle::afterProcessing()
{
    // The day is whole again: the map's requests that came during the merge
    // are answered before the push.
    QMetaObject::invokeMethod(
        this, [this] { runStep([this] { lastSteps(); }); }, Qt::QueuedConnection);
}

void DatabaseCycle::onRules(const RouteRules &rules)
{
    if (!m_parts.jobsProcessor.completeStops(rules))
        enableTimer();
    refreshDone();
    afterProcessing();
}

void DatabaseCycle::lastSteps()
{
    LinkState &link = m_link;
    MapSocket &sck = m_sckMap;
    double &sngStep = m_c.sngStep;
    QString &sStatus = m_c.sStatus;

    // Stood down while the stage or the merge ran: the stand-down closed
    // the map connection, and what is left of the cycle neither asks, nor
    // sends, nor opens it again (the other gateway has the map now). The
    // timer goes on, its ticks doing nothing until the lease is won again.
    if (!m_parts.lease.mayAct()) {
        endCycle(false);
        return;
    }

    sngStep = 26;
    sStatus = QStringLiteral("QRun");
    if (sck.state() == MapSocket::State::Connected && link.bRequestLines) {
        sngStep = 27;
        link.dtLastQSent = m_clock.now();
        sngStep = 28;
        if (askForLines()) {
            sngStep = 29;
            endCycle(true);
            return;
        }
    }

    sngStep = 30;
    sStatus = QStringLiteral("Send Tickets");
    sngStep = 31;
    const MapSocket::State mapState = sck.state();
    if (mapState != MapSocket::State::Connecting && mapState != MapSocket::State::Connected) {
        sngStep = 32;
        sStatus = QStringLiteral("Map State - ") + QString::number(int(mapState));
        m_parts.mapLink.noteLost();
        sngStep = 33;
        sck.close();
        m_linesAsked = 0;
        sngStep = 34;
        if (sck.state() == MapSocket::State::Closed)
            sck.connectToHost();
        sngStep = 35;
        // Retry every second until the map is back; a later full cycle
        // restores the configured interval.
        m_tmrDB.setInterval(1000);
        sngStep = 35.5;
        failureExit(std::nullopt);
        return;
    }

    sngStep = 36;
    if (sck.state() == MapSocket::State::Connected) {
        QString type = QStringLiteral("Send New");
        QString buf;
        m_parts.sendScheds.ProcessExpLineSchedReq(type, buf);
        m_parts.sendScheds.checkRound(qint64(kSlowRoundIntervals) * m_tmrDB.interval() / 1000);
    }
    sngStep = 37;
    sngStep = 38;
    refreshDone();
    sngStep = 39;
    endCycle(true);
}

void DatabaseCycle::failureExit(const std::optional<Failure> &failure)
{
    double sngStep = m_c.sngStep * 100 + 1;
    enableTimer();
    sngStep = sngStep + 1;
    m_log.Err2File(QStringLiteral("tmrDB_Timer"),
        m_c.sStatus + QStringLiteral(" Step: ") + QString::number(sngStep, 'g', 12),
        failure ? failure->number() : 0, failure ? failure->description() : QString(),
        QStringLiteral("Debug.TXT"));
    refreshDone();
    endCycle(false);
}

void DatabaseCycle::endCycle(bool ok)
{
    // Every way out from step 4 on switches the timer on again.
    if (m_c.counted)
        enableTimer();
    if (ok)
        m_log.endRepeats(QStringLiteral("tmrDB_Timer"));
    if (m_c.counted)
        m_parts.metrics.cycleEnded(ok, m_cycleTime.nsecsElapsed() / 1e9, m_clock.now());
    m_inCycle = false;
    Q_EMIT cycleEnded(ok);
}

void DatabaseCycle::setIntervalText(const QString &text)
{
    // Signalled even when unchanged: a refused entry puts the last accepted
    // value back into a box that shows something else.
    m_intervalText = text;
    Q_EMIT intervalTextChanged(text);
}

void DatabaseCycle::loadInterval(const QString &text)
{
    setIntervalText(text);
    m_intervalTag = text;
}

void DatabaseCycle::txtInterval_Change(const QString &text)
{
    m_log.trap(QStringLiteral("txtInterval_Change"), [&] {
        if (!text.isEmpty()) {
            // The box takes whole seconds, 1 to 3600.
            static const QRegularExpression whole(QStringLiteral(R"(^\s*\+?\d{1,4}\s*$)"));
            const int seconds = whole.match(text).hasMatch() ? text.trimmed().toInt() : 0;
            if (seconds < kMinIntervalSeconds || seconds > kMaxIntervalSeconds) {
                // Not an interval: the last accepted value goes back into the box.
                setIntervalText(m_intervalTag);
                return;
            }
            setIntervalText(text);
            m_intervalTag = text;
            m_settings.WriteINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), text);
            return;
        }
        setIntervalText(text);
        m_intervalTag = m_settings.ReadINI(
            QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("15"));
    });
}

void DatabaseCycle::updInterval_Change(int value)
{
    txtInterval_Change(QString::number(value));
}
