#pragma once

#include <QString>

#include <memory>

class DbSession;

// The two database sessions and the data source of the jobs session. The
// logon dialog sets the source; the session opener (SqlConnect) alone makes,
// replaces and drops the sessions; everyone else only runs statements on them.
struct Sessions
{
    QString strSQLServer; // data source of the jobs session
    QString strCatalog;

    std::shared_ptr<DbSession> cnJobs; // "JOBS"; null when absent
    std::shared_ptr<DbSession> cnORVIKDB; // "ORVIKDB"; null when absent
};
