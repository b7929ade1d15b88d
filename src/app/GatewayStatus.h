#pragma once

#include "status/StatusSource.h"

class Gateway;

// The status server's view of the running gateway, taken on the event thread
// at each request: the status bar's texts, the popup's, the sessions, the map
// link, the cycle and the day's lines.
class GatewayStatus : public StatusSource
{
public:
    explicit GatewayStatus(Gateway &gateway);

    StatusSnapshot snapshot() const override;
    QList<LineSummary> lines() const override;
    std::optional<QList<TripSummary>> trips(const QString &lineKey) const override;

private:
    struct Sessions
    {
        StatusSnapshot::Session jobs;
        StatusSnapshot::Session orvikDb;
    };
    // The one place that reads the database sessions' state.
    Sessions sessionStates() const;

    Gateway &m_gw;
};
