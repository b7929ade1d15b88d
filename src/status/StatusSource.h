#pragma once

#include "status/StatusSnapshot.h"

#include <QList>
#include <QString>

#include <optional>

// Where the status server takes what it shows; the application implements it
// over the gateway, tests over values of their own. Called on the event
// thread, once per request: each call must be cheap.
class StatusSource
{
public:
    virtual ~StatusSource() = default;

    virtual StatusSnapshot snapshot() const = 0;
    // The day's lines in key order.
    virtual QList<LineSummary> lines() const = 0;
    // The trips of one line; nothing when there is no such line.
    virtual std::optional<QList<TripSummary>> trips(const QString &lineKey) const = 0;
};
