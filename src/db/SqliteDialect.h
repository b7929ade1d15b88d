#pragma once

#include "SqlDialect.h"

// Statements for the embedded databases: date-times are "YYYY-MM-DD HH:MM:SS"
// text, dates "YYYY-MM-DD", the route-times file is attached as RteDB. SQLite
// has no clock of the server's kind, so the times come from our own clock.
class SqliteDialect : public SqlDialect
{
public:
    QString appStatusUpdate(
        const QString &version, const QString &status, const QDateTime &now) const override;
    QString purgeBatch(const QDateTime &now) const override;
    QString selectionBatch(const QDateTime &now) const override;
    QString schedsInsert(const SchedValues &values) const override;
    QString schedsInsertPrepared() const override;
    QVariantList schedsInsertValues(const SchedValues &values) const override;
    QString schedsOfDay(const QDateTime &from, const QDateTime &to) const override;
    QString schedsRunBegin() const override;
    QString schedsRunEnd() const override;
    QString routeTimesQuery(const QString &routeList, const QDate &today) const override;

    // The server's default text of a date-time ("Dec  7 2026  6:30AM").
    static QString serverDateText(const QDateTime &dt);
    static QString storageText(const QDateTime &dt);
};
