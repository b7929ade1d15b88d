#pragma once

#include "SqlDialect.h"

// The statement texts of a SQL Server site, byte for byte.
class SqlServerDialect : public SqlDialect
{
public:
    QString routeTimesQuery(const QString &routeList, const QDate &today) const override;
};
