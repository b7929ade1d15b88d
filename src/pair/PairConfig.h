#pragma once

#include <QString>

class Settings;

// Who this gateway is in a standby pair, and the pair's lease: [Pair] Name
// (empty: no pair, the gateway works alone as it always did) and [Pair]
// LeaseSeconds, kept to its range as the settings check says.
struct PairConfig
{
    QString name;
    int leaseSeconds = 20;
    // "host pid incarnation": the incarnation is drawn at start, so a
    // gateway started again on the same host with the same process id is
    // still another holder.
    QString holder;
    QString incarnation; // the holder's last word

    // How this gateway's sessions are named on a server that names them
    // ("volmara:NAME:INCARNATION"), and the part all of the pair's share.
    QString sessionLabel() const { return labelPrefix() + incarnation; }
    QString labelPrefix() const { return QStringLiteral("volmara:") + name + QLatin1Char(':'); }

    bool enabled() const { return !name.isEmpty(); }
    int leaseMs() const { return leaseSeconds * 1000; }
    // How long a renewal or a try may take: a hung one is noticed, and the
    // gateway stands down, before its deadline.
    int statementSeconds() const { return qMax(1, leaseSeconds / 3); }
    // What is taken off the lease on this gateway's own clock: its deadline
    // comes this much before the server lets the lease go.
    int marginMs() const { return qMax(2000, leaseMs() / 10); }

    static PairConfig read(const Settings &settings);
    // The settings alone, without an identity (no holder drawn).
    static PairConfig readSettings(const Settings &settings);
    static QString makeHolder();
};
