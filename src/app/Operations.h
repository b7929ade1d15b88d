#pragma once

#include "status/GuardedTcpServer.h"

#include <QObject>
#include <QString>

#include <memory>

class CycleMeter;
class Gateway;
class GatewayStatus;
class HangupSignal;
class LogTail;
class SettingsReload;
class StatusEndpoint;

// What operations people use to watch and steer a running gateway, the same
// in both executables: the status server (page, /healthz, /metrics), the
// reload on SIGHUP, and the start-up record of settings the gateway changes
// or passes over. Made right after the Gateway, before the event loop runs.
class Operations : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString statusListen; // --status-listen, empty when not given
        // Whether the start-up record also names the settings that stop the
        // start (the window program; the headless one names them as it ends).
        bool nameBlocking = true;
        GuardedTcpServer::Limits limits;
    };

    Operations(Gateway &gateway, Options options, QObject *parent = nullptr);
    ~Operations() override;

    // The start-up record and the status server; SIGHUP is taken from here on.
    void start();

    StatusEndpoint &status() { return *m_status; }
    SettingsReload &reload() { return *m_reload; }
    const CycleMeter &cycleMeter() const { return *m_meter; }

private:
    void noteSettings();

    Gateway &m_gw;
    Options m_options;
    std::unique_ptr<LogTail> m_logTail;
    std::unique_ptr<CycleMeter> m_meter;
    std::unique_ptr<GatewayStatus> m_source;
    std::unique_ptr<StatusEndpoint> m_status;
    std::unique_ptr<SettingsReload> m_reload;
    std::unique_ptr<HangupSignal> m_hangup;
};
