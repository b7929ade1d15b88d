#pragma once

#include "SqlDialect.h"

// Statements for the embedded databases: dates are "YYYY-MM-DD" text, the
// route-times file is attached as RteDB.
class SqliteDialect : public SqlDialect
{
public:
    QString routeTimesQuery(const QString &routeList, const QDate &today) const override;
};
