#pragma once

#include <QString>

#include <memory>

class DbSession;

// What the writes of one request name so that the server takes them only
// while the lease is still this term's (empty name: no pair, no fence).
struct LeaseFence
{
    QString name;
    qint64 term = 0;
    QString holder;

    bool isSet() const { return !name.isEmpty(); }
};

// The statements of a standby pair's lease: one row per pair in the jobs
// database (VolmaraLease: Name, Term, Holder, Expiry). Every time in them is
// the server's own, taken when the statement runs, never the gateway's: two
// hosts whose clocks disagree still agree on who holds the lease. Expiry
// holds the server's UTC time (SQLite: a Julian day number).
//
// A holder is "host pid incarnation"; the term grows by one at each change of
// holder, so a statement that names the term it was won with fails once
// another gateway has won it since.
class LeaseStatements
{
public:
    virtual ~LeaseStatements() = default;

    static std::unique_ptr<LeaseStatements> forSession(const DbSession &session);

    // The table, for a site that lets the gateway make it (and the README).
    virtual QString createTable() const = 0;
    // The pair's row, when it is not there: held by nobody, already expired.
    virtual QString insertRow(const QString &name) const = 0;
    // Wins the lease when it has expired or was released: gives one row, the
    // new term, or none when another holds it. One statement, so two
    // gateways that try at once cannot both win.
    virtual QString acquire(const QString &name, const QString &holder, int leaseMs) const = 0;
    // Moves the expiry on while the lease is this term's and has not
    // expired: one row (the term) or none when it was lost.
    virtual QString renew(
        const QString &name, qint64 term, const QString &holder, int leaseMs) const = 0;
    // Ends the lease at once (its expiry set to now), so that the other
    // gateway takes it at its next try.
    virtual QString release(const QString &name, qint64 term, const QString &holder) const = 0;
    // Term, holder, seconds left by the server's clock (negative: expired).
    virtual QString read(const QString &name) const = 0;
    // A batch of writes with the fence around it, as one request: the writes
    // take effect only while this term holds the lease. The server checks
    // it under a lock on the lease row, just before the commit and in the
    // same request, and fails the request (its transaction rolled back)
    // otherwise; the lock is held from the check to the commit only, so the
    // keeper's renewal on its own session is not held up by a long request.
    // A statement that cannot run inside a transaction and changes no rows
    // (SQL Server's DBCC SHRINKDATABASE) follows the commit.
    virtual QString fenced(const QString &batch, const LeaseFence &fence) const = 0;
    // What the session runs after a fenced request failed, so that no
    // transaction of it stays open.
    virtual QString fenceRecovery() const = 0;
    // What a session runs once after each open before its first fenced
    // request (empty: nothing).
    virtual QString fenceSetup() const { return QString(); }
    // What names a session of a pair's gateway on the server (PostgreSQL:
    // its application_name), so that a new holder can end the sessions of
    // the others; empty where the dialect has nothing for it.
    virtual QString labelSession(const QString &label) const
    {
        Q_UNUSED(label);
        return QString();
    }
    // Ends every session labelled with the pair's prefix but this gateway's
    // own label: a paused gateway's session whose statement the server
    // cannot finish (its results wait for a reader that does not read)
    // holds its row locks until it ends. Empty where the dialect cannot.
    virtual QString endOtherSessions(const QString &prefix, const QString &own) const
    {
        Q_UNUSED(prefix);
        Q_UNUSED(own);
        return QString();
    }
    // The text the fence fails with (found in the failure's description).
    static QString fencedText();

    static constexpr const char *kTable = "VolmaraLease";
};

class SqlServerLeaseStatements : public LeaseStatements
{
public:
    QString createTable() const override;
    QString insertRow(const QString &name) const override;
    QString acquire(const QString &name, const QString &holder, int leaseMs) const override;
    QString renew(
        const QString &name, qint64 term, const QString &holder, int leaseMs) const override;
    QString release(const QString &name, qint64 term, const QString &holder) const override;
    QString read(const QString &name) const override;
    QString fenced(const QString &batch, const LeaseFence &fence) const override;
    QString fenceRecovery() const override;
};

class PostgresLeaseStatements : public LeaseStatements
{
public:
    QString labelSession(const QString &label) const override;
    QString endOtherSessions(const QString &prefix, const QString &own) const override;
    QString createTable() const override;
    QString insertRow(const QString &name) const override;
    QString acquire(const QString &name, const QString &holder, int leaseMs) const override;
    QString renew(
        const QString &name, qint64 term, const QString &holder, int leaseMs) const override;
    QString release(const QString &name, qint64 term, const QString &holder) const override;
    QString read(const QString &name) const override;
    QString fenced(const QString &batch, const LeaseFence &fence) const override;
    QString fenceRecovery() const override;
};

// The embedded files: one writer at a time holds the whole file, so the
// fence is a write transaction taken at once (BEGIN IMMEDIATE) whose first
// statement fails unless the lease is this term's: a count of the lease's
// row that a check of the session's own table refuses when it is 0.
class SqliteLeaseStatements : public LeaseStatements
{
public:
    // The check comes first in the write transaction, which holds the whole
    // file from its start; a batch that opens its own gets the check as its
    // first statement inside it.
    QString fenceSetup() const override;
    QString createTable() const override;
    QString insertRow(const QString &name) const override;
    QString acquire(const QString &name, const QString &holder, int leaseMs) const override;
    QString renew(
        const QString &name, qint64 term, const QString &holder, int leaseMs) const override;
    QString release(const QString &name, qint64 term, const QString &holder) const override;
    QString read(const QString &name) const override;
    QString fenced(const QString &batch, const LeaseFence &fence) const override;
    QString fenceRecovery() const override;
};
