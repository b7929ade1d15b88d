#include "DbSession.h"

#include "DbActivity.h"
#include "Failure.h"
#include "ProgramFolder.h"

#include <QAtomicInt>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

// The session's common part: construction, properties, the open, close and
// statement dispatch to each path, state, splitting a batch and the failures.
// Each path's own work is in a file of its own: DbSessionSqlite.cpp (the
// embedded files read through SQLite's own library), DbSessionOdbc.cpp (the
// servers) and DbSessionQtSql.cpp (what goes through Qt's QSqlQuery).

namespace {

QAtomicInt g_connectionCounter;
QAtomicInteger<quint64> g_openCounter;

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

} // namespace

DbSession::DbSession()
    : m_connectionName(
        QStringLiteral("volmara-db-%1").arg(g_connectionCounter.fetchAndAddRelaxed(1))),
      m_owner(QThread::currentThread())
{
}

DbSession::~DbSession()
{
    // At the end of the program from any thread: what is not closed by then
    // is released with the process.
    if (QThread::currentThread() != m_owner)
        return;
    close();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void DbSession::checkThread(const char *what) const
{
    // A session's connection is the database thread's: a statement from the
    // thread that serves the map would hold it for the database's time, and
    // two threads on one connection corrupt it.
    if (QThread::currentThread() != m_owner)
        qFatal("DbSession::%s called outside the session's own thread", what);
}

template <typename F> auto DbSession::busy(const QString &what, int limitSeconds, F work)
{
    struct Done
    {
        DbActivity *activity;
        ~Done()
        {
            if (activity)
                activity->end();
        }
    } done{m_activity};
    if (m_activity)
        m_activity->begin(catalog() + QStringLiteral(": ") + what, limitSeconds);
    return work();
}

void DbSession::cancel()
{
    if (m_backend == Backend::Sqlite) {
        cancelSqlite();
        return;
    }
    m_cancel->cancel();
}

void DbSession::setProvider(const QString &provider)
{
    m_provider = provider;
    m_propertyOrder << QStringLiteral("Provider");
}

void DbSession::setCursorLocation(int location)
{
    m_cursorLocation = location;
    m_propertyOrder << QStringLiteral("CursorLocation");
}

void DbSession::setCommandTimeout(int seconds)
{
    m_commandTimeout = seconds;
    m_propertyOrder << QStringLiteral("CommandTimeout");
}

void DbSession::setConnectionTimeout(int seconds)
{
    m_connectionTimeout = seconds;
    m_propertyOrder << QStringLiteral("ConnectionTimeout");
}

void DbSession::setProperty(const QString &name, const QVariant &value)
{
    m_properties.insert(fold(name), value);
    m_propertyOrder << name;
}

QVariant DbSession::property(const QString &name) const
{
    if (fold(name) == fold(QStringLiteral("Connection Status")))
        return connectionStatus();
    return m_properties.value(fold(name));
}

QString DbSession::dataSource() const
{
    return m_properties.value(fold(QStringLiteral("Data Source"))).toString();
}

QString DbSession::catalog() const
{
    return m_properties.value(fold(QStringLiteral("Initial Catalog"))).toString();
}

DbSession::Backend DbSession::backendOf(const QString &dataSource)
{
    return dataSource.startsWith(QLatin1String("sqlite:"), Qt::CaseInsensitive) ? Backend::Sqlite
                                                                                : Backend::Odbc;
}

QString DbSession::sqliteFolder() const
{
    const QString folder = dataSource().mid(int(qstrlen("sqlite:")));
    return QDir::cleanPath(QDir(ProgramFolder::path()).absoluteFilePath(folder));
}

QSqlDatabase DbSession::database() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

void DbSession::failWith(const QSqlError &error, const QString &what, const QString &sqlState) const
{
    bool ok = false;
    int number = error.nativeErrorCode().toInt(&ok);
    if (!ok || number == 0)
        number = kUnspecifiedDbError;
    // The driver's own message, on one line so that it stays one log record.
    // SQLite opens a file it may not write read-only without a word, and
    // keeps it so after its owner and mode are put right: only a new open
    // takes the file as it is now (codes 8 and its extended forms).
    if (m_backend == Backend::Sqlite && m_open && (number & 0xff) == 8)
        m_writeRefused = true;
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    if (text.isEmpty())
        text = what;
    text.replace(QLatin1String("\r\n"), QLatin1String(" "))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
    Failure failure(number, text);
    failure.setSqlState(sqlState);
    throw failure;
}

void DbSession::open()
{
    checkThread("open");
    if (m_open)
        throw Failure(3705, QStringLiteral("Operation is not allowed when the object is open."));
    m_backend = backendOf(dataSource());
    m_rteAttached = false;
    m_connectionLost = false;
    m_writeRefused = false;
    m_transactionOpen = false;
    try {
        busy(QStringLiteral("opening ") + dataSource(), m_connectionTimeout, [this] {
            if (m_backend == Backend::Sqlite)
                openSqlite();
            else
                openOdbc();
        });
    } catch (...) {
        // A half-made connection is not kept: the session stays closed.
        {
            QSqlDatabase db = database();
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_connectionName);
        throw;
    }
    m_open = true;
    m_openSerial = g_openCounter.fetchAndAddRelaxed(1) + 1;
}

bool DbSession::isDuplicateKey(const Failure &failure) const
{
    if (m_backend == Backend::Sqlite) {
        // SQLite's extended codes: primary key, unique.
        return failure.number() == 1555 || failure.number() == 2067;
    }
    // SQL Server's native errors (unique constraint, unique index), or
    // PostgreSQL's unique violation; SQL Server reports its own under 23000.
    return failure.number() == 2627 || failure.number() == 2601
        || failure.sqlState() == QLatin1String("23505");
}

bool DbSession::isPermissionDenied(const Failure &failure) const
{
    if (m_backend == Backend::Sqlite)
        return false;
    return failure.number() == 229 || failure.number() == 230
        || failure.sqlState() == QLatin1String("42501");
}

int DbSession::state() const
{
    if (!m_open || !database().isOpen())
        return Closed;
    return m_executing ? Open | Executing : Open;
}

int DbSession::connectionStatus() const
{
    if (state() == Closed)
        return 0;
    if (m_backend == Backend::Sqlite) {
        // Working while its paths still name the files it opened: a file
        // restored by rename in the place of another is read only after a
        // reopen.
        return fileChange().isEmpty() ? 1 : 0;
    }
    if (m_connectionLost)
        return 0;
    // Drivers that cannot tell are taken at their word that the session is open.
    return odbcConnectionDead() == 1 ? 0 : 1;
}

void DbSession::close()
{
    checkThread("close");
    if (!m_open)
        return;
    {
        QMutexLocker lock(&m_sqliteHandleMutex);
        m_sqliteHandle = nullptr;
    }
    m_prepared.reset();
    m_sqlitePrepared.reset(); // before its connection closes
    m_preparedText.clear();
    {
        QSqlDatabase db = database();
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    m_open = false;
    if (m_backend == Backend::Sqlite)
        removeStaleLogs();
    m_files.clear();
}

QStringList DbSession::splitStatements(const QString &batch)
{
    QStringList out;
    QString current;
    enum { Plain, Single, Double, Bracket, LineComment, BlockComment } mode = Plain;
    for (int i = 0; i < batch.size(); ++i) {
        const QChar c = batch.at(i);
        const QChar next = i + 1 < batch.size() ? batch.at(i + 1) : QChar();
        switch (mode) {
        case Plain:
            if (c == QLatin1Char(';')) {
                if (!current.trimmed().isEmpty())
                    out << current.trimmed();
                current.clear();
                continue;
            }
            if (c == QLatin1Char('\''))
                mode = Single;
            else if (c == QLatin1Char('"'))
                mode = Double;
            else if (c == QLatin1Char('['))
                mode = Bracket;
            else if (c == QLatin1Char('-') && next == QLatin1Char('-'))
                mode = LineComment;
            else if (c == QLatin1Char('/') && next == QLatin1Char('*'))
                mode = BlockComment;
            break;
        case Single:
            if (c == QLatin1Char('\''))
                mode = Plain; // a doubled quote re-enters at once
            break;
        case Double:
            if (c == QLatin1Char('"'))
                mode = Plain;
            break;
        case Bracket:
            if (c == QLatin1Char(']'))
                mode = Plain;
            break;
        case LineComment:
            if (c == QLatin1Char('\n'))
                mode = Plain;
            break;
        case BlockComment:
            if (c == QLatin1Char('*') && next == QLatin1Char('/')) {
                current += c;
                current += next;
                ++i;
                mode = Plain;
                continue;
            }
            break;
        }
        current += c;
    }
    if (!current.trimmed().isEmpty())
        out << current.trimmed();
    return out;
}

RowSet::Ptr DbSession::execute(const QString &batch)
{
    checkThread("execute");
    return busy(batch.simplified().left(60), m_commandTimeout, [&] { return run(batch); });
}

RowSet::Ptr DbSession::run(const QString &batch)
{
    if (state() == Closed)
        throw Failure(3704, QStringLiteral("Operation is not allowed when the object is closed."));
    QSqlDatabase db = database();
    m_executing = true;
    struct Done
    {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_executing};

    if (m_backend == Backend::Odbc)
        return runOdbc(db, batch);
    return runSqlite(db, batch);
}

void DbSession::forEachRow(
    const QString &statement, const std::function<void(const RowSet::Row &)> &onRow)
{
    checkThread("forEachRow");
    busy(statement.simplified().left(60), m_commandTimeout, [&] { readEach(statement, onRow); });
}

void DbSession::readEach(
    const QString &statement, const std::function<void(const RowSet::Row &)> &onRow)
{
    if (state() == Closed)
        throw Failure(3704, QStringLiteral("Operation is not allowed when the object is closed."));
    QSqlDatabase db = database();
    m_executing = true;
    struct Done
    {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_executing};

    if (m_backend == Backend::Sqlite && canReadDirectly(db, statement)) {
        readEachSqlite(db, statement, onRow);
        return;
    }
    if (m_backend == Backend::Odbc) {
        readEachOdbc(db, statement, onRow);
        return;
    }
    readEachQtSql(db, statement, onRow);
}
