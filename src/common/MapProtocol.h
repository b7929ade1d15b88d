#pragma once

#include <QString>

// The texts exchanged with the map server, in one place. Every message is one
// line that begins with "$", has its fields separated by "," and ends with
// "\r\n" when we send it; inside some fields the two characters backslash and
// "c" separate items.
namespace MapProtocol {

inline const QString kLineEnd = QStringLiteral("\r\n");
inline const QString kFieldSeparator = QStringLiteral(",");
inline const QString kItemSeparator = QStringLiteral("\\c"); // backslash + c
inline const QString kEscapedNewLine = QStringLiteral("\\n"); // backslash + n, removed
inline constexpr char16_t kMessageStart = u'$';
inline constexpr char16_t kMessageEnd = u'\r';
inline constexpr int kDefaultPort = 21953;

// The organisation our pushed messages carry.
inline const QString kOrganization = QStringLiteral("dedod");
// Vehicles of our organisation in the map server's line list: "dedod/<id>".
inline const QString kOrganizationPrefix = QStringLiteral("dedod/");

// Sent by the gateway.
inline const QString kLogin = QStringLiteral("$L,"); // + user ID + "," + password
inline const QString kLineListRequest = QStringLiteral("$Q,0");
inline const QString kSetUpdateModeS = QStringLiteral("$SetUpdateMode,S");
inline const QString kNotifyOrganization = QStringLiteral("$NotifyOrganization,");
inline const QString kExpLineSched = QStringLiteral(",ExpLineSched\\c");
inline const QString kNotFound = QStringLiteral("Not Found");
inline const QString kEmptyVehicle = QStringLiteral("***");

// Map logins by station role.
inline const QString kServerUserId = QStringLiteral("orvik");
inline const QString kServerPassword = QStringLiteral("qzt");
inline const QString kClientUserId = QStringLiteral("1");
inline const QString kClientPassword = QStringLiteral("7");

// Received from the map server (command words compare without regard to case).
inline const QString kUpdateMode = QStringLiteral("$A");
inline const QString kLineList = QStringLiteral("$Q");
inline const QString kMapNotification = QStringLiteral("$MapNotification");
inline const QString kExpLineSchedReq = QStringLiteral("ExpLineSchedReq");
inline const QString kUpdateModeReport = QStringLiteral("L"); // field 1 of "$A"

} // namespace MapProtocol
