#include "DbSession.h"

#include "Failure.h"

#include <QMutex>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>

#include <sql.h>
#include <sqlext.h>

// The servers, through ODBC: the connection string and time-outs, the driver's
// handle for what Qt does not expose (the current catalog, the query time-out,
// the connection-dead attribute, a failed statement's SQLSTATE), and batches
// and reads that are one request each (OdbcStatement, which also cancels).

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

// psqlODBC sets the process's LC_CTYPE while it connects and reads the name
// setlocale() returned, so two connects at once (the cycle's session and the
// lease's) read a name the other has freed. One connect at a time, process
// wide; the wait counts against the session's own login time-out.
QMutex &connectLock()
{
    static QMutex lock;
    return lock;
}

} // namespace

void DbSession::openOdbc()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    db.setDatabaseName(odbcConnectionString());
    db.setConnectOptions(odbcConnectOptions());
    // 0 is no limit, as the setting's 0 means (see odbcConnectOptions).
    const int waitMs = m_connectionTimeout == 0 ? -1 : qBound(1, m_connectionTimeout, 86400) * 1000;
    if (!connectLock().tryLock(waitMs))
        throw Failure(kUnspecifiedDbError,
            QStringLiteral("Cannot open the data source: another connect of this gateway "
                           "did not end within the login time-out"));
    const bool opened = db.open();
    connectLock().unlock();
    if (!opened)
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

RowSet::Ptr DbSession::runOdbc(const QSqlDatabase &db, const QString &batch)
{
    RowSet::Ptr head;
    // The server runs the whole batch as one request; its results are
    // walked in order.
    OdbcStatement statement(odbcHandle(db), m_commandTimeout, m_cancel);
    if (!statement.execute(batch, head))
        failWith(statement);
    return head ? head : std::make_shared<RowSet>();
}

void DbSession::readEachOdbc(const QSqlDatabase &db, const QString &statement,
    const std::function<void(const RowSet::Row &)> &onRow)
{
    OdbcStatement odbc(odbcHandle(db), m_commandTimeout, m_cancel);
    if (!odbc.forEachRow(statement, onRow))
        failWith(odbc);
}
