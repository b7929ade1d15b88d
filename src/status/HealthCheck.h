#pragma once

#include <QDateTime>
#include <QStringList>

class Metrics;
struct StatusSnapshot;

// Whether the gateway does its work, as a load balancer or a monitor asks:
// both database sessions open and working, the map server connected and
// answering our login, and a database cycle completed lately. Each failing
// part is named in words an operator understands.
class HealthCheck
{
public:
    // A cycle counts as recent within this many intervals, and never less
    // than kMinWindowSeconds (the watchdog's own bound), so that a short
    // interval and one slow cycle do not make the gateway flap.
    static constexpr int kIntervals = 3;
    static constexpr int kMinWindowSeconds = 30;

    struct Result
    {
        bool ok = false;
        QStringList reasons; // empty when ok
    };

    static Result evaluate(
        const StatusSnapshot &status, const Metrics &metrics, const QDateTime &now);
    // Seconds within which a cycle must have completed.
    static int windowSeconds(int intervalSeconds);
};
