#pragma once

#include <QString>
#include <QStringList>

class Gateway;

// The map server connection as the gateway drives it: connecting, the login
// line, cutting the received stream into "$" ... carriage return messages and
// handing each to its handler by command word.
class MapLink
{
public:
    // A message longer than this is a broken or hostile peer, not a line list.
    static constexpr int kMaxMessageChars = 1024 * 1024;

    explicit MapLink(Gateway &gateway);

    void MapConnect();

    // Socket events.
    void sckmap_Connect();
    void sckmap_DataArrival(qint64 bytesTotal);
    void sckmap_Error(int number, const QString &description);

    // Frames received text; the part of the data-arrival event after the read.
    void frame(const QString &text);
    // Dispatches one received message by its command word.
    void ProcessMess(QString &message);

    bool inMessage() const { return bInMessage; }

private:
    Gateway &m_gw;
    bool m_boxShown = false; // an error box is waiting for the operator
    bool bInMessage = false;
};
