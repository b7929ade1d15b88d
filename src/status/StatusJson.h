#pragma once

#include "status/HealthCheck.h"
#include "status/StatusSnapshot.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

class LogTail;
class Metrics;
class TrafficTail;

// The JSON bodies of the status server: the health answer, the page's data
// and the day's lines. Times are local ISO 8601 texts with their offset;
// absent times are null.
class StatusJson
{
public:
    static QByteArray health(
        const HealthCheck::Result &health, const StatusSnapshot &status, const Metrics &metrics);
    static QByteArray status(const StatusSnapshot &status, const HealthCheck::Result &health,
        const Metrics &metrics, const LogTail &log, const TrafficTail &traffic,
        const QDateTime &now);
    static QByteArray lines(const QList<LineSummary> &lines);
    static QByteArray trips(const QString &lineKey, const QList<TripSummary> &trips);
};
