#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QVersionNumber>

#include <memory>

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

// A throwaway PostgreSQL cluster for the server-path tests and the cycle
// benchmark (header-only, Qt Core and Network alone): made in a
// temporary folder, listening on a free port of 127.0.0.1 only, stopped and
// started again on the same port at will, and stopped and removed when the
// object goes (a watchdog does the same if the test program dies first).
//
// initdb and pg_ctl refuse to run as root: as root they run as the user
// "postgres", which then owns the folder.
class PgServer
{
public:
    static constexpr const char *kUser = "volmara";
    static constexpr const char *kDatabase = "volmara";

    PgServer() = default;
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;
    ~PgServer() { destroy(); }

    // The folder of the server's programs (initdb, pg_ctl, postgres, psql):
    // $VOLMARA_PG_BIN, else the newest /usr/lib/postgresql/<n>/bin, else the
    // PATH. Empty when there is none.
    static QString binDir()
    {
        const QString fromEnv = qEnvironmentVariable("VOLMARA_PG_BIN");
        if (!fromEnv.isEmpty())
            return hasPrograms(fromEnv) ? fromEnv : QString();
        QString best;
        QVersionNumber bestVersion;
        const QDir lib(QStringLiteral("/usr/lib/postgresql"));
        for (const QString &v : lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString bin = lib.filePath(v + QStringLiteral("/bin"));
            const QVersionNumber version = QVersionNumber::fromString(v);
            if (hasPrograms(bin) && (best.isEmpty() || version > bestVersion)) {
                best = bin;
                bestVersion = version;
            }
        }
        if (!best.isEmpty())
            return best;
        const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
    }

    // Why the server cannot run here (empty when it can).
    static QString unavailableReason()
    {
        if (binDir().isEmpty())
            return QStringLiteral("PostgreSQL server programs (initdb, pg_ctl, postgres, psql) "
                                  "not found: install the Debian package postgresql "
                                  "(scripts/deps) or set VOLMARA_PG_BIN");
        if (::geteuid() == 0 && !::getpwnam("postgres"))
            return QStringLiteral("running as root without a \"postgres\" user to run the "
                                  "PostgreSQL server as");
        if (::geteuid() == 0 && QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty())
            return QStringLiteral("running as root without runuser");
        return QString();
    }

    // Makes the cluster (first time only) and starts the server.
    bool start()
    {
        if (!m_dir)
            return init();
        return pgCtl({QStringLiteral("start"), QStringLiteral("-w"), QStringLiteral("-t"),
            QStringLiteral("30"), QStringLiteral("-l"),
            m_dir->filePath(QStringLiteral("server.log")), QStringLiteral("-o"), serverOptions()});
    }

    // Stops the server at once; the cluster stays for the next start.
    bool stop()
    {
        if (!m_dir)
            return true;
        return pgCtl({QStringLiteral("stop"), QStringLiteral("-w"), QStringLiteral("-m"),
            QStringLiteral("fast")});
    }

    quint16 port() const { return m_port; }
    // The server's processes (the postmaster and its children), to stop and
    // continue them as a host that hangs would; empty when it does not run.
    QList<pid_t> serverPids() const
    {
        QFile pidFile(dataDir() + QStringLiteral("/postmaster.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return {};
        const pid_t master = pid_t(pidFile.readLine().trimmed().toInt());
        QList<pid_t> pids{master};
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray s = stat.readAll();
            // "pid (name) state ppid ...": the name may hold spaces.
            const QList<QByteArray> rest = s.mid(s.lastIndexOf(')') + 2).split(' ');
            if (rest.size() > 1 && pid_t(rest.at(1).toInt()) == master)
                pids << pid_t(entry.toInt());
        }
        return pids;
    }
    // The cluster's folder (postmaster.pid is there while it runs).
    QString dataDir() const { return m_dir->filePath(QStringLiteral("data")); }
    QString lastError() const { return m_lastError; }

    // A DSN-less connection string for the named psqlODBC driver.
    QString connectionString(const QString &driver = QStringLiteral("PostgreSQL Unicode")) const
    {
        return QStringLiteral(
            "DRIVER={%1};SERVER=127.0.0.1;PORT=%2;DATABASE=%3;UID=%4;PWD=x;CommLog=0")
            .arg(driver)
            .arg(m_port)
            .arg(QLatin1String(kDatabase), QLatin1String(kUser));
    }

    // Runs SQL through psql on the test database; stops at the first error.
    bool psql(const QString &sql)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QDir(binDir()).filePath(QStringLiteral("psql")),
            {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"),
                QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                QStringLiteral("-U"), QLatin1String(kUser), QStringLiteral("-d"),
                QLatin1String(kDatabase), QStringLiteral("-f"), QStringLiteral("-")});
        p.write(sql.toUtf8());
        p.closeWriteChannel();
        return finished(p, QStringLiteral("psql"));
    }

    // One value of a query (empty text for null or on failure).
    QString scalar(const QString &sql)
    {
        QProcess p;
        p.start(QDir(binDir()).filePath(QStringLiteral("psql")),
            {QStringLiteral("-X"), QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-h"),
                QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                QStringLiteral("-U"), QLatin1String(kUser), QStringLiteral("-d"),
                QLatin1String(kDatabase), QStringLiteral("-c"), sql});
        if (!finished(p, QStringLiteral("psql")))
            return QString();
        QString out = QString::fromUtf8(p.readAllStandardOutput());
        if (out.endsWith(QLatin1Char('\n')))
            out.chop(1);
        return out;
    }

    // The key of Scheds, named SchedsOnce: a row offered again on the next
    // cycle is stored once. A test drops it to have a table without a key.
    static QString schedsKey()
    {
        return QStringLiteral(
            "ALTER TABLE Scheds ADD CONSTRAINT SchedsOnce UNIQUE NULLS NOT DISTINCT "
            "(IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, EndTime, Source, "
            "Destination, TruckNumber, TruckID, ORVIKID);\n");
    }

    // The gateway's tables as the site has them: the jobs, the status rows,
    // the flag, the schedules and the route-times table as RteDB.RouteTimes.
    bool createSchema()
    {
        return psql(
            QStringLiteral(
                "CREATE TABLE Jobs (PKID serial PRIMARY KEY, EntryDT timestamp, CarNo integer, "
                "CarNum varchar(20), RecID integer, DriverCode integer, DriverName varchar(50), "
                "RouteStart timestamp, RouteEnd timestamp, RouteCode integer, "
                "RecordUpdater varchar(50), OrderDate timestamp, UsedFlag integer NOT NULL DEFAULT "
                "0);\n"
                "CREATE TABLE AppStatus (Type varchar(10) PRIMARY KEY, Status varchar(4000));\n"
                "INSERT INTO AppStatus VALUES ('APSTT', ''), ('CRLST', '');\n"
                "CREATE TABLE ShibFlag (Flag integer);\n"
                "INSERT INTO ShibFlag VALUES (0);\n"
                "CREATE TABLE Scheds (IntrMedRecordID integer, Makat varchar(20), "
                "DriverName varchar(50), DriverNumber integer, StartTime timestamp, "
                "EndTime timestamp, Source varchar(50), Destination varchar(50), "
                "TruckNumber varchar(20), TruckID integer, ORVIKID varchar(20));\n"
                "CREATE SCHEMA RteDB;\n"
                "CREATE TABLE RteDB.RouteTimes (RouteName varchar(20), fromDate timestamp, "
                "toDate timestamp, dayofWeek varchar(10), fromTime timestamp, toTime timestamp, "
                "arrivalStr varchar(4000), stayStr varchar(4000));\n")
            + schedsKey());
    }

private:
    static bool hasPrograms(const QString &bin)
    {
        for (const char *name : {"initdb", "pg_ctl", "postgres", "psql"}) {
            if (!QFileInfo(QDir(bin).filePath(QLatin1String(name))).isExecutable())
                return false;
        }
        return true;
    }

    static bool asRoot() { return ::geteuid() == 0; }

    // Runs a server program, as "postgres" when we are root.
    bool runServerProgram(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir->path()); // readable by the server's user
        const QString path = QDir(binDir()).filePath(program);
        if (asRoot())
            p.start(QStringLiteral("runuser"),
                QStringList{
                    QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), path}
                    + args);
        else
            p.start(path, args);
        return finished(p, program);
    }

    bool finished(QProcess &p, const QString &what)
    {
        if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(5000);
            m_lastError = what + QStringLiteral(" did not run: ") + p.errorString();
            return false;
        }
        if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            m_lastError = what + QStringLiteral(" failed: ")
                + QString::fromLocal8Bit(p.readAll()).trimmed();
            return false;
        }
        return true;
    }

    QString serverOptions() const
    {
        // Loopback only; the socket file stays in our folder; no fsync for a
        // cluster that lives for one test run.
        return QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=off")
            .arg(m_port)
            .arg(m_dir->path());
    }

    bool pgCtl(const QStringList &args)
    {
        return runServerProgram(
            QStringLiteral("pg_ctl"), QStringList{QStringLiteral("-D"), dataDir()} + args);
    }

    bool init()
    {
        const QString reason = unavailableReason();
        if (!reason.isEmpty()) {
            m_lastError = reason;
            return false;
        }
        auto dir
            = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("pg-XXXXXX")));
        if (!dir->isValid()) {
            m_lastError = QStringLiteral("no temporary folder: ") + dir->errorString();
            return false;
        }
        if (asRoot()) {
            const passwd *pw = ::getpwnam("postgres");
            if (!pw
                || ::chown(QFile::encodeName(dir->path()).constData(), pw->pw_uid, pw->pw_gid)
                    != 0) {
                m_lastError = QStringLiteral("cannot give the folder to the user postgres");
                return false;
            }
        }
        m_dir = std::move(dir);
        m_port = freePort();
        if (!m_port) {
            m_lastError = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        startWatchdog();
        return runServerProgram(QStringLiteral("initdb"),
                   {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), QLatin1String(kUser),
                       QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                       QStringLiteral("--locale=C"), QStringLiteral("--no-sync")})
            && start() && createDatabase();
    }

    bool createDatabase()
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QDir(binDir()).filePath(QStringLiteral("psql")),
            {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-h"),
                QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                QStringLiteral("-U"), QLatin1String(kUser), QStringLiteral("-d"),
                QStringLiteral("postgres"), QStringLiteral("-c"),
                QStringLiteral("CREATE DATABASE %1").arg(QLatin1String(kDatabase))});
        return finished(p, QStringLiteral("CREATE DATABASE"));
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return 0;
        return probe.serverPort();
    }

    // Should the test program die without its clean-up, a shell waits for it
    // to go and then stops the server and removes the folder.
    void startWatchdog()
    {
        const QString user = asRoot() ? QStringLiteral("runuser -u postgres -- ") : QString();
        const QString script
            = QStringLiteral("while [ -d /proc/%1 ]; do sleep 1; done; "
                             "%2'%3/pg_ctl' -D '%4' -m immediate stop >/dev/null 2>&1; "
                             "rm -rf '%5'")
                  .arg(::getpid())
                  .arg(user, binDir(), dataDir(), m_dir->path());
        QProcess watchdog;
        watchdog.setProgram(QStringLiteral("/bin/sh"));
        watchdog.setArguments({QStringLiteral("-c"), script});
        watchdog.setStandardInputFile(QProcess::nullDevice());
        watchdog.setStandardOutputFile(QProcess::nullDevice());
        watchdog.setStandardErrorFile(QProcess::nullDevice());
        watchdog.startDetached();
    }

    void destroy()
    {
        if (!m_dir)
            return;
        if (QFileInfo::exists(dataDir() + QStringLiteral("/postmaster.pid")))
            pgCtl({QStringLiteral("stop"), QStringLiteral("-w"), QStringLiteral("-m"),
                QStringLiteral("immediate")});
        m_dir.reset(); // removes the folder
        removeDriverLogs();
    }

    // Debian's psqlODBC comes with its communication log on: the driver then
    // writes /tmp/psqlodbc_<program>_<user><pid>.log (the connection string
    // turns off all but its last lines). Ours go with the server.
    static void removeDriverLogs()
    {
        const QString pattern = QStringLiteral("psqlodbc_*%1.log").arg(::getpid());
        for (const QString &folder : {QStringLiteral("/tmp"), QDir::tempPath()}) {
            const QDir dir(folder);
            for (const QString &name : dir.entryList({pattern}, QDir::Files))
                QFile::remove(dir.filePath(name));
        }
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    quint16 m_port = 0;
    QString m_lastError;
};
