#pragma once

#include "platform/DateTime.h"

#include <QDateTime>
#include <QString>

// One trip of one vehicle on a line: built from a job row, completed with its
// stops from the route-times table. Fields in their stored order; the ones
// this gateway does not fill stay empty.
struct clsSched
{
    QString ORVIKID; // the vehicle in the map system: a copy of CarNum
    QString CarNo;
    QString CarNum; // vehicle number without dashes
    QString Makat; // not filled
    qint32 PKID = 0;
    qint32 PKIDRef = 0; // not filled
    qint32 RecID = 0;
    qint32 OrderNo = 0; // not filled
    QDateTime OrderDate = DateTime::zero(); // not filled
    qint32 RouteCode = 0;
    bool Active = false; // not filled
    bool Cancel = false; // not filled
    QString DriverName;
    qint32 DriverCode = 0;
    QDateTime StartDT = DateTime::zero();
    QDateTime EndDT = DateTime::zero(); // zero when the job has no end
    qint16 Stops = 0; // at least 1 once completed
    QString StTimes;
    QDateTime Sent = DateTime::zero(); // last answer to a request that carried it
    QString Idx; // trip key: RecID in decimal
    QString RuleName; // not filled
    qint16 Priority = 0; // not filled
    QDateTime FromDT = DateTime::zero(); // not filled
    QDateTime ToDT = DateTime::zero(); // not filled
    QString DayOfWeek; // not filled
    QString ArrivalStr;
    QString StayStr;
    QString sPKID; // not filled
    double RowDetect = 0.0; // not filled
    QDateTime SentTime = DateTime::zero(); // not filled
    quint8 SentCount = 0; // not filled
    // Not stored: a print of the job row last written into the trip. The
    // whole day comes again every cycle; an unchanged row is passed over.
    quint64 RowPrint = 0;
    // Not stored: the stops are to be given again (the row was written, or
    // the rules changed), or the last pass failed on this trip's rule.
    bool stopsStale = true;
    bool stopsFailed = false;
};
