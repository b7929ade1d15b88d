#include "SqlDialect.h"

#include "PostgresDialect.h"
#include "SqlServerDialect.h"
#include "SqliteDialect.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"

std::unique_ptr<SqlDialect> SqlDialect::forSession(const DbSession &session)
{
    if (session.backend() == DbSession::Backend::Sqlite)
        return std::make_unique<SqliteDialect>();
    // An ODBC session speaks SQL Server unless its driver is PostgreSQL's (named
    // in a connection string given as the data source, or by the ODBCDriver
    // setting). A session through a DSN is taken as SQL Server.
    if (PostgresDialect::namesPostgresDriver(session.odbcConnectionString()))
        return std::make_unique<PostgresDialect>();
    return std::make_unique<SqlServerDialect>();
}

QString SqlDialect::withoutNul(const QString &text)
{
    // A NUL ends the statement where the server reads it (SQLite stops there),
    // and no server stores it in text: it is dropped, and the value keeps the
    // rest of its characters.
    QString out = text;
    out.remove(QChar(0));
    return out;
}

QString SqlDialect::escaped(const QString &text)
{
    // Most texts need neither change: they are handed back unchanged, with
    // no copy made (a day's route list quotes thousands of route names).
    if (!text.contains(QLatin1Char('\'')) && !text.contains(QChar(0)))
        return text;
    QString out = withoutNul(text);
    out.replace(QLatin1Char('\''), QStringLiteral("''"));
    return out;
}

QString SqlDialect::bare(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("NULL");
    const QString text = Convert::toText(value).trimmed();
    if (!Convert::isNumeric(text))
        throw Failure(Failure::TypeMismatch);
    return text;
}

QString SqlDialect::lineListUpdate(const QString &linesList) const
{
    return QStringLiteral("Update AppStatus Set Status = '") + escaped(linesList)
        + QStringLiteral("' Where Type = 'CRLST'");
}

QString SqlDialect::schedsBatch(const QStringList &inserts) const
{
    const QString sep = QStringLiteral(" ; ");
    return schedsBatchBegin() + sep + inserts.join(sep) + sep + schedsBatchEnd();
}

QString SqlDialect::shibFlagReset() const
{
    return QStringLiteral("Update ShibFlag Set Flag = 0");
}

QString SqlDialect::selectionColumns()
{
    return QStringLiteral("PKID, EntryDT, CarNo, Replace(CarNum, '-', '') As CarNum, RecID, "
                          "DriverCode, DriverName, ")
        + QStringLiteral("RouteStart, RouteEnd, RouteCode As Makat, RecordUpdater, EntryDT");
}

QString SqlDialect::schedsOfDayColumns()
{
    return QStringLiteral("Select IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, "
                          "EndTime, TruckNumber, TruckID From Scheds Where StartTime >= ");
}

QString SqlDialect::schedsColumns()
{
    return QStringLiteral("Scheds (IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, ")
        + QStringLiteral("EndTime, Source, Destination, TruckNumber, TruckID, ORVIKID) ");
}
