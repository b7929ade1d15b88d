#include "service/SettingsReload.h"

#include "common/MapSettings.h"
#include "common/MenuMarks.h"
#include "common/Sessions.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "diag/ErrorLog.h"
#include "maplink/MapLink.h"
#include "pair/PairConfig.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "service/StatusEndpoint.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <QFileInfo>
#include <QStringList>

namespace {

const QString kProcedure = QStringLiteral("Reload");
const QString kMap = QStringLiteral("ORVIKMap");
const QString kDatabase = QStringLiteral("Database");
const QString kMisc = QStringLiteral("Misc");
const QString kDefaultDriver = QStringLiteral("ODBC Driver 18 for SQL Server");

} // namespace

SettingsReload::SettingsReload(
    Parts parts, Targets targets, const Settings &settings, ErrorLog &log, QObject *parent)
    : QObject(parent), m_parts(parts), m_t(targets), m_settings(settings), m_log(log)
{
    m_wait.setSingleShot(true);
    m_wait.setInterval(100);
    connect(&m_wait, &QTimer::timeout, this, &SettingsReload::reload);
}

void SettingsReload::capture()
{
    m_driver = m_settings.ReadINI(kDatabase, QStringLiteral("ODBCDriver"), kDefaultDriver);
    m_timeout
        = m_settings.ReadINI(kDatabase, QStringLiteral("Connection TimeOut"), QStringLiteral("20"));
}

void SettingsReload::reload()
{
    // A cycle lets the event loop run while it waits for the database; the
    // sessions and the map must not change under it.
    if (m_parts.cycle.running()) {
        m_wait.start();
        return;
    }
    const auto failure = m_log.trap(kProcedure, [this] { reloadNow(); });
    if (failure)
        Q_EMIT reloaded(false);
}

void SettingsReload::reopen(Which which)
{
    m_parts.database.open(which == Which::Both ? SqlConnect::Which::Both
            : which == Which::Jobs             ? SqlConnect::Which::Jobs
                                               : SqlConnect::Which::OrvikDb,
        m_t.source, {});
}

SettingsReload::Running SettingsReload::running() const
{
    const DbStatus &s = m_parts.database.status();
    Running r;
    r.jobs = s.jobs.present;
    r.orvikDb = s.orvikDb.present;
    // What the second session was opened on, as it says itself.
    r.orvikDbSource = s.orvikDb.dataSource;
    return r;
}

void SettingsReload::reloadNow()
{
    const Settings &ini = m_settings;
    QStringList problems;
    if (!QFileInfo::exists(ini.filePath()))
        problems << ini.filePath() + QStringLiteral(" is not there");
    for (const SettingsCheck::Entry &e : SettingsCheck::review(ini)) {
        if (!e.problem.isEmpty())
            problems << e.problem;
    }
    if (!problems.isEmpty()) {
        m_log.Err2File(kProcedure,
            QStringLiteral("Volmara.INI not reloaded: ") + problems.join(QStringLiteral("; "))
                + QStringLiteral(". The running settings stay."),
            0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
        Q_EMIT reloaded(false);
        return;
    }

    QStringList done;
    DatabaseCycle &cycle = m_parts.cycle;

    // The interval: into the box, and the countdown restarted so that it
    // counts from now (the next tick sets the new interval).
    const QString intervalText
        = ini.ReadINI(kMisc, QStringLiteral("DBInterval"), QStringLiteral("15"));
    const int before = SettingsCheck::intervalUsed(cycle.intervalTag());
    const int after = SettingsCheck::intervalUsed(intervalText);
    if (before != after) {
        cycle.applyInterval(intervalText);
        done << QStringLiteral("DBInterval %1 -> %2 s").arg(before).arg(after);
    }

    // The map server.
    MapSettings &map = m_t.map;
    const QString mapIp = ini.ReadINI(kMap, QStringLiteral("MapIP"), QString());
    const quint16 port = quint16(
        Convert::toLong(ini.ReadINI(kMap, QStringLiteral("Port"), QStringLiteral("21953"))));
    const qint16 gmt
        = Convert::toInteger(ini.ReadINI(kMap, QStringLiteral("GMT"), QStringLiteral("2")));
    if (gmt != map.iGMTOffset) {
        done << QStringLiteral("GMT %1 -> %2").arg(map.iGMTOffset).arg(gmt);
        map.iGMTOffset = gmt;
    }
    if (mapIp != map.strMapIP || port != map.iMapPort) {
        const QString from = map.strMapIP + QLatin1Char(':') + QString::number(map.iMapPort);
        const QString to = mapIp + QLatin1Char(':') + QString::number(port);
        map.strMapIP = mapIp;
        map.iMapPort = port;
        // Before the first connection the supervisor takes the new values.
        const bool connected
            = cycle.everStarted() || m_t.sckMap.state() != MapSocket::State::Closed;
        if (connected)
            m_parts.mapLink.MapConnect();
        done << QStringLiteral("map %1 -> %2%3")
                    .arg(from, to, connected ? QStringLiteral(", reconnecting") : QString());
    }

    // The data sources: a session already made is reopened on its new one.
    DataSource &sessions = m_t.source;
    const QString jobsServer = ini.ReadINI(kDatabase, QStringLiteral("SQLServer"), QString());
    const QString orvikServer = ini.ReadINI(kDatabase, QStringLiteral("ORVIKDBServer"), jobsServer);
    const QString driver = ini.ReadINI(kDatabase, QStringLiteral("ODBCDriver"), kDefaultDriver);
    const QString timeout
        = ini.ReadINI(kDatabase, QStringLiteral("Connection TimeOut"), QStringLiteral("20"));
    const bool driverChanged = driver != m_driver;
    const Running now = running();
    const QString orvikRunning = now.orvikDb ? now.orvikDbSource : orvikServer;
    bool jobsChanged = jobsServer != sessions.strSQLServer || driverChanged;
    bool orvikChanged = orvikServer != orvikRunning || driverChanged;
    if (jobsServer != sessions.strSQLServer)
        done << QStringLiteral("SQLServer %1 -> %2")
                    .arg(SettingsCheck::withoutPassword(sessions.strSQLServer),
                        SettingsCheck::withoutPassword(jobsServer));
    if (orvikServer != orvikRunning)
        done << QStringLiteral("ORVIKDBServer %1 -> %2")
                    .arg(SettingsCheck::withoutPassword(orvikRunning),
                        SettingsCheck::withoutPassword(orvikServer));
    if (driverChanged)
        done << QStringLiteral("ODBCDriver %1 -> %2").arg(m_driver, driver);
    sessions.strSQLServer = jobsServer;
    jobsChanged = jobsChanged && now.jobs;
    orvikChanged = orvikChanged && now.orvikDb;
    if (jobsChanged || orvikChanged) {
        reopen(jobsChanged && orvikChanged ? Which::Both
                : jobsChanged              ? Which::Jobs
                                           : Which::OrvikDb);
        done << (jobsChanged && orvikChanged ? QStringLiteral("both sessions reopened")
                : jobsChanged                ? QStringLiteral("JOBS session reopened")
                                             : QStringLiteral("ORVIKDB session reopened"));
    }
    if (timeout != m_timeout)
        done << QStringLiteral("Connection TimeOut %1 -> %2 s (from the next open)")
                    .arg(m_timeout, timeout);
    m_driver = driver;
    m_timeout = timeout;

    // The switch that copies what is sent to the map into a file.
    const QString sent
        = ini.ReadINI(kMisc, QStringLiteral("SentLines2File"), QStringLiteral("False"));
    const bool debugAll = !sent.isEmpty() && Convert::toBool(sent);
    if (debugAll != m_t.marks.checked(MenuMarks::mnuDebugAll)) {
        m_t.marks.request(MenuMarks::mnuDebugAll, debugAll);
        done << QStringLiteral("SentLines2File -> %1")
                    .arg(debugAll ? QStringLiteral("True") : QStringLiteral("False"));
    }

    // The pair: named, not applied (see the class comment).
    const PairConfig pair = PairConfig::readSettings(ini);
    const auto named
        = [](const QString &name) { return name.isEmpty() ? QStringLiteral("(none)") : name; };
    if (pair.name != m_t.pair.name)
        done << QStringLiteral("[Pair] Name %1 -> %2 (at the next start)")
                    .arg(named(m_t.pair.name), named(pair.name));
    if (pair.leaseSeconds != m_t.pair.leaseSeconds)
        done << QStringLiteral("[Pair] LeaseSeconds %1 -> %2 s (at the next start)")
                    .arg(m_t.pair.leaseSeconds)
                    .arg(pair.leaseSeconds);

    const QString status = m_parts.status.apply();
    if (!status.isEmpty())
        done << status;

    m_log.logMessage(kProcedure,
        QStringLiteral("Volmara.INI reloaded: ")
            + (done.isEmpty() ? QStringLiteral("nothing changed")
                              : done.join(QStringLiteral("; "))));
    Q_EMIT reloaded(true);
}
