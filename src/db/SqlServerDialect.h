#pragma once

#include "SqlDialect.h"

// The statement texts of a SQL Server site, byte for byte.
class SqlServerDialect : public SqlDialect
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
};
