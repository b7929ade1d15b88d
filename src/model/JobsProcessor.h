#pragma once

#include "model/clsLine.h"
#include "platform/KeyedCollection.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>

class Clock;
class ErrorLog;
class RouteTimes;
class RowSet;
struct DayModel;
struct Sessions;

// Turns the job rows of one database cycle into the day's lines and trips:
// merges them into colLines, removes the trips that cancelled jobs announce,
// marks the changed lines for sending and completes every trip's stops.
class JobsProcessor
{
public:
    JobsProcessor(DayModel &day, const Sessions &sessions, const Clock &clock, ErrorLog &log);
    ~JobsProcessor();

    // Merges the rows into colLines (made when absent) and completes the
    // trips. False when a failure ended the call; it is logged here.
    bool ProcessScheduleTrigRecs(RowSet &rs);

    RouteTimes &routeTimes() { return *m_routeTimes; }

    // value, or def when value is null.
    static QVariant IfNull(const QVariant &value, const QVariant &def);
    // Whether the collection holds a member under key (letter case ignored).
    template <typename T>
    static bool InCollection(const KeyedCollection<T> &collection, const QString &key)
    {
        return collection.contains(key);
    }

    // A new line with its fields taken from the key.
    static std::shared_ptr<clsLine> newLine(const QString &key);
    // The acceptance test: a missing vehicle or driver, a deleting updater or a
    // driver marked as not performed or not active rejects the row.
    static bool isRejected(const QVariant &carNum, const QVariant &driverName,
        const QVariant &driverCode, const QVariant &recordUpdater);
    // A vehicle number made only of zeros is no vehicle.
    static bool isZeroCarNum(const QVariant &carNum);
    // Inserts a new trip before the first one that starts strictly later, or
    // appends it.
    static void insertByStart(
        KeyedCollection<clsSched> &scheds, const QString &key, std::shared_ptr<clsSched> trip);

private:
    DayModel &m_day;
    ErrorLog &m_log;
    std::unique_ptr<RouteTimes> m_routeTimes;
};
