#include "DbSession.h"

#include "Failure.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

// What goes through Qt's QSqlQuery on either backend: the results of embedded
// statements SQLite's own library does not read, a read one row at a time
// where it cannot be read directly, and the prepared statement of the bulk
// insert.

RowSet::Ptr DbSession::fetchResult(QSqlQuery &q)
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

void DbSession::readEachQtSql(const QSqlDatabase &db, const QString &statement,
    const std::function<void(const RowSet::Row &)> &onRow)
{
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
    // A day's Scheds copy binds every value of every row here: through the
    // SQL module each bound value cost a formatted placeholder name.
    if (m_backend == Backend::Sqlite && executePreparedSqlite(statement, values))
        return;
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
