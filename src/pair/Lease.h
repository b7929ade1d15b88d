#pragma once

#include "db/LeaseStatements.h"
#include "platform/Failure.h"

#include <QString>

#include <memory>
#include <optional>

class DbSession;

// The three steps of the lease on one open session, each one statement:
// acquire, renew, release. No state but the term last won; no clock but the
// server's.
class Lease
{
public:
    enum class Outcome {
        Won, // acquire: the lease is this gateway's, term() is the new term
        HeldByOther, // acquire: another holds it and it has not expired
        Renewed,
        Lost, // renew: another term holds it now, or it expired
        Failed, // the statement failed: failure() says why
    };

    Lease(const QString &name, const QString &holder, int leaseMs);

    // The pair's row, and the table when it is missing and the login may
    // make it. created: the table was made here. A failure names the
    // statement a person can run.
    std::optional<Failure> ensure(DbSession &session, bool *created = nullptr);
    Outcome acquire(DbSession &session);
    Outcome renew(DbSession &session);
    // The lease ends now; false when the statement failed (the expiry then
    // ends it).
    bool release(DbSession &session);

    // Names the session as this gateway's (where the server names sessions).
    static void label(DbSession &session, const QString &label);
    // Ends the sessions of the pair's other gateways (where the server can):
    // what a paused one holds goes with them. A failure (a login that may not)
    // is handed back.
    static std::optional<Failure> endOthers(
        DbSession &session, const QString &prefix, const QString &own);

    struct Holder
    {
        bool found = false;
        qint64 term = 0;
        QString holder;
        double secondsLeft = 0; // by the server's clock; <= 0: free
    };
    static Holder read(DbSession &session, const QString &name);

    qint64 term() const { return m_term; }
    void forget() { m_term = 0; }
    const Failure &failure() const { return m_failure; }
    LeaseFence fence() const { return {m_name, m_term, m_holder}; }
    const QString &name() const { return m_name; }
    const QString &holder() const { return m_holder; }

private:
    // The term the statement gave back, or 0 for none.
    qint64 termOf(DbSession &session, const QString &statement);

    QString m_name;
    QString m_holder;
    int m_leaseMs;
    qint64 m_term = 0;
    Failure m_failure{0, QString()};
};
