#pragma once

#include "common/MapSettings.h"

#include <QString>
#include <QStringList>

#include <functional>

class Clock;
class ErrorLog;
class MapSocket;
class Metrics;
class mdlSendScheds;
struct LinkState;
struct StatusRows;

// The map server's messages the gateway acts on: "$A" (update mode), "$Q"
// (the line list) and "$MapNotification" (a request for a line's schedules).
class InboundCommands
{
public:
    // lineListReceived: told after every "$Q", handled or not; the database
    // cycle waits for it. metrics: the requests answered and how fast.
    InboundCommands(MapSocket &sckMap, const MapSettings &map, StatusRows &rows, LinkState &link,
        mdlSendScheds &sendScheds, const Clock &clock, ErrorLog &log, Metrics &metrics,
        std::function<void()> lineListReceived);

    void ProcessDollarA(QStringList &fields);
    void ProcessDollarQ(QStringList &fields);
    void ProcessDollarMapNotification(QString &message);
    // A "$Q" answer came, read or not (one too long to read keeps the list
    // in hand): the cycle goes on and asks again when the list is due.
    void lineListAnswered();

    // An entry of the line list as the station role admits it, transformed
    // for the list text; a null text when the role does not admit it.
    static QString lineListEntry(StationRole role, const QString &field);

private:
    MapSocket &m_sckMap;
    const MapSettings &m_map;
    StatusRows &m_rows;
    LinkState &m_link;
    mdlSendScheds &m_sendScheds;
    const Clock &m_clock;
    ErrorLog &m_log;
    Metrics &m_metrics;
    std::function<void()> m_lineListReceived;
};
