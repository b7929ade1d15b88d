#pragma once

#include <QString>

#include <memory>

class DbSession;

// The data source of the jobs session as the logon dialog chose it: the
// event thread's, handed to the database thread with each open.
struct DataSource
{
    QString strSQLServer; // data source of the jobs session
    QString strCatalog;
};

// The two database sessions and the data source they are opened from. They
// belong to the database thread: the session opener (SqlConnect) alone
// makes, replaces and drops them; the job selection and the route-times
// read run their statements on them there. The event thread sees them only
// as a DbStatus.
struct Sessions
{
    QString strSQLServer; // data source of the jobs session
    QString strCatalog;

    std::shared_ptr<DbSession> cnJobs; // "JOBS"; null when absent
    std::shared_ptr<DbSession> cnORVIKDB; // "ORVIKDB"; null when absent
};
