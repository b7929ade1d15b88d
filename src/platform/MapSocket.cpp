#include "MapSocket.h"

#include "CodePage.h"
#include "Failure.h"

#include <QTcpSocket>

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
        Q_EMIT connected();
    });
    connect(m_socket, &QTcpSocket::readyRead, this,
        [this] { Q_EMIT dataArrival(m_socket->bytesAvailable()); });
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
    m_failed = false;
    m_peerClosed = false;
}

void MapSocket::send(const QString &text)
{
    if (state() != State::Connected)
        throw Failure(Failure::WrongProtocolState);
    // A peer that keeps the connection open but reads nothing would make the
    // outgoing buffer grow without end: past the bound the connection is
    // given up, and the database cycle connects again.
    if (m_socket->bytesToWrite() > kMaxPendingBytes) {
        m_socket->abort();
        m_failed = true;
        throw Failure(Failure::WrongProtocolState,
            QStringLiteral("The map server reads nothing: connection given up"));
    }
    const QByteArray bytes = CodePage::toBytes(text);
    if (m_socket->write(bytes) != bytes.size())
        throw Failure(Failure::WrongProtocolState, m_socket->errorString());
}

QString MapSocket::getData()
{
    return CodePage::toText(m_socket->readAll());
}

qint64 MapSocket::bytesAvailable() const
{
    return m_socket->bytesAvailable();
}

qint64 MapSocket::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}
