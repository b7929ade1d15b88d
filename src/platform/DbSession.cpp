#include "DbSession.h"

#include "DbActivity.h"
#include "Failure.h"
#include "ProgramFolder.h"
#include "ShutdownSignals.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QThread>

#include <sql.h>
#include <sqlext.h>

#ifdef VOLMARA_HAVE_SQLITE3
#include <sqlite3.h>
#endif

#include <algorithm>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

QAtomicInt g_connectionCounter;
QAtomicInteger<quint64> g_openCounter;

// The classic "unspecified error" of a database client, for failures the
// driver gives no number for.
constexpr int kUnspecifiedDbError = -2147467259;

// SQLite's own wait for a lock, per attempt: between attempts the session
// looks whether it may wait on.
constexpr int kLockPollMs = 100;

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

// SQLITE_BUSY (another connection holds the file) or SQLITE_LOCKED.
bool isLockError(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6")
        || error.databaseText().contains(QLatin1String("database is locked"), Qt::CaseInsensitive);
}

QString firstWord(const QString &statement)
{
    return statement.section(QLatin1Char(' '), 0, 0).toUpper();
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
#ifdef VOLMARA_HAVE_SQLITE3
        QMutexLocker lock(&m_sqliteHandleMutex);
        if (m_sqliteHandle)
            sqlite3_interrupt(static_cast<sqlite3 *>(m_sqliteHandle));
#endif
        return;
    }
    m_cancel->cancel();
}

void DbSession::failWith(const OdbcStatement &statement)
{
    const OdbcStatement::Diagnostics &d = statement.diagnostics();
    if (d.connectionLost)
        m_connectionLost = true;
    QString text = d.text.trimmed();
    if (text.isEmpty())
        text = QStringLiteral("The statement failed");
    text.replace(QLatin1String("\r\n"), QLatin1String(" "))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
    Failure failure(d.native != 0 ? d.native : kUnspecifiedDbError, text);
    failure.setSqlState(d.sqlState);
    throw failure;
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

DbSession::FileIdentity DbSession::identityOf(const QString &path)
{
    FileIdentity id;
#ifdef Q_OS_UNIX
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return id;
    id.exists = true;
    id.device = quint64(st.st_dev);
    id.node = quint64(st.st_ino);
#else
    // No inode here: the creation time tells a file put in the place of
    // another (a restore by rename keeps its own).
    const QFileInfo info(path);
    if (!info.exists())
        return id;
    id.exists = true;
    id.node = quint64(info.fileTime(QFileDevice::FileBirthTime).toMSecsSinceEpoch());
#endif
    return id;
}

void DbSession::rememberFile(const QString &path)
{
    OpenedFile opened;
    opened.path = path;
    opened.file = identityOf(path);
    m_files.append(opened);
}

void DbSession::rememberLogs()
{
    for (OpenedFile &opened : m_files) {
        opened.wal = identityOf(opened.path + QStringLiteral("-wal"));
        opened.shm = identityOf(opened.path + QStringLiteral("-shm"));
    }
}

void DbSession::removeStaleLogs()
{
    // SQLite leaves the log of a file that was renamed away while open
    // beside the path, where the file put in its place would read it as its
    // own: the old data would come back. Only the very log files this
    // session held open go.
    for (const OpenedFile &opened : std::as_const(m_files)) {
        if (identityOf(opened.path) == opened.file)
            continue;
        const QString wal = opened.path + QStringLiteral("-wal");
        const QString shm = opened.path + QStringLiteral("-shm");
        if (opened.wal.exists && identityOf(wal) == opened.wal)
            QFile::remove(wal);
        if (opened.shm.exists && identityOf(shm) == opened.shm)
            QFile::remove(shm);
    }
}

QString DbSession::fileChange() const
{
    if (state() == Closed || m_backend != Backend::Sqlite)
        return QString();
    for (const OpenedFile &opened : m_files) {
        const FileIdentity now = identityOf(opened.path);
        if (now == opened.file)
            continue;
        return QDir::toNativeSeparators(opened.path)
            + (now.exists ? QStringLiteral(" was replaced") : QStringLiteral(" is gone"));
    }
    if (m_writeRefused && !m_files.isEmpty())
        return QDir::toNativeSeparators(m_files.constFirst().path)
            + QStringLiteral(" is open read-only");
    return QString();
}

void DbSession::openSqlite()
{
    const QString folder = sqliteFolder();
    const QString file = QDir(folder).filePath(catalog() + QStringLiteral(".sqlite"));
    // An embedded catalog that is not there is a failure, not a new empty file.
    if (catalog().isEmpty() || !QFileInfo::exists(file))
        throw Failure(kUnspecifiedDbError,
            QStringLiteral("Cannot open database \"%1\": the file %2 does not exist.")
                .arg(catalog(), QDir::toNativeSeparators(file)));
    m_files.clear();
    // Taken before the open: a file put in its place meanwhile shows at the
    // next check instead of passing for the one opened.
    rememberFile(file);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(file);
    // Other programs write these files while the gateway runs: a statement
    // waits for a momentary lock (execSqlite) instead of failing at once.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kLockPollMs));
    if (!db.open())
        failWith(db.lastError(), QStringLiteral("Cannot open database"));
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    // The selection's table of chosen keys lives in memory: no temporary
    // file for a service whose file system is mostly read-only.
    q.exec(QStringLiteral("PRAGMA temp_store=MEMORY"));
    const QString rte = QDir(folder).filePath(QStringLiteral("RteDB.sqlite"));
    if (QFileInfo::exists(rte)) {
        rememberFile(rte);
        QString path = rte;
        path.replace(QLatin1Char('\''), QStringLiteral("''"));
        if (!q.exec(QStringLiteral("ATTACH DATABASE '%1' AS RteDB").arg(path)))
            failWith(q.lastError(), QStringLiteral("Cannot attach RteDB"));
        m_rteAttached = true;
        // A first read opens its log.
        q.exec(QStringLiteral("SELECT COUNT(*) FROM RteDB.sqlite_master"));
    }
    rememberLogs();
#ifdef VOLMARA_HAVE_SQLITE3
    if (qstrcmp(db.driver()->handle().typeName(), "sqlite3*") == 0) {
        QMutexLocker lock(&m_sqliteHandleMutex);
        m_sqliteHandle = *static_cast<sqlite3 *const *>(db.driver()->handle().constData());
    }
#endif
}

QString DbSession::odbcConnectionString() const
{
    if (backendOf(dataSource()) == Backend::Sqlite)
        return QString();
    QString connection = dataSource();
    if (connection.contains(QLatin1Char('=')))
        return connection;
    auto value = [](const QString &v) {
        // Braces keep ";" and "=" inside a value from changing the string.
        QString escaped = v;
        escaped.replace(QLatin1Char('}'), QStringLiteral("}}"));
        return QLatin1Char('{') + escaped + QLatin1Char('}');
    };
    connection
        = QStringLiteral("DRIVER=%1;SERVER=%2;").arg(value(m_odbcDriver), value(dataSource()));
    if (!catalog().isEmpty())
        connection += QStringLiteral("DATABASE=%1;").arg(value(catalog()));
    const QString integrated = property(QStringLiteral("Integrated Security")).toString();
    if (!integrated.isEmpty()) {
        // "SSPI": the workstation's own login.
        connection += QStringLiteral("Trusted_Connection=yes;");
    } else {
        connection += QStringLiteral("UID=%1;PWD=%2;")
                          .arg(value(property(QStringLiteral("User ID")).toString()),
                              value(property(QStringLiteral("Password")).toString()));
    }
    return connection;
}

namespace {

// Qt hands the ODBC handles out as "SQLHANDLE" or as a plain "void*",
// depending on its version.
bool isSqlHandle(const QVariant &handle)
{
    return handle.isValid()
        && (qstrcmp(handle.typeName(), "SQLHANDLE") == 0
            || qstrcmp(handle.typeName(), "void*") == 0);
}

SQLHDBC odbcHandle(const QSqlDatabase &db)
{
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!isSqlHandle(handle))
        return nullptr;
    return *static_cast<const SQLHDBC *>(handle.data());
}

} // namespace

void DbSession::openOdbc()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    db.setDatabaseName(odbcConnectionString());
    db.setConnectOptions(odbcConnectOptions());
    if (!db.open())
        failWith(db.lastError(), QStringLiteral("Cannot open the data source"));
    applyOdbcQueryTimeout();
}

QString DbSession::odbcConnectOptions() const
{
    // The login time-out bounds the open; the connection time-out bounds any
    // later wait of the driver on the network. 0 is ODBC's "no limit", as the
    // setting's 0 means; a negative value is no limit we can give, and stays
    // the shortest one.
    const int seconds = m_connectionTimeout == 0 ? 0 : qMax(1, m_connectionTimeout);
    return QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1").arg(seconds);
}

void DbSession::applyOdbcQueryTimeout()
{
    // Qt's ODBC driver makes a new statement for every query and offers no
    // query time-out of its own; set on the connection, the attribute is the
    // default of every statement the driver makes later (drivers that refuse
    // it run statements without a limit).
    m_queryTimeoutApplied = false;
    SQLHDBC hdbc = odbcHandle(database());
    if (!hdbc)
        return;
    const SQLRETURN r = SQLSetConnectAttr(hdbc, SQL_ATTR_QUERY_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(SQLULEN(qMax(0, m_commandTimeout))), SQL_IS_UINTEGER);
    m_queryTimeoutApplied = SQL_SUCCEEDED(r);
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

QString DbSession::odbcSqlState(QSqlQuery &query)
{
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (!isSqlHandle(handle))
        return QString();
    SQLHSTMT hstmt = *static_cast<const SQLHSTMT *>(handle.data());
    SQLCHAR sqlState[6] = {}, text[2] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT textLength = 0;
    if (!hstmt
        || !SQL_SUCCEEDED(SQLGetDiagRec(
            SQL_HANDLE_STMT, hstmt, 1, sqlState, &native, text, sizeof text, &textLength)))
        return QString();
    return QString::fromLatin1(reinterpret_cast<const char *>(sqlState));
}

int DbSession::odbcConnectionDead() const
{
    SQLHDBC hdbc = odbcHandle(database());
    if (!hdbc)
        return -1;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN r
        = SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
    if (!SQL_SUCCEEDED(r))
        return -1;
    return dead == SQL_CD_TRUE ? 1 : 0;
}

void DbSession::setDefaultDatabase(const QString &catalogName)
{
    checkThread("setDefaultDatabase");
    if (state() == Closed)
        throw Failure(3704, QStringLiteral("Operation is not allowed when the object is closed."));
    if (m_backend != Backend::Odbc || catalogName.isEmpty())
        return; // an embedded session is opened on its catalog's file
    SQLHDBC hdbc = odbcHandle(database());
    if (!hdbc)
        throw Failure(Failure::ObjectNotSet);
    SQLCHAR current[256] = {};
    SQLINTEGER length = 0;
    if (SQL_SUCCEEDED(
            SQLGetConnectAttr(hdbc, SQL_ATTR_CURRENT_CATALOG, current, sizeof current - 1, &length))
        && QString::fromUtf8(reinterpret_cast<const char *>(current))
                .compare(catalogName, Qt::CaseInsensitive)
            == 0)
        return;
    QByteArray name = catalogName.toUtf8();
    const SQLRETURN r = SQLSetConnectAttr(hdbc, SQL_ATTR_CURRENT_CATALOG,
        reinterpret_cast<SQLPOINTER>(name.data()), SQLINTEGER(name.size()));
    if (!SQL_SUCCEEDED(r)) {
        SQLCHAR sqlState[6] = {}, text[512] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT textLength = 0;
        SQLGetDiagRec(SQL_HANDLE_DBC, hdbc, 1, sqlState, &native, text, sizeof text, &textLength);
        throw Failure(native ? int(native) : kUnspecifiedDbError,
            QString::fromUtf8(reinterpret_cast<const char *>(text)).trimmed());
    }
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

void DbSession::executePrepared(const QString &statement, const QVariantList &values)
{
    checkThread("executePrepared");
    if (state() == Closed)
        throw Failure(3704, QStringLiteral("Operation is not allowed when the object is closed."));
    m_executing = true;
    struct Done
    {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_executing};
    if (!m_prepared || m_preparedText != statement) {
        m_prepared = std::make_unique<QSqlQuery>(database());
        m_preparedText.clear();
        if (!m_prepared->prepare(statement))
            failWith(m_prepared->lastError(), QStringLiteral("The statement failed"),
                odbcSqlState(*m_prepared));
        m_preparedText = statement;
    }
    for (int i = 0; i < values.size(); ++i)
        m_prepared->bindValue(i, values.at(i));
    if (!m_prepared->exec())
        failWith(m_prepared->lastError(), QStringLiteral("The statement failed"),
            odbcSqlState(*m_prepared));
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

namespace {

RowSet::Ptr fetchResult(QSqlQuery &q)
{
    if (!q.isSelect())
        return std::make_shared<RowSet>();
    const QSqlRecord record = q.record();
    QStringList names;
    for (int i = 0; i < record.count(); ++i)
        names << record.fieldName(i);
    QVector<RowSet::Row> rows;
    while (q.next()) {
        RowSet::Row row(record.count());
        for (int i = 0; i < record.count(); ++i)
            row[i] = q.isNull(i) ? QVariant() : q.value(i);
        rows.append(std::move(row));
    }
    return std::make_shared<RowSet>(names, std::move(rows));
}

void appendToChain(RowSet::Ptr result, RowSet::Ptr *head, RowSet::Ptr *tail)
{
    if (!*head)
        *head = result;
    else
        (*tail)->setNextRecordset(result);
    *tail = result;
}

} // namespace

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
    RowSet::Ptr head, tail;
    m_executing = true;
    struct Done
    {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_executing};

    if (m_backend == Backend::Odbc) {
        // The server runs the whole batch as one request; its results are
        // walked in order.
        OdbcStatement statement(odbcHandle(db), m_commandTimeout, m_cancel);
        if (!statement.execute(batch, head))
            failWith(statement);
        return head ? head : std::make_shared<RowSet>();
    }

    const QStringList statements = splitStatements(batch);
    bool inTransaction = false; // begun by this batch
    for (const QString &statement : statements) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        RowSet::Ptr rows;
        QSqlError error;
        const bool direct = canReadDirectly(db, statement);
        const bool ran = execSqlite(
            statement,
            [&](QSqlError &failed) {
                if (direct)
                    return readSqlite(db, statement, rows, failed);
                if (q.exec(statement))
                    return true;
                failed = q.lastError();
                return false;
            },
            error);
        if (!ran) {
            // A transaction the batch began ends with it: a lock half-way
            // leaves none of its changes behind (no job stays marked 2).
            if (inTransaction) {
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                m_transactionOpen = false;
            }
            if (isLockError(error)) {
                // Which file is held is what the operator needs to know.
                failWith(QSqlError(error.driverText(),
                             QStringLiteral("%1 (%2)").arg(error.databaseText().trimmed(),
                                 QDir::toNativeSeparators(db.databaseName())),
                             error.type(), error.nativeErrorCode()),
                    QStringLiteral("The statement failed"));
            }
            failWith(error, QStringLiteral("The statement failed"));
        }
        const QString word = firstWord(statement);
        if (word == QLatin1String("BEGIN")) {
            inTransaction = true;
            m_transactionOpen = true;
        } else if (word == QLatin1String("COMMIT") || word == QLatin1String("END")
            || word == QLatin1String("ROLLBACK")) {
            inTransaction = false;
            m_transactionOpen = false;
        }
        appendToChain(direct ? rows : fetchResult(q), &head, &tail);
    }
    return head ? head : std::make_shared<RowSet>();
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
        QSqlError error;
        if (!execSqlite(
                statement,
                [&](QSqlError &failed) {
                    return stepSqlite(db, statement, nullptr, onRow, false, failed);
                },
                error))
            failWith(error, QStringLiteral("The statement failed"));
        return;
    }
    if (m_backend == Backend::Odbc) {
        OdbcStatement odbc(odbcHandle(db), m_commandTimeout, m_cancel);
        if (!odbc.forEachRow(statement, onRow))
            failWith(odbc);
        return;
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    auto fail = [&] { failWith(q.lastError(), QStringLiteral("The statement failed")); };
    if (!q.prepare(statement))
        fail();
    if (!q.exec())
        fail();
    const int columns = q.record().count();
    RowSet::Row row(columns);
    while (q.next()) {
        for (int i = 0; i < columns; ++i)
            row[i] = q.isNull(i) ? QVariant() : q.value(i);
        onRow(row);
    }
    if (q.lastError().isValid() && q.lastError().type() != QSqlError::NoError)
        fail();
}

bool DbSession::execSqlite(
    const QString &statement, const std::function<bool(QSqlError &)> &attempt, QSqlError &error)
{
    // A statement kept out by a lock may run again when it starts or ends a
    // transaction or stands outside one; inside one, the transaction has to
    // end first.
    const QString word = firstWord(statement);
    const bool mayRetry = !m_transactionOpen || word == QLatin1String("BEGIN")
        || word == QLatin1String("COMMIT") || word == QLatin1String("END");
    const QDeadlineTimer deadline(kEmbeddedLockWaitMs);
    for (;;) {
        if (attempt(error))
            return true;
        if (!mayRetry || !isLockError(error) || deadline.hasExpired()
            || ShutdownSignals::stopPending())
            return false;
    }
}

bool DbSession::canReadDirectly(const QSqlDatabase &db, const QString &statement)
{
#ifdef VOLMARA_HAVE_SQLITE3
    // Only what returns rows; everything else keeps the SQL module's path.
    return firstWord(statement) == QLatin1String("SELECT")
        && qstrcmp(db.driver()->handle().typeName(), "sqlite3*") == 0;
#else
    Q_UNUSED(db);
    Q_UNUSED(statement);
    return false;
#endif
}

bool DbSession::readSqlite(
    const QSqlDatabase &db, const QString &statement, RowSet::Ptr &rows, QSqlError &error)
{
    // A day's selection is read here on every cycle. Through the SQL module
    // every value went through a row cache and a UTF-16 copy made by SQLite;
    // read straight from the statement it costs less than half.
    QStringList names;
    QVector<RowSet::Row> read;
    if (!stepSqlite(
            db, statement, &names, [&](const RowSet::Row &row) { read.append(row); }, true, error))
        return false;
    rows = std::make_shared<RowSet>(names, std::move(read));
    return true;
}

bool DbSession::stepSqlite(const QSqlDatabase &db, const QString &statement, QStringList *names,
    const std::function<void(const RowSet::Row &)> &onRow, bool shareTexts, QSqlError &error)
{
#ifdef VOLMARA_HAVE_SQLITE3
    // The values are the SQL module's: whole numbers as qlonglong, reals as
    // double, text as QString, blobs as QByteArray, NULL as a null value.
    sqlite3 *const handle = *static_cast<sqlite3 *const *>(db.driver()->handle().constData());
    sqlite3_stmt *stmt = nullptr;
    auto failed = [&](int code) {
        error = QSqlError(QStringLiteral("Unable to execute statement"),
            QString(reinterpret_cast<const QChar *>(sqlite3_errmsg16(handle))),
            QSqlError::StatementError, QString::number(code));
        sqlite3_finalize(stmt);
        return false;
    };
    const int prepared = sqlite3_prepare16_v2(
        handle, statement.utf16(), int(statement.size() * sizeof(QChar)), &stmt, nullptr);
    if (prepared != SQLITE_OK)
        return failed(prepared);
    const int columns = sqlite3_column_count(stmt);
    if (names) {
        for (int i = 0; i < columns; ++i)
            *names << QString(reinterpret_cast<const QChar *>(sqlite3_column_name16(stmt, i)))
                          .remove(QLatin1Char('"')); // as the SQL module names them
    }
    // Texts repeat down a column (drivers, vehicles, times, who entered the
    // row): where the rows are kept, each distinct text is held once, shared
    // by its rows, until a column shows too many distinct texts to gain from it.
    constexpr qsizetype kMaxShared = 4096;
    std::vector<QHash<QByteArray, QString>> shared(size_t(std::max(columns, 0)));
    std::vector<bool> sharing(size_t(std::max(columns, 0)), shareTexts);
    auto textAt = [&](int i) {
        const char *const utf8 = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
        const int bytes = sqlite3_column_bytes(stmt, i);
        if (!sharing[size_t(i)])
            return QString::fromUtf8(utf8, bytes);
        QHash<QByteArray, QString> &known = shared[size_t(i)];
        const auto it = known.constFind(QByteArray::fromRawData(utf8, bytes));
        if (it != known.constEnd())
            return *it;
        const QString text = QString::fromUtf8(utf8, bytes);
        if (known.size() >= kMaxShared) {
            sharing[size_t(i)] = false;
            known.clear();
        } else {
            known.insert(QByteArray(utf8, bytes), text);
        }
        return text;
    };
    RowSet::Row row(columns);
    int step;
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(stmt, i)) {
            case SQLITE_INTEGER:
                row[i] = qlonglong(sqlite3_column_int64(stmt, i));
                break;
            case SQLITE_FLOAT:
                row[i] = sqlite3_column_double(stmt, i);
                break;
            case SQLITE_BLOB:
                row[i] = QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, i)),
                    sqlite3_column_bytes(stmt, i));
                break;
            case SQLITE_NULL:
                row[i] = QVariant();
                break;
            default:
                row[i] = textAt(i);
                break;
            }
        }
        onRow(row);
    }
    if (step != SQLITE_DONE)
        return failed(step);
    sqlite3_finalize(stmt);
    return true;
#else
    Q_UNUSED(db);
    Q_UNUSED(statement);
    Q_UNUSED(names);
    Q_UNUSED(onRow);
    Q_UNUSED(shareTexts);
    error = QSqlError(QStringLiteral("Unable to execute statement"), QString(),
        QSqlError::StatementError, QStringLiteral("1"));
    return false;
#endif
}
