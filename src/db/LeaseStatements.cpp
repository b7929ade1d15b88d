#include "LeaseStatements.h"

#include "PostgresDialect.h"
#include "SqlDialect.h"
#include "platform/DbSession.h"

namespace {

QString text(const QString &value)
{
    return QLatin1Char('\'') + SqlDialect::escaped(value) + QLatin1Char('\'');
}

QString unicodeText(const QString &value)
{
    return QStringLiteral("N'") + SqlDialect::escaped(value) + QLatin1Char('\'');
}

} // namespace

std::unique_ptr<LeaseStatements> LeaseStatements::forSession(const DbSession &session)
{
    // The same choice as the job statements' dialect.
    if (session.backend() == DbSession::Backend::Sqlite)
        return std::make_unique<SqliteLeaseStatements>();
    if (PostgresDialect::namesPostgresDriver(session.odbcConnectionString()))
        return std::make_unique<PostgresLeaseStatements>();
    return std::make_unique<SqlServerLeaseStatements>();
}

namespace {

// The batch and what runs in no transaction after it (DBCC).
std::pair<QString, QString> splitOutside(const QString &batch)
{
    const qsizetype dbcc = batch.indexOf(QLatin1String(" ; DBCC "));
    if (dbcc < 0)
        return {batch, QString()};
    return {batch.left(dbcc), batch.mid(dbcc)};
}

} // namespace

QString LeaseStatements::fencedText()
{
    return QStringLiteral("Volmara lease no longer held");
}

// SQL Server ---------------------------------------------------------------

QString SqlServerLeaseStatements::createTable() const
{
    return QStringLiteral("CREATE TABLE VolmaraLease (Name nvarchar(100) NOT NULL PRIMARY KEY, "
                          "Term bigint NOT NULL, Holder nvarchar(200) NOT NULL, "
                          "Expiry datetime2 NOT NULL)");
}

QString SqlServerLeaseStatements::insertRow(const QString &name) const
{
    return QStringLiteral("INSERT INTO VolmaraLease (Name, Term, Holder, Expiry) SELECT ")
        + unicodeText(name)
        + QStringLiteral(", 0, N'', SYSUTCDATETIME() WHERE NOT EXISTS (SELECT 1 FROM "
                         "VolmaraLease WITH (UPDLOCK, HOLDLOCK) WHERE Name = ")
        + unicodeText(name) + QLatin1Char(')');
}

QString SqlServerLeaseStatements::acquire(
    const QString &name, const QString &holder, int leaseMs) const
{
    // A lock held by a stuck transaction fails the try within 2 s instead
    // of holding it: the next try comes anyway.
    return QStringLiteral("SET LOCK_TIMEOUT 2000 ; UPDATE VolmaraLease SET Term = Term + 1, "
                          "Holder = ")
        + unicodeText(holder) + QStringLiteral(", Expiry = DATEADD(millisecond, ")
        + QString::number(leaseMs)
        + QStringLiteral(", SYSUTCDATETIME()) OUTPUT inserted.Term WHERE Name = ")
        + unicodeText(name) + QStringLiteral(" AND Expiry <= SYSUTCDATETIME()");
}

QString SqlServerLeaseStatements::renew(
    const QString &name, qint64 term, const QString &holder, int leaseMs) const
{
    return QStringLiteral("SET LOCK_TIMEOUT 2000 ; UPDATE VolmaraLease SET Expiry = "
                          "DATEADD(millisecond, ")
        + QString::number(leaseMs)
        + QStringLiteral(", SYSUTCDATETIME()) OUTPUT inserted.Term WHERE Name = ")
        + unicodeText(name) + QStringLiteral(" AND Term = ") + QString::number(term)
        + QStringLiteral(" AND Holder = ") + unicodeText(holder)
        + QStringLiteral(" AND Expiry > SYSUTCDATETIME()");
}

QString SqlServerLeaseStatements::release(
    const QString &name, qint64 term, const QString &holder) const
{
    return QStringLiteral("UPDATE VolmaraLease SET Expiry = SYSUTCDATETIME() WHERE Name = ")
        + unicodeText(name) + QStringLiteral(" AND Term = ") + QString::number(term)
        + QStringLiteral(" AND Holder = ") + unicodeText(holder);
}

QString SqlServerLeaseStatements::read(const QString &name) const
{
    return QStringLiteral("SELECT Term, Holder, DATEDIFF_BIG(millisecond, SYSUTCDATETIME(), "
                          "Expiry) / 1000.0 FROM VolmaraLease WHERE Name = ")
        + unicodeText(name);
}

QString SqlServerLeaseStatements::fenced(const QString &batch, const LeaseFence &fence) const
{
    // XACT_ABORT: THROW, or any failure of the writes, ends the request and
    // rolls its transaction back. The update takes the lease row's lock to
    // the commit: no takeover falls between the check and the commit.
    const auto [inside, after] = splitOutside(batch);
    return QStringLiteral("SET XACT_ABORT ON ; BEGIN TRANSACTION ; ") + inside
        + QStringLiteral(" ; UPDATE VolmaraLease WITH (ROWLOCK) SET Term = Term WHERE Name = ")
        + unicodeText(fence.name) + QStringLiteral(" AND Term = ") + QString::number(fence.term)
        + QStringLiteral(" AND Holder = ") + unicodeText(fence.holder)
        + QStringLiteral(" AND Expiry > SYSUTCDATETIME() ; IF @@ROWCOUNT = 0 THROW 51000, N'")
        + fencedText() + QStringLiteral("', 1 ; COMMIT TRANSACTION") + after;
}

QString SqlServerLeaseStatements::fenceRecovery() const
{
    return QStringLiteral("IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION");
}

// PostgreSQL ---------------------------------------------------------------
//
// clock_timestamp(), not now(): now() is the time the transaction began.

QString PostgresLeaseStatements::createTable() const
{
    return QStringLiteral("CREATE TABLE VolmaraLease (Name varchar(100) NOT NULL PRIMARY KEY, "
                          "Term bigint NOT NULL, Holder varchar(200) NOT NULL, "
                          "Expiry timestamptz NOT NULL)");
}

QString PostgresLeaseStatements::insertRow(const QString &name) const
{
    return QStringLiteral("INSERT INTO VolmaraLease (Name, Term, Holder, Expiry) VALUES (")
        + text(name) + QStringLiteral(", 0, '', clock_timestamp()) ON CONFLICT DO NOTHING");
}

QString PostgresLeaseStatements::acquire(
    const QString &name, const QString &holder, int leaseMs) const
{
    return QStringLiteral("SET lock_timeout = 2000 ; UPDATE VolmaraLease SET Term = Term + 1, "
                          "Holder = ")
        + text(holder) + QStringLiteral(", Expiry = clock_timestamp() + interval '")
        + QString::number(leaseMs) + QStringLiteral(" milliseconds' WHERE Name = ") + text(name)
        + QStringLiteral(" AND Expiry <= clock_timestamp() RETURNING Term");
}

QString PostgresLeaseStatements::renew(
    const QString &name, qint64 term, const QString &holder, int leaseMs) const
{
    return QStringLiteral("SET lock_timeout = 2000 ; UPDATE VolmaraLease SET Expiry = "
                          "clock_timestamp() + interval '")
        + QString::number(leaseMs) + QStringLiteral(" milliseconds' WHERE Name = ") + text(name)
        + QStringLiteral(" AND Term = ") + QString::number(term) + QStringLiteral(" AND Holder = ")
        + text(holder) + QStringLiteral(" AND Expiry > clock_timestamp() RETURNING Term");
}

QString PostgresLeaseStatements::release(
    const QString &name, qint64 term, const QString &holder) const
{
    return QStringLiteral("UPDATE VolmaraLease SET Expiry = clock_timestamp() WHERE Name = ")
        + text(name) + QStringLiteral(" AND Term = ") + QString::number(term)
        + QStringLiteral(" AND Holder = ") + text(holder);
}

QString PostgresLeaseStatements::read(const QString &name) const
{
    return QStringLiteral("SELECT Term, Holder, EXTRACT(EPOCH FROM Expiry - clock_timestamp()) "
                          "FROM VolmaraLease WHERE Name = ")
        + text(name);
}

QString PostgresLeaseStatements::labelSession(const QString &label) const
{
    return QStringLiteral("SET application_name = ") + text(label);
}

QString PostgresLeaseStatements::endOtherSessions(const QString &prefix, const QString &own) const
{
    // The login may end the sessions of its own role; the server's own
    // processes have no such name.
    return QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                          "left(application_name, %1) = ")
               .arg(prefix.size())
        + text(prefix) + QStringLiteral(" AND application_name <> ") + text(own)
        + QStringLiteral(" AND pid <> pg_backend_pid()");
}

QString PostgresLeaseStatements::fenced(const QString &batch, const LeaseFence &fence) const
{
    // The row is locked (FOR UPDATE) from the check to the commit; a lease
    // that is not this term's raises, which ends the request and aborts its
    // transaction.
    const auto [inside, after] = splitOutside(batch);
    return QStringLiteral("BEGIN ; ") + inside
        + QStringLiteral(" ; DO $$BEGIN PERFORM 1 FROM VolmaraLease WHERE Name = ")
        + text(fence.name) + QStringLiteral(" AND Term = ") + QString::number(fence.term)
        + QStringLiteral(" AND Holder = ") + text(fence.holder)
        + QStringLiteral(" AND Expiry > clock_timestamp() FOR UPDATE; IF NOT FOUND THEN RAISE "
                         "EXCEPTION '")
        + fencedText() + QStringLiteral("'; END IF; END$$ ; COMMIT") + after;
}

QString PostgresLeaseStatements::fenceRecovery() const
{
    return QStringLiteral("ROLLBACK");
}

// SQLite ---------------------------------------------------------------------

QString SqliteLeaseStatements::createTable() const
{
    return QStringLiteral(
        "CREATE TABLE IF NOT EXISTS VolmaraLease (Name TEXT NOT NULL PRIMARY "
        "KEY, Term INTEGER NOT NULL, Holder TEXT NOT NULL, Expiry REAL NOT NULL)");
}

QString SqliteLeaseStatements::insertRow(const QString &name) const
{
    return QStringLiteral(
               "INSERT OR IGNORE INTO VolmaraLease (Name, Term, Holder, Expiry) VALUES (")
        + text(name) + QStringLiteral(", 0, '', julianday('now'))");
}

namespace {

QString julianAfter(int leaseMs)
{
    return QStringLiteral("julianday('now') + ") + QString::number(leaseMs)
        + QStringLiteral(" / 86400000.0");
}

} // namespace

QString SqliteLeaseStatements::acquire(
    const QString &name, const QString &holder, int leaseMs) const
{
    return QStringLiteral("UPDATE VolmaraLease SET Term = Term + 1, Holder = ") + text(holder)
        + QStringLiteral(", Expiry = ") + julianAfter(leaseMs) + QStringLiteral(" WHERE Name = ")
        + text(name) + QStringLiteral(" AND Expiry <= julianday('now') RETURNING Term");
}

QString SqliteLeaseStatements::renew(
    const QString &name, qint64 term, const QString &holder, int leaseMs) const
{
    return QStringLiteral("UPDATE VolmaraLease SET Expiry = ") + julianAfter(leaseMs)
        + QStringLiteral(" WHERE Name = ") + text(name) + QStringLiteral(" AND Term = ")
        + QString::number(term) + QStringLiteral(" AND Holder = ") + text(holder)
        + QStringLiteral(" AND Expiry > julianday('now') RETURNING Term");
}

QString SqliteLeaseStatements::release(
    const QString &name, qint64 term, const QString &holder) const
{
    return QStringLiteral("UPDATE VolmaraLease SET Expiry = julianday('now') WHERE Name = ")
        + text(name) + QStringLiteral(" AND Term = ") + QString::number(term)
        + QStringLiteral(" AND Holder = ") + text(holder);
}

QString SqliteLeaseStatements::read(const QString &name) const
{
    return QStringLiteral("SELECT Term, Holder, (Expiry - julianday('now')) * 86400.0 FROM "
                          "VolmaraLease WHERE Name = ")
        + text(name);
}

QString SqliteLeaseStatements::fenceSetup() const
{
    // A table of this connection alone (temp): the files' schema stays as
    // it is. Its check names the failure.
    return QStringLiteral(
               "CREATE TEMP TABLE IF NOT EXISTS VolmaraFence (Held INTEGER CONSTRAINT \"")
        + fencedText() + QStringLiteral("\" CHECK (Held = 1))");
}

QString SqliteLeaseStatements::fenced(const QString &batch, const LeaseFence &fence) const
{
    // The count is read inside the write transaction, which holds the whole
    // file from its start: no other process changes the lease before the
    // commit. A count of 0 fails the check.
    const QString check = QStringLiteral("BEGIN IMMEDIATE ; INSERT INTO temp.VolmaraFence (Held) "
                                         "SELECT COUNT(*) FROM main.VolmaraLease WHERE Name = ")
        + text(fence.name) + QStringLiteral(" AND Term = ") + QString::number(fence.term)
        + QStringLiteral(" AND Holder = ") + text(fence.holder)
        + QStringLiteral(" AND Expiry > julianday('now') ; DELETE FROM temp.VolmaraFence ; ");
    const QString own = QStringLiteral("BEGIN IMMEDIATE ; ");
    if (batch.startsWith(own))
        return check + batch.mid(own.size());
    return check + batch + QStringLiteral(" ; COMMIT");
}

QString SqliteLeaseStatements::fenceRecovery() const
{
    return QStringLiteral("ROLLBACK");
}
