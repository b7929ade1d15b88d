#pragma once

#include "diag/Outage.h"

#include <QString>

#include <functional>
#include <memory>

class Clock;
class DbSession;
class ErrorLog;
class Settings;
class Ui;
class WindowTable;
struct Sessions;

// (Re)opens the jobs session "JOBS" and the second session "ORVIKDB": closes
// the named one(s), then makes each anew, sets its properties in the fixed
// order and opens it synchronously. The one writer of the sessions.
class SqlConnect
{
public:
    enum class Which { Both, Jobs, OrvikDb };

    // windows: a failure is shown in a message box only while the logon
    // dialog is loaded.
    SqlConnect(const Settings &settings, Sessions &sessions, const WindowTable &windows, Ui &ui,
        const Clock &clock, ErrorLog &log);

    // True only when every step ran. On a failure, beforeReport runs first
    // (the database cycle switches its timer back on there, so that it goes on
    // while a message box waits), then the box and the log record.
    bool SQLConnect(Which which = Which::Both, const std::function<void()> &beforeReport = {});

    // A new, unopened session set up as the named one is.
    std::shared_ptr<DbSession> makeJobsSession() const;
    std::shared_ptr<DbSession> makeOrvikDbSession() const;

    // "JOBS Data Source = sqlsrv01, Catalog = ORVIK_Jobs: " (no password),
    // what a failed open's record names.
    static QString describe(const QString &name, const DbSession &session);

private:
    void setCommon(DbSession &session) const;
    int connectionTimeout() const;

    const Settings &m_settings;
    Sessions &m_sessions;
    const WindowTable &m_windows;
    Ui &m_ui;
    const Clock &m_clock;
    ErrorLog &m_log;
    bool m_boxShown = false;
    // A session that failed to open is down until it opens again; its
    // return is recorded with how long it was away.
    Outage m_jobsDown, m_orvikDown;
};
