#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>

class DbSession;

// Builds the statements the gateway runs. The SQL Server dialect gives the
// statement texts the site's server has always received; the embedded
// (SQLite) dialect gives statements with the same effect on the embedded files.
// Every text value placed in a statement has its single quotes doubled, so
// that the stored value is exactly the value read and no value can change a
// statement; a NUL, which no server stores in text and which would end the
// statement early, is removed.
class SqlDialect
{
public:
    // One row for Scheds, as read from the job selection. Bare values go into
    // the statement without quotes and must be numbers (or null).
    struct SchedValues
    {
        QVariant recId; // bare
        QString lineText;
        QString driverName;
        QVariant driverCode; // bare
        QDateTime start; // invalid: stored as empty text
        QDateTime end;
        QString carNum;
        QVariant carNo; // bare
    };

    virtual ~SqlDialect() = default;

    // The dialect that fits a session's backend.
    static std::unique_ptr<SqlDialect> forSession(const DbSession &session);

    // The text with every single quote doubled and every NUL removed (without
    // surrounding quotes).
    static QString escaped(const QString &text);
    // The text as a bound value takes it: every NUL removed.
    static QString withoutNul(const QString &text);
    // A value placed without quotes: its number text, or NULL for a null
    // value. Anything that is not a number is failure 13: it could change
    // the statement.
    static QString bare(const QVariant &value);

    // The gateway's health into the 'APSTT' row: the time, a blank, the
    // version text and the status text. `now` is for dialects whose server
    // does not give the time itself.
    virtual QString appStatusUpdate(
        const QString &version, const QString &status, const QDateTime &now) const = 0;
    // The map server's line list into the 'CRLST' row.
    virtual QString lineListUpdate(const QString &linesList) const;
    // Deletes jobs whose later of order date and route end is more than 30
    // days old, then gives the space back.
    virtual QString purgeBatch(const QDateTime &now) const = 0;
    virtual QString shibFlagReset() const;
    // Marks the newest row of every (CarNum, RecID) of the operational day
    // (04:00 to 04:00), returns the marked rows and releases them, as one unit.
    virtual QString selectionBatch(const QDateTime &now) const = 0;
    // One Scheds row.
    virtual QString schedsInsert(const SchedValues &values) const = 0;
    // The Scheds insert with "?" for the values, run prepared with
    // schedsInsertValues; empty where each row goes as its own text.
    virtual QString schedsInsertPrepared() const { return QString(); }
    virtual QVariantList schedsInsertValues(const SchedValues &) const { return {}; }
    // The Scheds rows that start within [from, to): what a restart finds
    // already stored of the day.
    virtual QString schedsOfDay(const QDateTime &from, const QDateTime &to) const = 0;
    // What opens and closes the run of Scheds inserts of one call (empty: each
    // insert stands on its own).
    virtual QString schedsRunBegin() const { return QString(); }
    virtual QString schedsRunEnd() const { return QString(); }
    // What opens and closes several Scheds inserts sent as one text, so that
    // the server stores all of them or none: a refused batch leaves nothing
    // behind, and its rows can go again one by one without copies. Empty:
    // the dialect sends each insert on its own.
    virtual QString schedsBatchBegin() const { return QString(); }
    virtual QString schedsBatchEnd() const { return QString(); }
    // What the session runs after a refused batch, so that no transaction of
    // it stays open.
    virtual QString schedsBatchRecovery() const { return QString(); }
    // The inserts as one text between schedsBatchBegin and schedsBatchEnd,
    // each insert as schedsInsert made it.
    QString schedsBatch(const QStringList &inserts) const;

    // The route-times rules of the listed routes ("'r1','r2'") that are
    // undated or overlap yesterday to tomorrow, by route, start date and start
    // time.
    virtual QString routeTimesQuery(const QString &routeList, const QDate &today) const = 0;

    // The column list of the selection; CarNum comes without dashes and
    // RouteCode as Makat.
    static QString selectionColumns();
    // "Select <the inserted columns> From Scheds Where StartTime >= ".
    static QString schedsOfDayColumns();
    // The column list of the Scheds insert, with its closing parenthesis.
    static QString schedsColumns();
};
