#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class Gateway;

// The headless gateway's word to its service manager: READY=1 once start-up
// has run, a STATUS= line with the connection summary whenever it changes,
// and WATCHDOG=1 from the event loop only while the gateway is healthy, so
// that a stuck or dead cycle gets the service restarted.
class ServiceWatch : public QObject
{
    Q_OBJECT
public:
    // How many intervals a cycle may be late before the gateway counts as
    // stuck; never less than kMinSilenceMs.
    static constexpr int kLateIntervals = 3;
    static constexpr qint64 kMinSilenceMs = 30000;

    explicit ServiceWatch(Gateway &gateway, QObject *parent = nullptr);

    // Start-up ran: READY=1 and the first status; the pings begin.
    void ready();
    // The end began: STOPPING=1, no more pings.
    void stopping();

    // Healthy: the event loop runs and the database thread waits for nothing
    // past its own time-out and a margin; before the cycle's first start,
    // while the supervisor is still bringing up the connections; afterwards,
    // while a cycle waits for a database within its time-out, or a cycle
    // began within the last few intervals.
    bool healthy() const;
    // "STATUS=JOBS - Open, ORVIKDB - Open, Map - Connected" and the like.
    QByteArray statusLine() const;

private:
    void tick();

    Gateway &m_gw;
    QTimer m_timer;
    QByteArray m_lastStatus;
    bool m_stopping = false;
};
