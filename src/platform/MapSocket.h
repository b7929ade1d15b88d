#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QTcpSocket;

// The map server connection as the gateway sees it: a TCP client socket with
// the classic 0-9 state numbering, connect, close, send and the connect,
// data-arrival and error events. Text crosses the wire in the code page.
class MapSocket : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    // Bytes waiting to go out above which a long push pauses (mayWrite() is
    // false) until the peer has read half of them (drained()). This bounds
    // the memory a push holds, whatever the day's size.
    static constexpr qint64 kHighWaterBytes = 1024 * 1024;
    // How long a peer may accept no byte while data waits before the
    // connection is given up. A slow reader that keeps reading is never
    // given up, however much waits.
    static constexpr int kDefaultStallMs = 60 * 1000;

    explicit MapSocket(QObject *parent = nullptr);
    ~MapSocket() override;

    // "Closed" ... "Error", as the status summary shows the state.
    static QString stateName(State state);

    void setRemoteHost(const QString &host) { m_host = host; }
    void setRemotePort(int port) { m_port = port; }
    QString remoteHost() const { return m_host; }
    int remotePort() const { return m_port; }

    State state() const;
    // Starts connecting to the remote host and port; the outcome arrives as
    // connected() or error(). Failure 40006 unless the socket is closed.
    void connectToHost();
    void close();
    // Sends the text as it is (callers add "\r\n"); failure 40006 unless connected.
    void send(const QString &text);
    // Whether a push may go on writing now: the bytes waiting to go out are
    // below the high-water mark. Once false, drained() follows when the peer
    // has read enough.
    bool mayWrite();
    void setStallMs(int ms);
    // Milliseconds since the peer last sent anything (or since connected).
    qint64 msSinceHeard() const { return m_heard.isValid() ? m_heard.elapsed() : 0; }
    int stallMs() const { return m_stallMs; }
    // Everything received and not yet read, as text.
    QString getData();
    // Who sees the text that crosses the connection, sent (outgoing) and
    // read: the traffic view. None by default.
    using Tap = std::function<void(bool outgoing, const QString &text)>;
    void setTap(Tap tap) { m_tap = std::move(tap); }
    // Asked before each message: whether this gateway may still send (a
    // standby pair's lease). A message it refuses is not sent and fails as
    // on a closed connection; the gate's owner closes the connection. With
    // a gate, each message is handed to the system at once rather than kept
    // for the event loop, so that little waits in this process to go out
    // after a pause past the lease. None by default.
    void setSendGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    qint64 bytesAvailable() const;
    qint64 bytesToWrite() const;

Q_SIGNALS:
    void connected();
    void dataArrival(qint64 bytesTotal);
    // number: a Winsock-style error number; description: the reason.
    void error(int number, const QString &description);
    // A push that stopped at the high-water mark may go on.
    void drained();

private:
    QTcpSocket *m_socket;
    QString m_host;
    int m_port = 0;
    bool m_failed = false; // an error arrived since the last connect or close
    bool m_peerClosed = false; // the peer closed; waiting for our close
    bool m_paused = false; // a push stopped at the high-water mark
    int m_stallMs = kDefaultStallMs;
    QElapsedTimer m_progress; // since the peer last accepted bytes, or data began to wait
    QTimer m_stallCheck;
    QElapsedTimer m_heard;
    Tap m_tap;
    std::function<bool()> m_gate;

    void checkStall();
    void keepAlive();
};
