#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// What the status server shows of the gateway at one moment, taken on the
// event thread by whoever knows the gateway (StatusSource). Plain values: the
// server reads nothing else of the gateway.
struct StatusSnapshot
{
    struct Session
    {
        bool present = false; // made at all
        bool open = false; // state flag 1
        bool working = false; // provider's "Connection Status" is 1
        QString summary; // "JOBS - Open" as the status bar says it
    };

    QString version; // "Version 3.0.50"
    QString summary; // the connection summary of the last cycle (status row)
    QString liveSummary; // the same, from the present state
    QString statusPanel; // the status bar's status panel
    QString heartbeat; // the status bar's heartbeat panel
    QString popupText; // what the status popup says now
    QString mapLineList; // the map server's line list, as the status row holds it
    QString startStep; // while the connections are being brought up, the step; else empty

    Session jobs;
    Session orvikDb;

    QString mapAddress; // "host:port"
    QString mapState; // "Connected" and the like
    bool mapConnected = false;
    bool mapLoggedIn = false; // "$A" came on this connection

    // A database wait longer than the stall bound: what, and for how long.
    QString databaseWait;
    qint64 databaseWaitSeconds = 0;

    bool cycleStarted = false;
    int intervalSeconds = 0;
    bool cycleTimerOn = false; // the database timer is counting down
    qint64 msSinceTick = -1; // since the last tick began; -1 before the first

    int lines = 0; // the day's lines held
    int trips = 0; // their trips

    // A standby pair: "single" (no pair), "standby" or "active".
    QString pairRole = QStringLiteral("single");
    QString pairName;
    QString pairHolder; // this gateway: "host pid incarnation"
    qint64 pairTerm = 0; // the term held; 0 when none
    int pairTakeovers = 0; // times this gateway won the lease
    int pairFenced = 0; // times the server refused its writes
    bool pairTrying = false; // a standby's keeper tries the lease
};

// One of the day's lines for the page and /lines.
struct LineSummary
{
    QString key; // the six-character line key
    QString name; // route name (Makat)
    int trips = 0;
    QDateTime firstStart; // wall-clock, as stored; invalid when the line has no trips
    QDateTime lastStart;
    QDateTime lastPush; // invalid when never pushed, or not known
    bool pending = false; // changes not yet sent to the map server
};

// One trip of a line, for /lines?line=KEY.
struct TripSummary
{
    QString key; // trip key
    QString vehicle;
    QString driver;
    QDateTime start; // wall-clock, as stored
    QDateTime end; // invalid when the job has no end
    int stops = 0;
};
