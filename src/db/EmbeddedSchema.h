#pragma once

#include <QString>

#include <functional>

class QSqlQuery;

// The embedded databases of a "sqlite:FOLDER" data source: ORVIK_Jobs.sqlite
// (Jobs, AppStatus with its 'APSTT' and 'CRLST' rows, ShibFlag with one row),
// ORVIKDB.sqlite (Scheds) and RteDB.sqlite (RouteTimes). At a site these
// tables belong to other systems; here we make them. Making them again is
// harmless: nothing that exists is changed.
class EmbeddedSchema
{
public:
    // Creates the folder, the three files and their tables. Failures carry
    // the driver's text.
    static void create(const QString &folder);

    static QString jobsFile(const QString &folder);
    static QString orvikDbFile(const QString &folder);
    static QString routeTimesFile(const QString &folder);

    // Runs statements on one file in a connection of their own; used by the
    // tool and by tests that fill the tables.
    static void run(const QString &file, const QStringList &statements);

    // Runs one prepared statement count times in one transaction, bind(q, i)
    // binding row i; for days of hundreds of thousands of rows, whose
    // statement texts would cost more than the rows. Nothing is kept when a
    // row fails.
    static void insertRows(const QString &file, const QString &statement, int count,
        const std::function<void(QSqlQuery &, int)> &bind);
};
