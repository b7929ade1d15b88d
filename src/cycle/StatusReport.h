#pragma once

#include "common/DbStatus.h"

#include <QString>

class ErrorLog;
class MapSocket;
class StatusPanels;
class Ui;
struct StatusRows;

// The connection summary: the status bar's panel, the status row's text and
// the status popup. Sending the empty liveness line on the way is what shows
// a dead map connection.
class StatusReport
{
public:
    // sessions: as the database thread last reported them.
    StatusReport(const DbStatus &sessions, MapSocket &sckMap, StatusRows &rows,
        StatusPanels &panels, Ui &ui, ErrorLog &log);

    // The one-line connection summary; sends the liveness probe on the way.
    // False (with text empty) when a failure ended it; it is logged here.
    bool Statuses(QString &text);
    // The summary into strStatus and the status panel. False when a failure
    // cut it short (logged).
    bool ShowStatuses();
    // The status popup with the jobs session's and the map's state numbers.
    void mnuStatus_Click();

    // The summary as Statuses() makes it, without its probe: for those who
    // only look (the status page).
    QString summaryText() const;
    // What the status popup would say now.
    QString popupText() const;
    // Its first line: "SQLServer Status - 1" or "SQLServer Status - Nothing".
    QString popupFirstLine() const;

    // "JOBS - Open, Connection Status not Open" and the like.
    static QString sessionSummary(const QString &name, const DbStatus::Session &session);

private:
    const DbStatus &m_sessions;
    MapSocket &m_sckMap;
    StatusRows &m_rows;
    StatusPanels &m_panels;
    Ui &m_ui;
    ErrorLog &m_log;
};
