#include "Lease.h"

#include "platform/DbSession.h"
#include "platform/RowSet.h"

namespace {

RowSet::Ptr firstRows(RowSet::Ptr rs)
{
    // A batch's first results may be closed ones (a SET before the update).
    while (rs && rs->state() == RowSet::Closed)
        rs = rs->nextRecordset();
    return rs;
}

} // namespace

Lease::Lease(const QString &name, const QString &holder, int leaseMs)
    : m_name(name), m_holder(holder), m_leaseMs(leaseMs)
{
}

std::optional<Failure> Lease::ensure(DbSession &session, bool *created)
{
    const auto statements = LeaseStatements::forSession(session);
    if (created)
        *created = false;
    try {
        session.execute(statements->insertRow(m_name));
        return std::nullopt;
    } catch (const Failure &) {
        // Most likely the table is missing: made here when the login may.
    }
    try {
        session.execute(statements->createTable());
        session.execute(statements->insertRow(m_name));
        if (created)
            *created = true;
        return std::nullopt;
    } catch (const Failure &failure) {
        return Failure(failure.number(),
            failure.description()
                + QStringLiteral(" - the lease table is missing and cannot be made here; "
                                 "run on the jobs database: ")
                + statements->createTable());
    }
}

qint64 Lease::termOf(DbSession &session, const QString &statement)
{
    RowSet::Ptr rs = firstRows(session.execute(statement));
    if (!rs || rs->eof())
        return 0;
    return rs->field(0).toLongLong();
}

Lease::Outcome Lease::acquire(DbSession &session)
{
    try {
        const qint64 term = termOf(
            session, LeaseStatements::forSession(session)->acquire(m_name, m_holder, m_leaseMs));
        if (term == 0)
            return Outcome::HeldByOther;
        m_term = term;
        return Outcome::Won;
    } catch (const Failure &failure) {
        m_failure = failure;
        return Outcome::Failed;
    }
}

Lease::Outcome Lease::renew(DbSession &session)
{
    try {
        const qint64 term = termOf(session,
            LeaseStatements::forSession(session)->renew(m_name, m_term, m_holder, m_leaseMs));
        if (term != m_term)
            return Outcome::Lost;
        return Outcome::Renewed;
    } catch (const Failure &failure) {
        m_failure = failure;
        return Outcome::Failed;
    }
}

bool Lease::release(DbSession &session)
{
    if (m_term == 0)
        return true;
    try {
        session.execute(LeaseStatements::forSession(session)->release(m_name, m_term, m_holder));
        m_term = 0;
        return true;
    } catch (const Failure &failure) {
        m_failure = failure;
        return false;
    }
}

Lease::Holder Lease::read(DbSession &session, const QString &name)
{
    Holder h;
    RowSet::Ptr rs = firstRows(session.execute(LeaseStatements::forSession(session)->read(name)));
    if (!rs || rs->eof())
        return h;
    h.found = true;
    h.term = rs->field(0).toLongLong();
    h.holder = rs->field(1).toString();
    h.secondsLeft = rs->field(2).toDouble();
    return h;
}

void Lease::label(DbSession &session, const QString &label)
{
    const QString statement = LeaseStatements::forSession(session)->labelSession(label);
    if (!statement.isEmpty())
        session.execute(statement);
}

std::optional<Failure> Lease::endOthers(
    DbSession &session, const QString &prefix, const QString &own)
{
    const QString statement = LeaseStatements::forSession(session)->endOtherSessions(prefix, own);
    if (statement.isEmpty())
        return std::nullopt;
    return trapFailure([&] { session.execute(statement); });
}
