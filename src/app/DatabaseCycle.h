#pragma once

#include "platform/DateTime.h"

#include <QDateTime>
#include <QString>

class Gateway;

// The database cycle, the gateway's heartbeat: at each tick of the database
// timer it keeps the map server's line list fresh, checks and repairs both
// database sessions, drops the day's lines at 04:00, runs the job selection,
// repairs the map connection and pushes the changed lines. It also owns the
// interval box and its up-down control.
class DatabaseCycle
{
public:
    static constexpr int kMinIntervalSeconds = 1;
    static constexpr int kMaxIntervalSeconds = 3600;
    static constexpr int kDefaultIntervalSeconds = 15;

    explicit DatabaseCycle(Gateway &gateway);

    void tmrDB_Timer();

    // The operator changed the interval box / used its up-down arrows.
    void txtInterval_Change(const QString &text);
    void updInterval_Change(int value);

    // Whole seconds 1 to 3600 from the box's text (rounded, clamped; empty
    // text is the default 15); failure 13 for a text that is no number.
    static int intervalSeconds(const QString &text);

    QDateTime lastDBGood() const { return m_dtLastDBGood; }

private:
    // Reopens one session; false (with sStatus set) when that failed.
    bool repairSession(const QString &which, QString &sStatus, double &sngStep);

    Gateway &m_gw;
    QDateTime m_dtLastDBGood = DateTime::zero();
    QDateTime m_dtLastPopup = DateTime::zero();
    bool m_inCycle = false;
};
