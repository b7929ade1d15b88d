#include "common/MapSettings.h"

#include "common/MapProtocol.h"
#include "platform/Convert.h"

QString roleName(StationRole role)
{
    return role == StationRole::Client ? QStringLiteral("Client") : QStringLiteral("Server");
}

std::optional<StationRole> parseRole(const QString &word)
{
    for (const StationRole role : {StationRole::Server, StationRole::Client}) {
        if (Convert::sameText(word, roleName(role)))
            return role;
    }
    return std::nullopt;
}

void MapSettings::applyRoleLogin()
{
    if (strRole == StationRole::Server) {
        strMapUserID = MapProtocol::kServerUserId;
        strMapPassword = MapProtocol::kServerPassword;
    } else {
        strMapUserID = MapProtocol::kClientUserId;
        strMapPassword = MapProtocol::kClientPassword;
    }
}
