#pragma once

#include "diag/Outage.h"

#include <QString>

#include "platform/Failure.h"

#include <memory>
#include <optional>

class Clock;
class DbActivity;
class DbSession;
class ErrorLog;
class Failure;
class Settings;
struct Sessions;

// (Re)opens the jobs session "JOBS" and the second session "ORVIKDB": closes
// the named one(s), then makes each anew, sets its properties in the fixed
// order and opens it synchronously. The one writer of the sessions; it runs
// on the database thread, which owns them. What a failure shows the
// operator (a message box at the logon dialog) is the caller's, on the event
// thread.
class SqlConnect
{
public:
    enum class Which { Both, Jobs, OrvikDb };

    // settings: read where the database thread reads them (an instance of
    // its own); activity: what the sessions report their waits to (none: no
    // report).
    SqlConnect(const Settings &settings, Sessions &sessions, const Clock &clock, ErrorLog &log,
        DbActivity *activity = nullptr);

    // True only when every step ran; the failure is logged here and kept in
    // lastFailure().
    bool SQLConnect(Which which = Which::Both);
    const std::optional<Failure> &lastFailure() const { return m_lastFailure; }
    // The name each session opened from now on carries on a server that
    // names sessions (a standby pair's gateway); empty: none.
    void setSessionLabel(const QString &label) { m_label = label; }

    // A new, unopened session set up as the named one is.
    std::shared_ptr<DbSession> makeJobsSession() const;
    std::shared_ptr<DbSession> makeOrvikDbSession() const;

    // "JOBS Data Source = sqlsrv01, Catalog = ORVIK_Jobs: " (no password),
    // what a failed open's record names.
    static QString describe(const QString &name, const DbSession &session);

private:
    void setCommon(DbSession &session) const;
    void label(DbSession &session) const;
    int connectionTimeout() const;

    const Settings &m_settings;
    Sessions &m_sessions;
    const Clock &m_clock;
    ErrorLog &m_log;
    DbActivity *m_activity;
    std::optional<Failure> m_lastFailure;
    QString m_label;
    // A session that failed to open is down until it opens again; its
    // return is recorded with how long it was away.
    Outage m_jobsDown, m_orvikDown;
};
