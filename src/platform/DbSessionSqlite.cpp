#include "DbSession.h"

#include "Failure.h"
#include "ShutdownSignals.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVarLengthArray>

#ifdef VOLMARA_HAVE_SQLITE3
#include <sqlite3.h>
#endif

#include <algorithm>
#include <numeric>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

// The embedded files: opening them with RteDB attached, what tells a file
// replaced under the session, a batch run statement by statement with a short
// wait for another program's lock, and the rows read straight from SQLite's
// own library.

namespace {

// SQLite's own wait for a lock, per attempt: between attempts the session
// looks whether it may wait on.
constexpr int kLockPollMs = 100;

// A text as SQLite gives it, as the key of the texts a column shares: a
// day's read looks up most of its values here, and Qt's hash of a byte
// array cost more than the look-up itself.
struct SharedText
{
    QByteArray utf8;
    bool operator==(const SharedText &other) const { return utf8 == other.utf8; }
};

size_t qHash(const SharedText &text, size_t seed)
{
    return size_t(RowSet::printBytes(seed, text.utf8.constData(), size_t(text.utf8.size())));
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

void appendToChain(RowSet::Ptr result, RowSet::Ptr *head, RowSet::Ptr *tail)
{
    if (!*head)
        *head = result;
    else
        (*tail)->setNextRecordset(result);
    *tail = result;
}

} // namespace

void DbSession::cancelSqlite()
{
#ifdef VOLMARA_HAVE_SQLITE3
    QMutexLocker lock(&m_sqliteHandleMutex);
    if (m_sqliteHandle)
        sqlite3_interrupt(static_cast<sqlite3 *>(m_sqliteHandle));
#endif
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

RowSet::Ptr DbSession::runSqlite(const QSqlDatabase &db, const QString &batch)
{
    RowSet::Ptr head, tail;
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

void DbSession::readEachSqlite(const QSqlDatabase &db, const QString &statement,
    const std::function<void(const RowSet::Row &)> &onRow)
{
    QSqlError error;
    if (!execSqlite(
            statement,
            [&](QSqlError &failed) {
                return stepSqlite(db, statement, nullptr, onRow, false, failed);
            },
            error))
        failWith(error, QStringLiteral("The statement failed"));
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
    // Each row printed over all its fields, on this thread: the day's
    // readers pass over the rows whose print they saw last cycle.
    QVector<int> all(names.size());
    std::iota(all.begin(), all.end(), 0);
    rows->keepPrints(all);
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
    std::vector<QHash<SharedText, QString>> shared(size_t(std::max(columns, 0)));
    std::vector<bool> sharing(size_t(std::max(columns, 0)), shareTexts);
    auto textAt = [&](int i) {
        const char *const utf8 = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
        const int bytes = sqlite3_column_bytes(stmt, i);
        if (!sharing[size_t(i)])
            return QString::fromUtf8(utf8, bytes);
        QHash<SharedText, QString> &known = shared[size_t(i)];
        const auto it = known.constFind(SharedText{QByteArray::fromRawData(utf8, bytes)});
        if (it != known.constEnd())
            return *it;
        const QString text = QString::fromUtf8(utf8, bytes);
        if (known.size() >= kMaxShared) {
            sharing[size_t(i)] = false;
            known.clear();
        } else {
            known.insert(SharedText{QByteArray(utf8, bytes)}, text);
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

bool DbSession::executePreparedSqlite(const QString &statement, const QVariantList &values)
{
#ifdef VOLMARA_HAVE_SQLITE3
    // Bound as the SQL module binds them: a null value or a null text, date
    // or bytes as NULL, bytes as a blob, whole numbers and truth values as
    // integers, reals as reals, text as UTF-16 text.
    enum class Bind { Null, Integer, Real, Text, Blob };
    QVarLengthArray<Bind, 16> binds;
    for (const QVariant &v : values) {
        if (v.isNull()) {
            binds.append(Bind::Null);
            continue;
        }
        switch (v.metaType().id()) {
        case QMetaType::QString:
            binds.append(
                static_cast<const QString *>(v.constData())->isNull() ? Bind::Null : Bind::Text);
            break;
        case QMetaType::QByteArray:
            binds.append(
                static_cast<const QByteArray *>(v.constData())->isNull() ? Bind::Null : Bind::Blob);
            break;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            binds.append(Bind::Integer);
            break;
        case QMetaType::Double:
            binds.append(Bind::Real);
            break;
        default:
            return false; // dates and the rest: the SQL module's own way
        }
    }
    // Set by this thread at the open; without it, the SQL module's way.
    sqlite3 *const handle = static_cast<sqlite3 *>(m_sqliteHandle);
    if (!handle)
        return false;
    const auto failed = [&](const QString &what, QSqlError::ErrorType type, int code) {
        failWith(QSqlError(what, QString(reinterpret_cast<const QChar *>(sqlite3_errmsg16(handle))),
                     type, QString::number(code)),
            QStringLiteral("The statement failed"));
    };
    if (!m_sqlitePrepared || m_preparedText != statement) {
        m_sqlitePrepared.reset();
        m_preparedText.clear();
        sqlite3_stmt *stmt = nullptr;
        const int prepared = sqlite3_prepare16_v2(
            handle, statement.utf16(), int(statement.size() * sizeof(QChar)), &stmt, nullptr);
        if (prepared != SQLITE_OK) {
            sqlite3_finalize(stmt);
            failed(
                QStringLiteral("Unable to execute statement"), QSqlError::StatementError, prepared);
        }
        m_sqlitePrepared.reset(stmt, &sqlite3_finalize);
        m_preparedText = statement;
    }
    sqlite3_stmt *const stmt = m_sqlitePrepared.get();
    // Ready for the next call however this one ends, with no pointer into
    // this call's values left bound.
    const auto ready = qScopeGuard([stmt] {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    });
    if (values.size() != sqlite3_bind_parameter_count(stmt))
        failWith(QSqlError(QStringLiteral("Parameter count mismatch"), QString(),
                     QSqlError::StatementError),
            QStringLiteral("The statement failed"));
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        int bound = SQLITE_OK;
        switch (binds.at(i)) {
        case Bind::Null:
            bound = sqlite3_bind_null(stmt, i + 1);
            break;
        case Bind::Integer:
            bound = sqlite3_bind_int64(stmt, i + 1, v.toLongLong());
            break;
        case Bind::Real:
            bound = sqlite3_bind_double(stmt, i + 1, v.toDouble());
            break;
        case Bind::Text: {
            const QString &text = *static_cast<const QString *>(v.constData());
            bound = sqlite3_bind_text16(stmt, i + 1, text.utf16(), int(text.size() * sizeof(QChar)),
                SQLITE_STATIC); // values outlive the step
            break;
        }
        case Bind::Blob: {
            const QByteArray &bytes = *static_cast<const QByteArray *>(v.constData());
            bound = sqlite3_bind_blob(
                stmt, i + 1, bytes.constData(), int(bytes.size()), SQLITE_STATIC);
            break;
        }
        }
        if (bound != SQLITE_OK)
            failed(QStringLiteral("Unable to bind parameters"), QSqlError::StatementError, bound);
    }
    int step = sqlite3_step(stmt);
    if (step == SQLITE_ERROR)
        step = sqlite3_reset(stmt); // the specific code and its message
    if (step != SQLITE_DONE && step != SQLITE_ROW) {
        failWith(QSqlError(QStringLiteral("Unable to fetch row"),
                     QString(reinterpret_cast<const QChar *>(sqlite3_errmsg16(handle))),
                     QSqlError::ConnectionError, QString::number(step)),
            QStringLiteral("The statement failed"));
    }
    return true;
#else
    Q_UNUSED(statement);
    Q_UNUSED(values);
    return false;
#endif
}
