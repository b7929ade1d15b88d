#include "db/SqlConnect.h"

#include "common/DbNames.h"
#include "common/Sessions.h"
#include "db/LeaseStatements.h"
#include "diag/ErrorLog.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <tuple>

namespace {

const QString kDatabase = QStringLiteral("Database");

void closeSession(std::shared_ptr<DbSession> &session)
{
    if (session && session->state() != DbSession::Closed)
        session->close();
    session.reset();
}

} // namespace

SqlConnect::SqlConnect(const Settings &settings, Sessions &sessions, const Clock &clock,
    ErrorLog &log, DbActivity *activity)
    : m_settings(settings), m_sessions(sessions), m_clock(clock), m_log(log), m_activity(activity)
{
}

QString SqlConnect::describe(const QString &name, const DbSession &session)
{
    return name + QStringLiteral(" Data Source = ")
        + SettingsCheck::withoutPassword(session.property(QStringLiteral("Data Source")).toString())
        + QStringLiteral(", Catalog = ")
        + session.property(QStringLiteral("Initial Catalog")).toString() + QStringLiteral(": ");
}

int SqlConnect::connectionTimeout() const
{
    const QString text
        = m_settings.ReadINI(kDatabase, QStringLiteral("Connection TimeOut"), QStringLiteral("20"));
    int seconds = 20;
    // A setting that is no number must not keep the databases shut: it is
    // logged and the default stands in.
    if (const auto bad = trapFailure([&] { seconds = Convert::toLong(text); })) {
        m_log.Err2File(QStringLiteral("SQLConnect"), QStringLiteral("Connection TimeOut = ") + text,
            bad->number(), bad->description(), QStringLiteral("Debug.TXT"));
        seconds = 20;
    }
    return seconds;
}

void SqlConnect::label(DbSession &session) const
{
    if (m_label.isEmpty())
        return;
    const QString statement = LeaseStatements::forSession(session)->labelSession(m_label);
    if (!statement.isEmpty())
        session.execute(statement);
}

void SqlConnect::setCommon(DbSession &session) const
{
    session.setActivity(m_activity);
    session.setOdbcDriver(m_settings.ReadINI(
        kDatabase, QStringLiteral("ODBCDriver"), QStringLiteral("ODBC Driver 18 for SQL Server")));
    session.setProvider(QStringLiteral("SQLOLEDB"));
    session.setCursorLocation(3); // client-side
    session.setCommandTimeout(120);
}

std::shared_ptr<DbSession> SqlConnect::makeJobsSession() const
{
    const Sessions &st = m_sessions;
    auto session = std::make_shared<DbSession>();
    setCommon(*session);
    session->setProperty(QStringLiteral("Data Source"), st.strSQLServer);
    session->setProperty(QStringLiteral("Initial Catalog"), st.strCatalog);
    session->setProperty(QStringLiteral("User ID"), DbNames::kJobsUserId);
    session->setProperty(QStringLiteral("Password"), DbNames::kJobsPassword);
    session->setConnectionTimeout(connectionTimeout());
    return session;
}

std::shared_ptr<DbSession> SqlConnect::makeOrvikDbSession() const
{
    const Sessions &st = m_sessions;
    auto session = std::make_shared<DbSession>();
    setCommon(*session);
    session->setProperty(QStringLiteral("Integrated Security"), QStringLiteral("SSPI"));
    // The site server of the schedules database; the jobs server when unset.
    session->setProperty(QStringLiteral("Data Source"),
        m_settings.ReadINI(kDatabase, QStringLiteral("ORVIKDBServer"), st.strSQLServer));
    session->setProperty(QStringLiteral("Initial Catalog"), DbNames::kOrvikDbCatalog);
    session->setConnectionTimeout(connectionTimeout());
    return session;
}

bool SqlConnect::SQLConnect(Which which)
{
    m_lastFailure.reset();
    Sessions &st = m_sessions;
    const bool jobs = which != Which::OrvikDb;
    const bool orvik = which != Which::Jobs;

    QString opening; // which session and data source, for the record
    auto f = trapFailure([&] {
        if (jobs)
            closeSession(st.cnJobs);
        if (orvik)
            closeSession(st.cnORVIKDB);
        if (jobs) {
            auto session = makeJobsSession();
            opening = describe(DbNames::kJobsKey, *session);
            session->open();
            session->setDefaultDatabase(st.strCatalog);
            label(*session);
            st.cnJobs = session;
        }
        if (orvik) {
            auto session = makeOrvikDbSession();
            opening = describe(DbNames::kOrvikDbKey, *session);
            session->open();
            session->setDefaultDatabase(DbNames::kOrvikDbCatalog);
            label(*session);
            st.cnORVIKDB = session;
        }
    });
    if (!f) {
        m_log.endRepeats(QStringLiteral("SQLConnect"));
        for (const auto &[named, name, down] : {std::tuple{jobs, DbNames::kJobsKey, &m_jobsDown},
                 std::tuple{orvik, DbNames::kOrvikDbKey, &m_orvikDown}}) {
            const QString back = named ? down->end(m_clock.now()) : QString();
            if (!back.isEmpty())
                m_log.logMessage(QStringLiteral("SQLConnect"),
                    QString(name) + QStringLiteral(" session works again ") + back);
        }
        return true;
    }
    const QDateTime now = m_clock.now();
    if (jobs)
        m_jobsDown.begin(now);
    if (orvik)
        m_orvikDown.begin(now);
    m_lastFailure = f;
    // The record as operators search for it, then which session and data
    // source it was, in a record of its own.
    m_log.Err2File(QStringLiteral("SQLConnect"), QString(), f->number(), f->description(),
        QStringLiteral("Debug.TXT"));
    if (!opening.isEmpty())
        m_log.Err2File(QStringLiteral("SQLConnect"), opening.chopped(2), 0, QString(),
            QStringLiteral("Debug.TXT"), LogRecord::Severity::Info);
    return false;
}
