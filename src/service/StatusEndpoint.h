#pragma once

#include "common/ListenAddress.h"
#include "status/GuardedTcpServer.h"

#include <QString>

#include <memory>
#include <optional>

class Clock;
class ErrorLog;
class LogTail;
class Metrics;
class Settings;
class StatusServer;
class StatusSource;
class TrafficTail;

// Where the status server is put on and off: off unless [Misc] StatusListen
// or --status-listen (which wins) names an address; an address beyond this
// machine only with [Misc] StatusToken, which every request must then carry.
// Each change is one record; a refusal says why.
class StatusEndpoint
{
public:
    struct Parts
    {
        const StatusSource &source;
        const Metrics &metrics;
        const LogTail &log;
        const TrafficTail &traffic;
    };

    StatusEndpoint(Parts parts, const Settings &settings, const Clock &clock, ErrorLog &log,
        QString optionListen, GuardedTcpServer::Limits limits = {});
    ~StatusEndpoint();

    // Reads the settings and listens, rebinds or stops as they say now.
    // Returns what changed, for the reload's record ("" when nothing did).
    QString apply();

    bool isListening() const;
    quint16 port() const;
    // The address served, or nothing.
    std::optional<ListenAddress> address() const { return m_address; }

private:
    struct Wanted
    {
        std::optional<ListenAddress> where;
        QString token;
        QString refusal; // why nothing is served though something was asked
        QString origin; // "--status-listen" or "[Misc] StatusListen"
    };
    Wanted wanted() const;

    Parts m_parts;
    const Settings &m_settings;
    const Clock &m_clock;
    ErrorLog &m_log;
    QString m_option;
    GuardedTcpServer::Limits m_limits;
    std::unique_ptr<StatusServer> m_server;
    std::optional<ListenAddress> m_address;
    QString m_token;
    QString m_lastRefusal;
};
