#pragma once

#include <QByteArray>
#include <QString>

// Tells a service manager (systemd) how the service is: "READY=1",
// "STATUS=...", "WATCHDOG=1", "STOPPING=1". Through libsystemd's sd_notify
// when the build found it, else a datagram of our own to $NOTIFY_SOCKET.
// Without a service manager (no NOTIFY_SOCKET) every call does nothing.
class ServiceNotifier
{
public:
    // Whether a service manager listens.
    static bool listening();
    // Sends the state lines; false when nothing listens or the send failed.
    static bool notify(const QByteArray &state);
    // Milliseconds between the service manager's watchdog limits
    // (WATCHDOG_USEC, for this process), 0 when no watchdog is set.
    static qint64 watchdogMs();
};
