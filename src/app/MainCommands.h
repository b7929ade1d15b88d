#pragma once

#include <QString>

class Clock;
class DatabaseCycle;
class ErrorLog;
class MenuMarks;
class Settings;
class StatusPanels;
class StatusReport;
class Ui;
struct LinkState;

// The main window's menu commands and layout pass, without the widgets: the
// one-shot requests the menu marks carry to the next cycle, the debug
// switches, the traffic window's commands and the status popup.
class MainCommands
{
public:
    MainCommands(DatabaseCycle &cycle, StatusReport &statusReport, LinkState &link,
        MenuMarks &marks, StatusPanels &panels, const Settings &settings, Ui &ui,
        const Clock &clock, ErrorLog &log);

    void MDIForm_Resize();

    void mnuRefresh_Click();
    void mnuDebugAll_Click();
    void mnuDebugCurrent_Click();
    void mnuSaveQuery_Click();
    void mnuDB_Click();
    void mnuTicks_Click();
    void mnuClear_Click();
    void mnuStatus_Click();

private:
    DatabaseCycle &m_cycle;
    StatusReport &m_statusReport;
    LinkState &m_link;
    MenuMarks &m_marks;
    StatusPanels &m_panels;
    const Settings &m_settings;
    Ui &m_ui;
    const Clock &m_clock;
    ErrorLog &m_log;
};
