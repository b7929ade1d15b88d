#include "cycle/DatabaseThread.h"

#include "diag/ErrorLog.h"

#include <QTime>

DatabaseThread::DatabaseThread(
    const QString &programFolder, const Clock &clock, ErrorLog &log, QObject *parent)
    : QObject(parent),
      m_thread(new QThread),
      m_worker(new DatabaseWorker(programFolder, clock, log, m_activity)),
      m_log(log)
{
    m_stallWatch.setInterval(1000);
    connect(&m_stallWatch, &QTimer::timeout, this, &DatabaseThread::watchStall);
    m_stallWatch.start();
    m_thread->setObjectName(QStringLiteral("database"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
    // The parts are made there, so that the sessions belong to that thread.
    call([](DatabaseWorker &w) { w.start(); });
}

DatabaseThread::~DatabaseThread()
{
    if (!m_finished && !m_finishTried)
        finish(3000);
    if (!m_finished)
        return; // left to the end of the process
    delete m_thread;
}

bool DatabaseThread::hung() const
{
    const DbActivity::Now now = m_activity.now();
    if (!now.busy)
        return false;
    // A wait without a limit of its own is held to the statements' one.
    const int limit = now.limitSeconds > 0 ? now.limitSeconds : 120;
    return now.ms > qint64(limit + kHungMarginSeconds) * 1000;
}

void DatabaseThread::watchStall()
{
    const DbActivity::Now now = m_activity.now();
    if (m_stallTold != 0 && (!now.busy || now.serial != m_stallTold)) {
        m_log.Err2File(QStringLiteral("tmrDB_Timer"),
            QStringLiteral("The database answered after %1 s: %2")
                .arg(m_stallMs / 1000)
                .arg(m_stallWhat),
            0, QString(), QStringLiteral("Debug.TXT"));
        m_stallTold = 0;
    }
    if (!now.busy)
        return;
    if (now.serial == m_stallTold) {
        m_stallMs = now.ms;
        return;
    }
    if (now.ms < qint64(kStallSeconds) * 1000)
        return;
    m_stallTold = now.serial;
    m_stallWhat = now.what;
    m_stallMs = now.ms;
    m_log.Err2File(QStringLiteral("tmrDB_Timer"),
        QStringLiteral("The database has not answered for %1 s, since %2: %3")
            .arg(now.ms / 1000)
            .arg(QTime::currentTime().addMSecs(-now.ms).toString(QStringLiteral("HH:mm:ss")))
            .arg(now.what),
        0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Warning);
}

void DatabaseThread::take(const DbStatus &status)
{
    m_status = status;
    Q_EMIT statusChanged();
}

namespace {

// What a reply holds that is costly to free, to go back to be freed where it
// was made: a day's rows (100,000 of them take the event thread tens of
// milliseconds, between two answers to the map server).
template <typename R> RowSet::Ptr costlyPart(R &)
{
    return nullptr;
}

RowSet::Ptr costlyPart(StageReply &reply)
{
    return std::move(reply.selection.rows);
}

} // namespace

template <typename R>
void DatabaseThread::post(
    std::function<R(DatabaseWorker &)> work, std::function<void(const R &)> done)
{
    ++m_pending;
    DatabaseWorker *worker = m_worker;
    const std::shared_ptr<QAtomicInt> stopping = m_stopping;
    QMetaObject::invokeMethod(
        worker,
        [this, worker, stopping, work = std::move(work), done = std::move(done)] {
            // Work handed over before the end is not started after it.
            if (stopping->loadRelaxed())
                return;
            R result = work(*worker);
            const DbStatus status = worker->status();
            QMetaObject::invokeMethod(
                this,
                [this, result = std::move(result), status, done]() mutable {
                    --m_pending;
                    take(status);
                    if (done)
                        done(result);
                    dispose(costlyPart(result));
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void DatabaseThread::open(SqlConnect::Which which, const DataSource &source,
    std::function<void(const DatabaseWorker::OpenResult &)> done)
{
    post<DatabaseWorker::OpenResult>(
        [which, source](DatabaseWorker &w) { return w.open(which, source); },
        [this, done = std::move(done)](const DatabaseWorker::OpenResult &r) {
            if (r.failure)
                Q_EMIT openFailed(r.failure->description(), r.failure->number());
            if (done)
                done(r);
        });
}

void DatabaseThread::runStage(
    const StageRequest &request, std::function<void(const StageReply &)> done)
{
    post<StageReply>([request](DatabaseWorker &w) { return w.runStage(request); },
        [this, done = std::move(done)](const StageReply &reply) {
            if (reply.openFailure)
                Q_EMIT openFailed(reply.openFailure->description(), reply.openFailure->number());
            if (done)
                done(reply);
        });
}

void DatabaseThread::readRules(
    const QString &routeList, const QDate &today, std::function<void(const RouteRules &)> done)
{
    post<RouteRules>(
        [routeList, today](DatabaseWorker &w) { return w.readRules(routeList, today); },
        std::move(done));
}

void DatabaseThread::closeJobs()
{
    post<bool>(
        [](DatabaseWorker &w) {
            w.closeJobs();
            return true;
        },
        {});
}

void DatabaseThread::dispose(RowSet::Ptr rows)
{
    if (!rows || m_stopping->loadRelaxed())
        return;
    QMetaObject::invokeMethod(
        m_worker, [rows = std::move(rows)]() mutable { rows.reset(); }, Qt::QueuedConnection);
}

void DatabaseThread::setSessionLabel(const QString &label)
{
    post<bool>(
        [label](DatabaseWorker &w) {
            w.opener().setSessionLabel(label);
            return true;
        },
        {});
}

void DatabaseThread::cancel()
{
    m_worker->cancel();
}

bool DatabaseThread::finish(int waitMs)
{
    if (m_finished)
        return true;
    if (m_finishTried)
        return m_thread->wait(waitMs) && (m_finished = true);
    m_finishTried = true;
    m_stopping->storeRelaxed(1);
    m_worker->cancel();
    // The sessions are closed there, and then the thread ends.
    auto closed = std::make_shared<DbStatus>();
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, closed] {
            worker->closeAll();
            *closed = worker->status();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    m_finished = m_thread->wait(waitMs);
    if (m_finished)
        take(*closed);
    return m_finished;
}

void DatabaseThread::call(const std::function<void(DatabaseWorker &)> &work)
{
    DbStatus status;
    QMetaObject::invokeMethod(
        m_worker,
        [&] {
            work(*m_worker);
            status = m_worker->status();
        },
        Qt::BlockingQueuedConnection);
    take(status);
}
