#pragma once

#include <QDateTime>
#include <QString>

class Gateway;
class DbSession;

// The main window's status report and menu commands, without the widgets:
// the connection summary, the status bar panels, the status popup, the layout
// pass and the one-shot requests the menu marks carry to the next cycle.
class MainCommands
{
public:
    explicit MainCommands(Gateway &gateway);

    // The one-line connection summary; sends the liveness probe on the way.
    void Statuses(QString &text);
    void ShowStatuses();
    void MDIForm_Resize();

    void mnuRefresh_Click();
    void mnuDebugAll_Click();
    void mnuDebugCurrent_Click();
    void mnuSaveQuery_Click();
    void mnuDB_Click();
    void mnuTicks_Click();
    void mnuClear_Click();
    void mnuStatus_Click();

    // "JOBS - Open, Connection Status not Open" and the like.
    static QString sessionSummary(const QString &name, const DbSession *session);

private:
    Gateway &m_gw;
};
