#pragma once

#include "SqlDialect.h"

// Statements for a PostgreSQL server reached through psqlODBC (the server the
// server-path tests stop and restart). Date-times are timestamps, the
// route-times table is RteDB.RouteTimes (a schema of the same database), and
// the operational day and the times come from our own clock, as on the
// embedded files, so that a settable clock decides the day.
class PostgresDialect : public SqlDialect
{
public:
    QString appStatusUpdate(
        const QString &version, const QString &status, const QDateTime &now) const override;
    QString purgeBatch(const QDateTime &now) const override;
    QString selectionBatch(const QDateTime &now) const override;
    QString schedsInsert(const SchedValues &values) const override;
    QString schedsOfDay(const QDateTime &from, const QDateTime &to) const override;
    QString schedsBatchBegin() const override;
    QString schedsBatchEnd() const override;
    QString schedsBatchRecovery() const override;
    QString routeTimesQuery(const QString &routeList, const QDate &today) const override;

    // Whether an ODBC connection string names a PostgreSQL driver: its
    // DRIVER value contains "PostgreSQL" (letter case ignored).
    static bool namesPostgresDriver(const QString &connectionString);
};
