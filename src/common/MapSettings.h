#pragma once

#include <QString>

#include <optional>

// The station role named on the command line: it decides the map login and
// which vehicles of the map server's line list are kept.
enum class StationRole { Server, Client };

// "Server" or "Client".
QString roleName(StationRole role);
// The role a word names (letter case ignored); nothing for any other word.
std::optional<StationRole> parseRole(const QString &word);

// Where the map server is and how we log in to it. Written by the logon
// dialog (from the settings file or the operator's entries) and by start-up
// (the role); read by the map link.
struct MapSettings
{
    StationRole strRole = StationRole::Server;
    QString strMapIP;
    quint16 iMapPort = 0; // any TCP port, 1 to 65535
    QString strMapUserID;
    QString strMapPassword;
    qint16 iGMTOffset = 0;

    // The map login of the role.
    void applyRoleLogin();
};
