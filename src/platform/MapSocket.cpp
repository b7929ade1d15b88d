#include "platform/MapSocket.h"

#include "platform/CodePage.h"
#include "platform/Failure.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

int winsockNumber(QAbstractSocket::SocketError e)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::NetworkError:
        return 10050;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    default:
        return 10000 + int(e);
    }
}

} // namespace

MapSocket::MapSocket(QObject *parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_failed = false;
        m_paused = false;
        m_heard.restart();
        keepAlive();
        // An answer is one short line the map server waits for: it goes out
        // at once, not held back until the server acknowledges the line
        // before it (the server's delayed acknowledgement made answers wait
        // 40 ms). A push still leaves in large writes, since the socket
        // sends what the event loop's turn has queued together.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Q_EMIT connected();
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        m_progress.restart();
        if (m_paused && m_socket->bytesToWrite() <= kHighWaterBytes / 2) {
            m_paused = false;
            Q_EMIT drained();
        }
    });
    m_stallCheck.setInterval(1000);
    connect(&m_stallCheck, &QTimer::timeout, this, &MapSocket::checkStall);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        m_heard.restart();
        Q_EMIT dataArrival(m_socket->bytesAvailable());
        // What the server's lines were answered with leaves now. Left to the
        // socket's own turn it waited behind work queued meanwhile (a merge
        // slice at a time on a large day), and the server waits for it.
        if (m_socket->bytesToWrite() > 0)
            m_socket->flush();
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError) {
            // A peer that closes in order is not an error: the socket waits
            // for our close, like a classic socket control.
            m_peerClosed = true;
            return;
        }
        m_failed = true;
        Q_EMIT error(winsockNumber(e), m_socket->errorString());
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_failed)
            m_peerClosed = true;
    });
}

MapSocket::~MapSocket() = default;

QString MapSocket::stateName(State state)
{
    static const char *const kNames[] = {"Closed", "Open", "Listening", "ConnectionPending",
        "ResolvingHost", "HostResolved", "Connecting", "Connected", "Closing", "Error"};
    return QString::fromLatin1(kNames[int(state)]);
}

MapSocket::State MapSocket::state() const
{
    switch (m_socket->state()) {
    case QAbstractSocket::HostLookupState:
        return State::ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return State::Connecting;
    case QAbstractSocket::ConnectedState:
        return State::Connected;
    case QAbstractSocket::ClosingState:
        return State::Closing;
    case QAbstractSocket::BoundState:
        return State::Open;
    case QAbstractSocket::ListeningState:
        return State::Listening;
    case QAbstractSocket::UnconnectedState:
    default:
        if (m_failed)
            return State::Error;
        return m_peerClosed ? State::Closing : State::Closed;
    }
}

void MapSocket::connectToHost()
{
    if (state() != State::Closed)
        throw Failure(Failure::WrongProtocolState);
    m_failed = false;
    m_peerClosed = false;
    m_socket->connectToHost(m_host, quint16(m_port));
}

void MapSocket::close()
{
    m_socket->abort();
    m_stallCheck.stop();
    m_failed = false;
    m_peerClosed = false;
    m_paused = false;
}

void MapSocket::send(const QString &text)
{
    if (m_gate && !m_gate())
        throw Failure(
            Failure::WrongProtocolState, QStringLiteral("this gateway no longer holds the lease"));
    if (state() != State::Connected)
        throw Failure(Failure::WrongProtocolState);
    // The stall clock runs from the moment data begins to wait.
    if (m_socket->bytesToWrite() == 0)
        m_progress.restart();
    const QByteArray bytes = CodePage::toBytes(text);
    if (m_socket->write(bytes) != bytes.size())
        throw Failure(Failure::WrongProtocolState, m_socket->errorString());
    if (m_gate)
        m_socket->flush();
    if (!m_stallCheck.isActive())
        m_stallCheck.start();
    if (m_tap)
        m_tap(true, text);
}

bool MapSocket::mayWrite()
{
    if (m_socket->bytesToWrite() < kHighWaterBytes)
        return true;
    m_paused = true;
    return false;
}

void MapSocket::setStallMs(int ms)
{
    m_stallMs = ms;
    m_stallCheck.setInterval(qBound(10, ms / 4, 1000));
}

void MapSocket::checkStall()
{
    if (m_socket->state() != QAbstractSocket::ConnectedState || m_socket->bytesToWrite() == 0) {
        m_stallCheck.stop();
        return;
    }
    if (m_progress.elapsed() < m_stallMs)
        return;
    // A peer that keeps the connection open but reads nothing (a stopped
    // process, a hung host): given up, and the database cycle connects again.
    m_stallCheck.stop();
    m_socket->abort();
    m_failed = true;
    m_paused = false;
    Q_EMIT error(10060,
        QStringLiteral("The map server accepted nothing for %1 s while %2 bytes waited: "
                       "connection given up")
            .arg(m_stallMs / 1000.0)
            .arg(m_socket->bytesToWrite()));
}

void MapSocket::keepAlive()
{
#ifdef Q_OS_LINUX
    // A host that vanishes without a word is noticed by the kernel within
    // about a minute and a half: probes after 30 s of silence, and sent data
    // that stays unacknowledged for 60 s ends the connection.
    const int fd = int(m_socket->socketDescriptor());
    if (fd < 0)
        return;
    const int on = 1, idle = 30, interval = 10, count = 3;
    const unsigned int userTimeoutMs = 60 * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
#endif
}

QString MapSocket::getData()
{
    const QString text = CodePage::toText(m_socket->readAll());
    if (m_tap)
        m_tap(false, text);
    return text;
}

qint64 MapSocket::bytesAvailable() const
{
    return m_socket->bytesAvailable();
}

qint64 MapSocket::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}
