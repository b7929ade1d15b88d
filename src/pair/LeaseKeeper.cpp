#include "LeaseKeeper.h"

#include "diag/ErrorLog.h"
#include "platform/DbSession.h"

#include <QMetaObject>
#include <QSemaphore>
#include <QThread>

#include <time.h>

namespace {

const QString kProcedure = QStringLiteral("PairLease");

} // namespace

// The keeper's side on its own thread: the session, the lease's steps and
// the timer that paces them. It writes the shared term, deadline and
// active flag; the keeper reads them from any thread.
class LeaseKeeper::Worker : public QObject
{
    Q_OBJECT
public:
    Worker(const PairConfig &config, LeaseKeeper::OpenSession openSession,
        std::shared_ptr<Shared> shared, ErrorLog &log)
        : m_config(config),
          m_openSession(std::move(openSession)),
          m_shared(std::move(shared)),
          m_log(log),
          m_lease(config.name, config.holder, config.leaseMs()),
          m_timer(this) // a child, so that it moves to the keeper's thread
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &Worker::tick);
    }

    void begin(const DataSource &source)
    {
        if (m_session
            && (source.strSQLServer != m_source.strSQLServer
                || source.strCatalog != m_source.strCatalog)) {
            // Another source: the lease is let go on the old one first.
            letGo();
            m_session->close();
            m_session.reset();
        }
        m_source = source;
        tick();
    }

    // Told by the keeper on the event thread (a deadline passed, or the
    // fence refused the writes): the lease is not acted on any more and is
    // let go at once, in case it is still this term's.
    void standDown()
    {
        letGo();
        schedule(kTryMs);
    }

    void release(std::shared_ptr<QSemaphore> done)
    {
        m_timer.stop();
        m_stopped = true;
        const qint64 term = m_lease.term();
        if (letGo())
            m_log.logMessage(kProcedure,
                QStringLiteral("Pair %1: the lease of term %2 is released")
                    .arg(m_config.name)
                    .arg(term));
        if (m_session)
            m_session->close();
        m_session.reset();
        done->release();
    }

Q_SIGNALS:
    void won(qint64 term);
    void lost(const QString &why);

private:
    // The lease is not acted on any more; released at once where it may
    // still be this term's (a lease already lost is not). True when a
    // release went through.
    bool letGo(bool release = true)
    {
        m_shared->active = false;
        const bool released
            = release && m_session && m_lease.term() != 0 && m_lease.release(*m_session);
        m_lease.forget();
        m_shared->term = 0;
        return released;
    }

    void schedule(int ms)
    {
        if (!m_stopped)
            m_timer.start(ms);
    }

    bool haveSession()
    {
        if (m_session && m_session->state() != DbSession::Closed
            && m_session->connectionStatus() == 1)
            return true;
        if (m_session)
            m_session->close();
        m_session.reset();
        try {
            m_session = m_openSession(m_config.statementSeconds(), m_source);
            Lease::label(*m_session, m_config.sessionLabel());
            bool created = false;
            if (const auto failure = m_lease.ensure(*m_session, &created))
                throw *failure;
            if (created)
                m_log.logMessage(kProcedure,
                    QStringLiteral("Pair %1: the lease table %2 was made")
                        .arg(m_config.name, QLatin1String(LeaseStatements::kTable)));
            m_lastFailure.clear();
            return true;
        } catch (const Failure &failure) {
            if (m_session)
                m_session->close();
            m_session.reset();
            told(failure);
            return false;
        }
    }

    // A failure is written when it is not the one written last: a server
    // away for an hour is one record, not one every two seconds.
    void told(const Failure &failure)
    {
        const QString text = QString::number(failure.number()) + failure.description();
        if (text == m_lastFailure)
            return;
        m_lastFailure = text;
        m_log.Err2File(kProcedure, QStringLiteral("Pair ") + m_config.name, failure.number(),
            failure.description(), QStringLiteral("Debug.TXT"));
    }

    void tick()
    {
        if (m_stopped)
            return;
        if (!haveSession()) {
            if (m_shared->active)
                renewFailed(m_lease.failure());
            schedule(kTryMs);
            return;
        }
        const qint64 sent = runningMs();
        if (!m_shared->active) {
            switch (m_lease.acquire(*m_session)) {
            case Lease::Outcome::Won:
                // Whatever the old holder's sessions still hold (a paused
                // one's statement whose results nobody reads) goes with them.
                if (const auto refused
                    = Lease::endOthers(*m_session, m_config.labelPrefix(), m_config.sessionLabel()))
                    m_log.Err2File(kProcedure,
                        QStringLiteral("Pair %1: the other gateway's sessions could not be "
                                       "ended")
                            .arg(m_config.name),
                        refused->number(), refused->description(), QStringLiteral("Debug.TXT"),
                        LogRecord::Severity::Warning);
                m_shared->term = m_lease.term();
                m_shared->deadlineMs = sent + m_config.leaseMs() - m_config.marginMs();
                m_shared->active = true;
                m_failures = 0;
                m_lastFailure.clear();
                Q_EMIT won(m_lease.term());
                schedule(m_config.leaseMs() / 3);
                return;
            case Lease::Outcome::Failed:
                told(m_lease.failure());
                break;
            default:
                m_lastFailure.clear();
                break;
            }
            schedule(kTryMs);
            return;
        }
        switch (m_lease.renew(*m_session)) {
        case Lease::Outcome::Renewed:
            m_shared->deadlineMs = sent + m_config.leaseMs() - m_config.marginMs();
            m_failures = 0;
            schedule(m_config.leaseMs() / 3);
            return;
        case Lease::Outcome::Lost: {
            const qint64 term = m_lease.term();
            loseLease(QStringLiteral("the lease of term %1 was taken or ran out").arg(term));
            return;
        }
        default:
            renewFailed(m_lease.failure());
            return;
        }
    }

    void renewFailed(const Failure &failure)
    {
        // One failed renewal is tried again at once; a second in a row
        // gives the lease up for lost.
        if (++m_failures < 2) {
            schedule(200);
            return;
        }
        loseLease(QStringLiteral("two renewals in a row failed: %1 %2")
                      .arg(failure.number())
                      .arg(failure.description()));
    }

    void loseLease(const QString &why)
    {
        letGo(false);
        m_failures = 0;
        Q_EMIT lost(why);
        schedule(kTryMs);
    }

    PairConfig m_config;
    LeaseKeeper::OpenSession m_openSession;
    DataSource m_source;
    std::shared_ptr<Shared> m_shared;
    ErrorLog &m_log;
    Lease m_lease;
    std::shared_ptr<DbSession> m_session;
    QTimer m_timer;
    int m_failures = 0;
    bool m_stopped = false;
    QString m_lastFailure;
};

LeaseKeeper::LeaseKeeper(
    const PairConfig &config, OpenSession openSession, ErrorLog &log, QObject *parent)
    : QObject(parent),
      m_config(config),
      m_log(log),
      m_role(config.enabled() ? Role::Standby : Role::Single)
{
    if (!config.enabled())
        return;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("lease"));
    m_worker = new Worker(config, std::move(openSession), m_shared, log);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &Worker::won, this, &LeaseKeeper::won);
    connect(m_worker, &Worker::lost, this, &LeaseKeeper::standDown);
    // A renewal that hangs does not keep the deadline from being seen.
    m_deadlineWatch.setInterval(250);
    connect(&m_deadlineWatch, &QTimer::timeout, this, &LeaseKeeper::checkDeadline);
}

LeaseKeeper::~LeaseKeeper()
{
    if (!m_thread)
        return;
    release(3000);
}

void LeaseKeeper::start(const DataSource &source)
{
    if (!m_thread || m_released)
        return;
    if (!m_thread->isRunning()) {
        m_log.logMessage(kProcedure,
            QStringLiteral("Pair %1: standing by as %2, lease %3 s")
                .arg(m_config.name, m_config.holder)
                .arg(m_config.leaseSeconds));
        m_thread->start();
        Q_EMIT standingBy();
    }
    Worker *worker = m_worker;
    QMetaObject::invokeMethod(
        m_worker, [worker, source] { worker->begin(source); }, Qt::QueuedConnection);
}

bool LeaseKeeper::started() const
{
    return m_thread && m_thread->isRunning();
}

std::function<bool()> LeaseKeeper::gate() const
{
    if (!m_config.enabled())
        return {};
    return [shared = m_shared] { return shared->holds(); };
}

void LeaseKeeper::release(int waitMs)
{
    if (!m_thread || m_released)
        return;
    m_released = true;
    m_deadlineWatch.stop();
    m_role = m_config.enabled() ? Role::Standby : Role::Single;
    m_shared->active = false;
    if (m_thread->isRunning()) {
        auto done = std::make_shared<QSemaphore>();
        Worker *worker = m_worker;
        QMetaObject::invokeMethod(
            m_worker, [worker, done] { worker->release(done); }, Qt::QueuedConnection);
        done->tryAcquire(1, waitMs);
        m_thread->quit();
        if (!m_thread->wait(qMax(waitMs, 1))) {
            // A statement the server does not answer: the thread keeps the
            // worker; the process ends around them.
            return;
        }
    } else {
        delete m_worker;
    }
    delete m_thread;
    m_thread = nullptr;
    m_worker = nullptr;
}

bool LeaseKeeper::mayAct() const
{
    if (!m_config.enabled())
        return true;
    // Active here too: a term won and not yet taken up by the event thread
    // (becameActive is on its way) does not act yet.
    return m_role == Role::Active && m_shared->holds();
}

QString LeaseKeeper::roleName(Role role)
{
    switch (role) {
    case Role::Single:
        return QStringLiteral("single");
    case Role::Standby:
        return QStringLiteral("standby");
    case Role::Active:
        return QStringLiteral("active");
    }
    return QString();
}

LeaseFence LeaseKeeper::fence() const
{
    if (!m_config.enabled())
        return {};
    return {m_config.name, m_shared->term.load(), m_config.holder};
}

void LeaseKeeper::writesFenced(const QString &why)
{
    if (m_role != Role::Active)
        return;
    ++m_fenced;
    standDown(QStringLiteral("the server refused this gateway's writes: ") + why);
}

bool LeaseKeeper::checkDeadline()
{
    if (m_role == Role::Active && !mayAct()) {
        if (m_shared->active.load())
            standDown(QStringLiteral("the lease's deadline passed without a renewal"));
        else
            standDown(QStringLiteral("the lease was lost"));
    }
    return mayAct();
}

qint64 LeaseKeeper::runningMs()
{
    // CLOCK_BOOTTIME runs on through a suspend, where the monotonic clock
    // stops: a host that slept past its lease must not wake and act on it.
    timespec ts = {};
#ifdef CLOCK_BOOTTIME
    clock_gettime(CLOCK_BOOTTIME, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void LeaseKeeper::won(qint64 term)
{
    if (m_released)
        return;
    if (term != m_shared->term.load() || !m_shared->active.load())
        return; // stood down meanwhile
    m_role = Role::Active;
    ++m_takeovers;
    m_log.logMessage(kProcedure,
        QStringLiteral("Pair %1: active as %2, term %3")
            .arg(m_config.name, m_config.holder)
            .arg(term));
    m_deadlineWatch.start();
    Q_EMIT becameActive(term);
}

void LeaseKeeper::standDown(const QString &why)
{
    if (m_role != Role::Active)
        return;
    m_role = Role::Standby;
    m_shared->active = false;
    m_deadlineWatch.stop();
    m_log.Err2File(kProcedure, QStringLiteral("Pair %1: standing down: %2").arg(m_config.name, why),
        0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
    if (m_worker && !m_released) {
        Worker *worker = m_worker;
        QMetaObject::invokeMethod(
            m_worker, [worker] { worker->standDown(); }, Qt::QueuedConnection);
    }
    Q_EMIT stoodDown(why);
}

#include "LeaseKeeper.moc"
