#pragma once

#include "common/DbStatus.h"
#include "cycle/DatabaseWorker.h"
#include "platform/DbActivity.h"

#include <QAtomicInt>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

class Clock;
class ErrorLog;

// The database thread as the event thread sees it. The thread owns both
// sessions and runs every statement (DatabaseWorker); the event thread hands
// it work and gets the result back by a queued call, so that a lock, a slow
// network or a server that does not answer never holds the map link, the
// timers, the stop signals or the service watchdog. The work runs in the
// order it was handed over, one piece at a time.
//
// A wait that goes on longer than kStallSeconds is told in one record (which
// statement or open, since when), and its end in another.
class DatabaseThread : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStallSeconds = 10;
    // How long past its own time-out a wait may go before the thread counts
    // as hung (the service watchdog is no longer fed).
    static constexpr int kHungMarginSeconds = 30;

    DatabaseThread(
        const QString &programFolder, const Clock &clock, ErrorLog &log, QObject *parent = nullptr);
    ~DatabaseThread() override;

    // Each runs on the database thread; `done` then runs on the event thread
    // with the result (not after this object is gone).
    void open(SqlConnect::Which which, const DataSource &source,
        std::function<void(const DatabaseWorker::OpenResult &)> done);
    void runStage(const StageRequest &request, std::function<void(const StageReply &)> done);
    void readRules(
        const QString &routeList, const QDate &today, std::function<void(const RouteRules &)> done);
    void closeJobs();
    // Rows the event thread is done with are freed on the database thread,
    // which made them (a day's rows take tens of milliseconds to free).
    void dispose(RowSet::Ptr rows);
    // The name the sessions carry on the server from their next open on (a
    // standby pair's gateway).
    void setSessionLabel(const QString &label);

    // The statement under way, if any, is cancelled at once.
    void cancel();
    // The end: what runs is cancelled, both sessions are closed, and the
    // thread ends; false when it did not within waitMs (a server that does
    // not answer even a cancel). The thread then still uses this object, the
    // log, the clock and Qt's own globals when its server answers at last:
    // the process must end at once, without destructors (std::_Exit), and
    // not by returning from main.
    bool finish(int waitMs);
    // The thread has ended (finish succeeded).
    bool ended() const { return m_finished; }

    // The sessions as the thread last reported them.
    const DbStatus &status() const { return m_status; }
    // What the thread waits for now, and since when.
    DbActivity::Now activity() const { return m_activity.now(); }
    // Work handed over and not yet answered.
    int pending() const { return m_pending; }
    // The thread waits past its own time-out and the margin: hung.
    bool hung() const;

    // Tests and benchmarks: runs work on the database thread and waits for
    // it (never from the database thread itself).
    void call(const std::function<void(DatabaseWorker &)> &work);

Q_SIGNALS:
    void statusChanged();
    // An open failed, whoever asked for it (the supervisor, a cycle's repair,
    // a reload); its record is written already. On the event thread, before
    // the asker hears of it.
    void openFailed(const QString &text, int number);

private:
    // Runs work there, then answer here.
    template <typename R>
    void post(std::function<R(DatabaseWorker &)> work, std::function<void(const R &)> done);
    void take(const DbStatus &status);
    void watchStall();

    DbActivity m_activity;
    // Both outlive this object when the thread would not end (a statement
    // that waits on a server gone silent): the process ends around them.
    QThread *m_thread;
    DatabaseWorker *m_worker;
    std::shared_ptr<QAtomicInt> m_stopping = std::make_shared<QAtomicInt>(0);
    DbStatus m_status;
    int m_pending = 0;
    bool m_finished = false;
    bool m_finishTried = false;
    ErrorLog &m_log;
    QTimer m_stallWatch;
    quint64 m_stallTold = 0; // the wait last told as a stall
    QString m_stallWhat;
    qint64 m_stallMs = 0;
};
