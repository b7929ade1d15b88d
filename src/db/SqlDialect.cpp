#include "SqlDialect.h"

#include "SqlServerDialect.h"
#include "SqliteDialect.h"
#include "platform/DbSession.h"

std::unique_ptr<SqlDialect> SqlDialect::forSession(const DbSession &session)
{
    if (session.backend() == DbSession::Backend::Sqlite)
        return std::make_unique<SqliteDialect>();
    return std::make_unique<SqlServerDialect>();
}

QString SqlDialect::escaped(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\''), QStringLiteral("''"));
    return out;
}
