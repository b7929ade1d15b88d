#include "status/HealthCheck.h"

#include "common/Metrics.h"
#include "status/StatusSnapshot.h"

namespace {

QString sessionReason(const QString &name, const StatusSnapshot::Session &s)
{
    if (!s.present)
        return QStringLiteral("the %1 database session was never opened").arg(name);
    if (!s.open)
        return QStringLiteral("the %1 database session is not open (%2)").arg(name, s.summary);
    if (!s.working)
        return QStringLiteral("the %1 database session is open but its connection does not work "
                              "(%2)")
            .arg(name, s.summary);
    return QString();
}

} // namespace

int HealthCheck::windowSeconds(int intervalSeconds)
{
    return qMax(kMinWindowSeconds, kIntervals * qMax(1, intervalSeconds));
}

HealthCheck::Result HealthCheck::evaluate(
    const StatusSnapshot &status, const Metrics &metrics, const QDateTime &now)
{
    Result r;
    // A standby does no work but wait for the lease: healthy while it tries.
    if (status.pairRole == QLatin1String("standby")) {
        if (!status.pairTrying)
            r.reasons << QStringLiteral("the standby of pair %1 does not try the lease")
                             .arg(status.pairName);
        r.ok = r.reasons.isEmpty();
        return r;
    }
    for (const auto &[name, session] : {std::pair{QStringLiteral("jobs (JOBS)"), &status.jobs},
             std::pair{QStringLiteral("ORVIKDB"), &status.orvikDb}}) {
        const QString reason = sessionReason(name, *session);
        if (!reason.isEmpty())
            r.reasons << reason;
    }

    if (!status.mapConnected)
        r.reasons << QStringLiteral("the map server %1 is not connected (%2)")
                         .arg(status.mapAddress, status.mapState);
    else if (!status.mapLoggedIn)
        r.reasons << QStringLiteral("the map server %1 is connected but has not answered the login")
                         .arg(status.mapAddress);

    if (!status.databaseWait.isEmpty())
        r.reasons << QStringLiteral("the database has not answered for %1 s: %2")
                         .arg(status.databaseWaitSeconds)
                         .arg(status.databaseWait);

    const int window = windowSeconds(status.intervalSeconds);
    const QDateTime last = metrics.lastGoodCycleEnd();
    if (!status.cycleStarted) {
        r.reasons << (status.startStep.isEmpty()
                ? QStringLiteral("the database cycle has not started")
                : QStringLiteral("the database cycle has not started: connecting (%1)")
                      .arg(status.startStep));
    } else if (!last.isValid()) {
        r.reasons << (metrics.cycleFailures() > 0
                ? QStringLiteral("no database cycle has completed yet (%1 failed; see the log)")
                      .arg(metrics.cycleFailures())
                : QStringLiteral("no database cycle has completed yet"));
    } else if (last.secsTo(now) > window) {
        r.reasons << QStringLiteral("no database cycle completed in the last %1 s (interval %2 s); "
                                    "the last one completed at %3%4")
                         .arg(window)
                         .arg(status.intervalSeconds)
                         .arg(last.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                             metrics.lastCycleOk() ? QString()
                                                   : QStringLiteral(", the ones since failed"));
    }
    r.ok = r.reasons.isEmpty();
    return r;
}
