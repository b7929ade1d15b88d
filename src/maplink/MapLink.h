#pragma once

#include "diag/Outage.h"

#include <QString>
#include <QStringList>

class Clock;
class ErrorLog;
class InboundCommands;
class MapSocket;
class TaskTimer;
class Ui;
class WindowTable;
struct MapSettings;

// The map server connection as the gateway drives it: connecting, the login
// line, cutting the received stream into "$" ... carriage return messages and
// handing each to its handler by command word.
class MapLink
{
public:
    // A message longer than this is a broken or hostile peer.
    static constexpr int kMaxMessageChars = 1024 * 1024;
    // The line list ("$Q") carries one entry per vehicle of the organisation:
    // "dedod/" and a vehicle number, 12 to 14 characters on the wire. Room for
    // 32 characters each and 250,000 vehicles (2.5 times the largest fleet
    // known) keeps the buffer under 16 MB.
    static constexpr int kLineListEntryChars = 32;
    static constexpr int kMaxFleetVehicles = 250000;
    static constexpr int kMaxLineListChars = kLineListEntryChars * kMaxFleetVehicles;

    // windows and tasks: an error while the logon dialog is loaded stops the
    // supervisor and tells the operator.
    MapLink(MapSocket &sckMap, const MapSettings &map, const WindowTable &windows, TaskTimer &tasks,
        Ui &ui, const Clock &clock, ErrorLog &log, InboundCommands &inbound);

    void MapConnect();

    // Socket events.
    void sckmap_Connect();
    void sckmap_DataArrival(qint64 bytesTotal);
    void sckmap_Error(int number, const QString &description);
    // The connection failed or was given up elsewhere (the cycle): its
    // return will be recorded with how long it was down.
    void noteLost();

    // Frames received text; the part of the data-arrival event after the read.
    void frame(const QString &text);
    // Dispatches one received message by its command word.
    void ProcessMess(QString &message);

    // The bound of a message that begins so: the line list's, when its
    // command word reads "$Q", else the bound of every other message.
    static int messageBound(QStringView head);

    bool inMessage() const { return bInMessage; }
    // The part of a message received so far.
    const QString &recvBuf() const { return strRecvBuf; }

private:
    void dropOversized(bool lineList);

    MapSocket &m_sckMap;
    const MapSettings &m_map;
    const WindowTable &m_windows;
    TaskTimer &m_tasks;
    Ui &m_ui;
    const Clock &m_clock;
    ErrorLog &m_log;
    InboundCommands &m_inbound;
    bool m_boxShown = false; // an error box is waiting for the operator
    QString strRecvBuf; // the message being received
    bool bInMessage = false;
    bool m_lineListRefused = false; // the last line list was past its bound
    Outage m_outage;
};
