#pragma once

#include <QString>
#include <QStringList>

class Gateway;

// The map server's messages the gateway acts on: "$A" (update mode), "$Q"
// (the line list) and "$MapNotification" (a request for a line's schedules).
class InboundCommands
{
public:
    explicit InboundCommands(Gateway &gateway);

    void ProcessDollarA(QStringList &fields);
    void ProcessDollarQ(QStringList &fields);
    void ProcessDollarMapNotification(QString &message);

    // An entry of the line list as the station role admits it, transformed
    // for the list text; a null text when the role does not admit it.
    static QString lineListEntry(const QString &role, const QString &field);

private:
    Gateway &m_gw;
};
