#pragma once

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// A stand-in for the fleet-tracking map server: accepts the gateway's
// connection, shows and records what it sends, answers the login and the
// line-list request, and asks for a line's schedules on a timer.
class MapSim : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QHostAddress host = QHostAddress::LocalHost;
        quint16 port = 21953;
        QStringList vehicles;
        QString updateMode; // reported in the login answer "$A,L,<mode>"
        QString requestLine; // route name to ask for; empty: never
        int requestEverySeconds = 30;
        QString requestOrganization = QStringLiteral("dedod");
        int dropAfterSeconds = 0; // 0: keep connections
        QString receivedFile; // raw copy of every received byte; empty: none
        bool quiet = false;
    };

    explicit MapSim(const Options &options, QObject *parent = nullptr);

    // Listens; prints "Listening on <host>:<port>" and returns true on success.
    bool start();
    quint16 port() const;

    // Closes every client connection; the listener stays.
    void dropAll(const QString &why);
    // Sends one line ("\r\n" added) to every client.
    void sendToAll(const QString &line);

    static QStringList defaultVehicles();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *client);
    void handleLine(QTcpSocket *client, const QString &line);
    void send(QTcpSocket *client, const QString &line);
    void sendRequest();
    void readStdin();
    void print(const QString &tag, const QString &text) const;
    static QString peerName(const QTcpSocket *client);

    Options m_opt;
    QTcpServer *m_server;
    QList<QTcpSocket *> m_clients;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QFile m_received;
    QTimer m_requestTimer;
    QSocketNotifier *m_stdin = nullptr;
    QByteArray m_stdinBuffer;
    int m_requestSeq = 0;
};
