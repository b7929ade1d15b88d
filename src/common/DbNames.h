#pragma once

#include <QString>

// The database objects and columns the gateway relies on, in one place. The
// tables belong to other systems at a site; volmara-dbinit creates them for the
// embedded databases.
namespace DbNames {

// Sessions and catalogs.
inline const QString kJobsKey = QStringLiteral("JOBS");
inline const QString kOrvikDbKey = QStringLiteral("ORVIKDB");
inline const QString kJobsCatalog = QStringLiteral("ORVIK_Jobs");
inline const QString kOrvikDbCatalog = QStringLiteral("ORVIKDB");
inline const QString kRouteTimesCatalog = QStringLiteral("RteDB");
inline const QString kJobsUserId = QStringLiteral("orvikuser");
inline const QString kJobsPassword = QStringLiteral("48150362977");

// Jobs (ORVIK_Jobs).
inline const QString kJobs = QStringLiteral("Jobs");
inline const QString kPKID = QStringLiteral("PKID");
inline const QString kEntryDT = QStringLiteral("EntryDT");
inline const QString kCarNo = QStringLiteral("CarNo");
inline const QString kCarNum = QStringLiteral("CarNum");
inline const QString kRecID = QStringLiteral("RecID");
inline const QString kDriverCode = QStringLiteral("DriverCode");
inline const QString kDriverName = QStringLiteral("DriverName");
inline const QString kRouteStart = QStringLiteral("RouteStart");
inline const QString kRouteEnd = QStringLiteral("RouteEnd");
inline const QString kRouteCode = QStringLiteral("RouteCode");
inline const QString kRecordUpdater = QStringLiteral("RecordUpdater");
inline const QString kOrderDate = QStringLiteral("OrderDate");
inline const QString kUsedFlag = QStringLiteral("UsedFlag");
// The selection returns RouteCode under this name.
inline const QString kMakat = QStringLiteral("Makat");

// AppStatus and ShibFlag (ORVIK_Jobs).
inline const QString kAppStatus = QStringLiteral("AppStatus");
inline const QString kStatus = QStringLiteral("Status");
inline const QString kType = QStringLiteral("Type");
inline const QString kAppStatusRow = QStringLiteral("APSTT");
inline const QString kLineListRow = QStringLiteral("CRLST");
inline const QString kShibFlag = QStringLiteral("ShibFlag");
inline const QString kFlag = QStringLiteral("Flag");

// Scheds (ORVIKDB).
inline const QString kScheds = QStringLiteral("Scheds");
inline const QString kIntrMedRecordID = QStringLiteral("IntrMedRecordID");
inline const QString kDriverNumber = QStringLiteral("DriverNumber");
inline const QString kStartTime = QStringLiteral("StartTime");
inline const QString kEndTime = QStringLiteral("EndTime");
inline const QString kSource = QStringLiteral("Source");
inline const QString kDestination = QStringLiteral("Destination");
inline const QString kTruckNumber = QStringLiteral("TruckNumber");
inline const QString kTruckID = QStringLiteral("TruckID");
inline const QString kORVIKID = QStringLiteral("ORVIKID");

// RouteTimes (RteDB).
inline const QString kRouteTimes = QStringLiteral("RouteTimes");
inline const QString kRouteName = QStringLiteral("RouteName");
inline const QString kFromDate = QStringLiteral("fromDate");
inline const QString kToDate = QStringLiteral("toDate");
inline const QString kDayOfWeek = QStringLiteral("dayofWeek");
inline const QString kFromTime = QStringLiteral("fromTime");
inline const QString kToTime = QStringLiteral("toTime");
inline const QString kArrivalStr = QStringLiteral("arrivalStr");
inline const QString kStayStr = QStringLiteral("stayStr");

} // namespace DbNames
