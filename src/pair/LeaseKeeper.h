#pragma once

#include "Lease.h"
#include "PairConfig.h"
#include "common/Sessions.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class DbSession;
class ErrorLog;
class QThread;

// The one owner of a standby pair's lease on this gateway. Its statements
// run on a thread of its own, on a session of its own with short time-outs,
// so a cycle that waits behind another program's lock does not lose the
// lease, and a renewal that hangs is noticed before the lease runs out.
//
// A standby tries the lease every kTryMs; the active renews it every third
// of the lease. The cycle and the map link ask one question, mayAct(): the
// lease is held and its deadline on this host's own running clock (the
// moment the last successful renewal was sent, plus the lease, less a
// margin) has not passed. A paused process that wakes past its deadline
// finds the answer no before it sends anything. The writes themselves are
// fenced by the server (fence()): they take effect only while the term holds.
class LeaseKeeper : public QObject
{
    Q_OBJECT
public:
    enum class Role { Single, Standby, Active };
    static constexpr int kTryMs = 2000;

    // openSession: makes and opens the keeper's session on the jobs data
    // source, on the keeper's thread (its failure is a Failure). Without a
    // pair name the keeper does nothing and the role is Single.
    using OpenSession
        = std::function<std::shared_ptr<DbSession>(int statementSeconds, const DataSource &source)>;
    LeaseKeeper(const PairConfig &config, OpenSession openSession, ErrorLog &log,
        QObject *parent = nullptr);
    ~LeaseKeeper() override;

    // The first try comes at once; again with a new source (after a logon),
    // the session is opened on it. A keeper that is started stays so.
    void start(const DataSource &source);
    bool started() const;
    // The check before each batch of writes the fence cannot reach, for
    // another thread: it holds no reference to this object.
    std::function<bool()> gate() const;
    // The stop: the lease ends now, so the other gateway takes it at its
    // next try; waits for it waitMs at most (the lease's expiry covers a
    // release that does not come).
    void release(int waitMs);

    // On the event thread (elsewhere: gate()). Single: always yes.
    bool mayAct() const;
    Role role() const { return m_role; }
    static QString roleName(Role role);
    qint64 term() const { return m_shared->term.load(); }
    LeaseFence fence() const;
    const PairConfig &config() const { return m_config; }
    int takeovers() const { return m_takeovers; }
    int fencedCount() const { return m_fenced; }
    // The writes of a stage were refused by the fence: the lease is gone.
    void writesFenced(const QString &why);
    // Checks the deadline now (a message is about to go): stands down when
    // it has passed. Returns mayAct().
    bool checkDeadline();

    // Milliseconds on the host's running clock, counted through a suspend.
    static qint64 runningMs();

Q_SIGNALS:
    // The keeper started: the gateway stands by until it wins the lease.
    void standingBy();
    void becameActive(qint64 term);
    void stoodDown(const QString &why);

private:
    struct Shared
    {
        std::atomic<qint64> term{0};
        std::atomic<qint64> deadlineMs{0}; // runningMs(); 0: none
        std::atomic<bool> active{false};

        // Held, and this host's deadline for it not passed.
        bool holds() const { return active.load() && runningMs() < deadlineMs.load(); }
    };
    class Worker;

    void won(qint64 term);
    void standDown(const QString &why);

    PairConfig m_config;
    ErrorLog &m_log;
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
    Role m_role;
    QThread *m_thread = nullptr;
    Worker *m_worker = nullptr;
    QTimer m_deadlineWatch;
    int m_takeovers = 0;
    int m_fenced = 0;
    bool m_released = false;
};
