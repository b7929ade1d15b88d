#pragma once

#include <QDateTime>
#include <QVariant>

// Date-times as the gateway counts them: "now" is the local clock's, values
// from the databases are wall-clock values (see fromVariant). The zero date-time
// 1899-12-30 00:00:00 means "not set"; differences count the boundaries of
// seconds or minutes crossed on the calendar and clock, not elapsed time, so a
// change of daylight saving time does not bend them.
class DateTime
{
public:
    static QDateTime zero();
    static bool isZero(const QDateTime &dt);

    static qint64 secondsBetween(const QDateTime &from, const QDateTime &to);
    static qint64 minutesBetween(const QDateTime &from, const QDateTime &to);

    // "hh:nn": two-digit hour and minute of the day.
    static QString hhnn(const QDateTime &dt);
    // "yyyy-MM-dd HH:mm:ss", the form the embedded files store; empty for an
    // invalid value.
    static QString stored(const QDateTime &dt);
    // "yyyymmdd hh:nn:ss", as SQL Server accepts date-time text.
    static QString yyyymmddHhnnss(const QDateTime &dt);
    // "yyyymmdd".
    static QString yyyymmdd(const QDate &d);
    // "mmddhhnnss", the sort key of the emergency error files.
    static QString mmddhhnnss(const QDateTime &dt);
    // The general date-and-time text of our log lines.
    static QString general(const QDateTime &dt);

    // When the operational day starts.
    static QTime dayStartsAt() { return QTime(4, 0); }
    // The operational day a moment belongs to: it starts at 04:00, before
    // that it is still yesterday's. 2026-12-07 03:59 -> 2026-12-06,
    // 2026-12-07 04:00 -> 2026-12-07.
    static QDate operationalDay(const QDateTime &moment);
    // The 04:00 that begins the operational day of moment.
    static QDateTime operationalDayStart(const QDateTime &moment);

    // Reads a date-time from a database or text value: QDateTime, QDate, QTime
    // (on the zero date) and the text forms "yyyy-MM-dd HH:mm:ss[.zzz]",
    // "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd", "yyyyMMdd HH:mm:ss", "yyyyMMdd" and
    // "HH:mm[:ss]". A null value is failure 94, anything else failure 13.
    // The result is a wall-clock value: the stored calendar date and clock
    // time marked as UTC (standing for "no zone"), never converted through the local zone, so
    // 02:30 on the night the clocks go forward and the hour repeated when
    // they go back are ordinary times. Compare it with values read here or
    // by its date() and time(), never with the local clock's instants.
    static QDateTime fromVariant(const QVariant &value);
    static bool tryFromVariant(const QVariant &value, QDateTime *out);
};
