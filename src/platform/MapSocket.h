#pragma once

#include <QObject>
#include <QString>

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

    // Bytes waiting to go out before a silent peer is given up.
    static constexpr qint64 kMaxPendingBytes = 8 * 1024 * 1024;

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
    // Everything received and not yet read, as text.
    QString getData();
    qint64 bytesAvailable() const;
    qint64 bytesToWrite() const;

Q_SIGNALS:
    void connected();
    void dataArrival(qint64 bytesTotal);
    // number: a Winsock-style error number; description: the reason.
    void error(int number, const QString &description);

private:
    QTcpSocket *m_socket;
    QString m_host;
    int m_port = 0;
    bool m_failed = false; // an error arrived since the last connect or close
    bool m_peerClosed = false; // the peer closed; waiting for our close
};
