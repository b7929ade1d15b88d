#pragma once

#include <QDate>
#include <QString>

#include <memory>

class DbSession;

// Builds the statements the gateway runs. The SQL Server dialect gives the
// statement texts the site's server has always received; the embedded
// (SQLite) dialect gives statements with the same effect on the embedded files.
// Every text value placed in a statement has its single quotes doubled, so
// that the stored value is exactly the value read and no value can change a
// statement.
class SqlDialect
{
public:
    virtual ~SqlDialect() = default;

    // The dialect that fits a session's backend.
    static std::unique_ptr<SqlDialect> forSession(const DbSession &session);

    // The text with every single quote doubled (without surrounding quotes).
    static QString escaped(const QString &text);

    // The route-times rules of the listed routes ("'r1','r2'") that are
    // undated or overlap yesterday to tomorrow, by route, start date and start
    // time.
    virtual QString routeTimesQuery(const QString &routeList, const QDate &today) const = 0;
};
