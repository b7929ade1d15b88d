#include "platform/OdbcStatement.h"

#include <QDate>
#include <QDateTime>
#include <QMutexLocker>
#include <QTime>

#include <sql.h>
#include <sqlext.h>

#include <thread>
#include <vector>

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's wide text is UTF-16");

} // namespace

bool OdbcStatement::isConnectionLoss(const QString &sqlState, const QString &text)
{
    // SQLSTATE class 08 is a connection failure, and PostgreSQL's 57P01 to
    // 57P03 a server that shut down or restarts; some drivers (psqlODBC) give
    // it with another state, or only in the text.
    if (sqlState.startsWith(QLatin1String("08")) || sqlState.startsWith(QLatin1String("57P")))
        return true;
    return text.contains(QLatin1String("connection has been lost"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("connection is down"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("connection lost"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("no connection"), Qt::CaseInsensitive);
}

namespace {

// A column as the SQL module types it, from its SQL type and sign.
enum class Kind { Int, UInt, LongLong, ULongLong, Double, Date, Time, DateTime, Text, Bytes };

Kind kindOf(SQLSMALLINT sqlType, bool isSigned)
{
    switch (sqlType) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return Kind::Double;
    case SQL_REAL:
        return Kind::Text; // so the SQL module has it
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIT:
        return isSigned ? Kind::Int : Kind::UInt;
    case SQL_TINYINT:
        return Kind::UInt;
    case SQL_BIGINT:
        return isSigned ? Kind::LongLong : Kind::ULongLong;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
        return Kind::Bytes;
    case SQL_DATE:
    case SQL_TYPE_DATE:
        return Kind::Date;
    case SQL_TIME:
    case SQL_TYPE_TIME:
        return Kind::Time;
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
        return Kind::DateTime;
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_GUID:
        return Kind::Text;
    default:
        return Kind::Bytes;
    }
}

} // namespace

void OdbcStatement::CancelPoint::cancel()
{
    // psqlODBC's cancel opens a connection of its own and waits for the
    // server's word: a stopped server would hold the caller. A thread of its
    // own does it, holding the lock so that the statement cannot go
    // meanwhile (its free waits for the same lock). The caller never takes
    // that lock: a second cancel while the first still waits (the stop
    // after a cycle's cancel) returns at once instead of waiting behind it.
    if (!m_cancelling.testAndSetOrdered(0, 1))
        return;
    std::shared_ptr<CancelPoint> self = shared_from_this();
    std::thread([self] {
        {
            QMutexLocker inner(&self->m_mutex);
            if (self->m_statement)
                SQLCancel(static_cast<SQLHSTMT>(self->m_statement));
        }
        self->m_cancelling.storeRelease(0);
    }).detach();
}

OdbcStatement::OdbcStatement(
    void *connection, int timeoutSeconds, std::shared_ptr<CancelPoint> cancel)
    : m_connection(connection), m_timeout(timeoutSeconds), m_cancel(std::move(cancel))
{
}

OdbcStatement::~OdbcStatement()
{
    if (!m_statement)
        return;
    QMutexLocker lock(m_cancel ? &m_cancel->m_mutex : nullptr);
    if (m_cancel)
        m_cancel->m_statement = nullptr;
    SQLFreeHandle(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(m_statement));
}

bool OdbcStatement::fail()
{
    m_diag = Diagnostics();
    const SQLSMALLINT type = m_statement ? SQL_HANDLE_STMT : SQL_HANDLE_DBC;
    SQLHANDLE handle = m_statement ? m_statement : m_connection;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLWCHAR state[6] = {};
        SQLWCHAR text[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        const SQLRETURN r = SQLGetDiagRecW(type, handle, i, state, &native, text,
            SQLSMALLINT(sizeof text / sizeof *text), &length);
        if (!SQL_SUCCEEDED(r))
            break;
        const QString stateText = QString::fromUtf16(reinterpret_cast<const char16_t *>(state));
        const QString message = QString::fromUtf16(reinterpret_cast<const char16_t *>(text),
            qMin<qsizetype>(length, qsizetype(sizeof text / sizeof *text) - 1));
        if (i == 1)
            m_diag.sqlState = stateText;
        m_diag.native = int(native);
        if (!message.isEmpty() && message != m_diag.text) {
            if (!m_diag.text.isEmpty())
                m_diag.text += QLatin1Char(' ');
            m_diag.text += message;
        }
        if (isConnectionLoss(stateText, message))
            m_diag.connectionLost = true;
    }
    return false;
}

bool OdbcStatement::start(const QString &text)
{
    SQLHSTMT statement = nullptr;
    if (!SQL_SUCCEEDED(
            SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(m_connection), &statement)))
        return fail();
    m_statement = statement;
    if (m_timeout > 0)
        SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(SQLULEN(m_timeout)), SQL_IS_UINTEGER);
    if (m_cancel) {
        QMutexLocker lock(&m_cancel->m_mutex);
        m_cancel->m_statement = statement;
    }
    SQLWCHAR *const wide = const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(text.utf16()));
    const SQLRETURN r = SQLExecDirectW(statement, wide, SQLINTEGER(text.size()));
    // No data: a statement that changed no row.
    return SQL_SUCCEEDED(r) || r == SQL_NO_DATA ? true : fail();
}

bool OdbcStatement::readResult(
    RowSet::Ptr *rows, const std::function<void(const RowSet::Row &)> *onRow)
{
    SQLHSTMT h = static_cast<SQLHSTMT>(m_statement);
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(h, &columns)))
        return fail();
    if (columns <= 0) {
        if (rows)
            *rows = std::make_shared<RowSet>();
        return true;
    }
    QStringList names;
    std::vector<Kind> kinds;
    for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, sqlType = 0, decimals = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeColW(h, c, name, SQLSMALLINT(sizeof name / sizeof *name),
                &nameLength, &sqlType, &size, &decimals, &nullable)))
            return fail();
        SQLLEN isUnsigned = SQL_FALSE;
        SQLColAttributeW(h, c, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
        names << QString::fromUtf16(reinterpret_cast<const char16_t *>(name),
            qMin<qsizetype>(nameLength, qsizetype(sizeof name / sizeof *name) - 1));
        kinds.push_back(kindOf(sqlType, isUnsigned != SQL_TRUE));
    }

    QVector<RowSet::Row> kept;
    RowSet::Row row(columns);
    // A value of any length comes in pieces: each read fills the buffer
    // (a text less its closing nul) and the next one goes on where it ended.
    // False when a read failed; a null leaves the indicator at SQL_NULL_DATA.
    alignas(SQLWCHAR) char buffer[4096];
    SQLLEN indicator = 0;
    auto pieces = [&](SQLUSMALLINT c, SQLSMALLINT cType, qsizetype room, auto append) {
        for (;;) {
            const SQLRETURN r = SQLGetData(h, c, cType, buffer, sizeof buffer, &indicator);
            if (r == SQL_NO_DATA)
                return true;
            if (!SQL_SUCCEEDED(r))
                return false;
            if (indicator == SQL_NULL_DATA)
                return true;
            append(indicator == SQL_NO_TOTAL || indicator > room ? room : qsizetype(indicator));
            if (r == SQL_SUCCESS)
                return true;
        }
    };
    for (;;) {
        const SQLRETURN fetched = SQLFetch(h);
        if (fetched == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(fetched))
            return fail();
        for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
            QVariant &value = row[c - 1];
            value = QVariant();
            indicator = 0;
            // A value of fixed size, read into v and turned into the QVariant
            // Qt's driver gives; false when the read failed (a null stays null).
            auto fixed = [&](SQLSMALLINT cType, auto v, auto toVariant) {
                const SQLRETURN r = SQLGetData(h, c, cType, &v, 0, &indicator);
                if (!SQL_SUCCEEDED(r))
                    return false;
                if (indicator != SQL_NULL_DATA)
                    value = toVariant(v);
                return true;
            };
            bool read = true;
            switch (kinds[c - 1]) {
            case Kind::Int:
                read = fixed(SQL_C_SLONG, SQLINTEGER(0), [](SQLINTEGER v) { return int(v); });
                break;
            case Kind::UInt:
                read = fixed(SQL_C_ULONG, SQLUINTEGER(0), [](SQLUINTEGER v) { return uint(v); });
                break;
            case Kind::LongLong:
                read = fixed(SQL_C_SBIGINT, SQLBIGINT(0), [](SQLBIGINT v) { return qlonglong(v); });
                break;
            case Kind::ULongLong:
                read = fixed(
                    SQL_C_UBIGINT, SQLUBIGINT(0), [](SQLUBIGINT v) { return qulonglong(v); });
                break;
            case Kind::Double:
                read = fixed(SQL_C_DOUBLE, SQLDOUBLE(0), [](SQLDOUBLE v) { return double(v); });
                break;
            case Kind::Date:
                read = fixed(SQL_C_TYPE_DATE, DATE_STRUCT{},
                    [](const DATE_STRUCT &v) { return QDate(v.year, v.month, v.day); });
                break;
            case Kind::Time:
                read = fixed(SQL_C_TYPE_TIME, TIME_STRUCT{},
                    [](const TIME_STRUCT &v) { return QTime(v.hour, v.minute, v.second); });
                break;
            case Kind::DateTime:
                read = fixed(
                    SQL_C_TYPE_TIMESTAMP, TIMESTAMP_STRUCT{}, [](const TIMESTAMP_STRUCT &v) {
                        return QDateTime(QDate(v.year, v.month, v.day),
                            QTime(v.hour, v.minute, v.second, int(v.fraction / 1000000)));
                    });
                break;
            case Kind::Text: {
                QString text;
                read = pieces(
                    c, SQL_C_WCHAR, qsizetype(sizeof buffer - sizeof(SQLWCHAR)), [&](qsizetype n) {
                        text.append(QStringView(reinterpret_cast<const char16_t *>(buffer), n / 2));
                    });
                if (read && indicator != SQL_NULL_DATA)
                    value = text;
                break;
            }
            case Kind::Bytes: {
                QByteArray bytes;
                read = pieces(c, SQL_C_BINARY, qsizetype(sizeof buffer),
                    [&](qsizetype n) { bytes.append(buffer, n); });
                if (read && indicator != SQL_NULL_DATA)
                    value = bytes;
                break;
            }
            }
            if (!read)
                return fail();
        }
        if (onRow)
            (*onRow)(row);
        else
            kept.append(row);
    }
    if (rows)
        *rows = std::make_shared<RowSet>(names, std::move(kept));
    return true;
}

bool OdbcStatement::execute(const QString &batch, RowSet::Ptr &results)
{
    if (!start(batch))
        return false;
    RowSet::Ptr tail;
    results.reset();
    for (;;) {
        RowSet::Ptr rows;
        if (!readResult(&rows, nullptr))
            return false;
        if (!results)
            results = rows;
        else
            tail->setNextRecordset(rows);
        tail = rows;
        const SQLRETURN r = SQLMoreResults(static_cast<SQLHSTMT>(m_statement));
        if (r == SQL_NO_DATA)
            break;
        // A statement later in the batch that failed shows here.
        if (!SQL_SUCCEEDED(r))
            return fail();
    }
    return true;
}

bool OdbcStatement::forEachRow(
    const QString &statement, const std::function<void(const RowSet::Row &)> &onRow)
{
    return start(statement) && readResult(nullptr, &onRow);
}
