#pragma once

#include <QString>

#include <memory>

class DbSession;
class Gateway;

// (Re)opens the jobs session "JOBS" and the second session "ORVIKDB": closes
// the named one(s), then makes each anew, sets its properties in the fixed
// order and opens it synchronously.
class SqlConnect
{
public:
    explicit SqlConnect(Gateway &gateway);

    // which: "JOBS", "ORVIKDB" or empty for both (letter case ignored).
    // caller: only "tmrDB_Timer" changes the failure handling. ok is true
    // only when every step ran.
    void SQLConnect(bool &ok, const QString &caller, const QString &which);

    // A new, unopened session set up as the named one is.
    std::shared_ptr<DbSession> makeJobsSession() const;
    std::shared_ptr<DbSession> makeOrvikDbSession() const;

private:
    void setCommon(DbSession &session) const;
    int connectionTimeout() const;

    Gateway &m_gw;
    bool m_boxShown = false;
};
