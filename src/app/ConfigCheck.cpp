#include "app/ConfigCheck.h"

#include "common/DbNames.h"
#include "common/MapProtocol.h"
#include "common/MapSettings.h"
#include "common/Sessions.h"
#include "common/Ui.h"
#include "common/WindowTable.h"
#include "db/LeaseStatements.h"
#include "db/SqlConnect.h"
#include "db/SqlDialect.h"
#include "db/mdlQueries.h"
#include "diag/ErrorLog.h"
#include "pair/Lease.h"
#include "pair/PairConfig.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTextStream>

ConfigCheck::ConfigCheck(const QString &programFolder, const QString &roleWord)
    : m_folder(programFolder), m_roleWord(roleWord)
{
}

void ConfigCheck::pass(QTextStream &out, const QString &what)
{
    out << "ok    " << what << "\n";
    out.flush();
}

void ConfigCheck::warn(QTextStream &out, const QString &what)
{
    out << "WARN  " << what << "\n";
    out.flush();
}

void ConfigCheck::fail(QTextStream &out, const QString &what)
{
    out << "FAIL  " << what << "\n";
    out.flush();
}

int ConfigCheck::run(QTextStream &out)
{
    const Settings settings(m_folder);
    const QString file = settings.filePath();
    const QString unreadable = SettingsCheck::fileProblem(settings);
    if (!unreadable.isEmpty()) {
        // Its keys read as missing below: this is why.
        fail(out, QStringLiteral("settings file ") + unreadable);
        m_settingFailed = true;
    } else if (QFileInfo::exists(file)) {
        pass(out, QStringLiteral("settings file ") + file);
    } else {
        fail(out, QStringLiteral("settings file ") + file + QStringLiteral(" is not there"));
        m_settingFailed = true;
    }

    const QString note = SettingsCheck::encodingNote(settings);
    if (!note.isEmpty())
        warn(out, note);

    QString mapIp, jobsServer;
    quint16 port = 0;
    bool mapUsable = true;
    for (const SettingsCheck::Entry &e : SettingsCheck::review(settings)) {
        QString shown = e.key.contains(QLatin1String("Server"), Qt::CaseInsensitive)
            ? SettingsCheck::withoutPassword(e.value)
            : e.value;
        if (e.key == QLatin1String("StatusToken") && !shown.isEmpty())
            shown = QStringLiteral("***");
        const QString line = e.name() + QStringLiteral(" = ") + shown
            + (e.fromFile ? QStringLiteral("  (file)") : QStringLiteral("  (default)"));
        // One rule with the start: what stops it fails the check; a value
        // the gateway replaces and starts with is named with the value used.
        if (e.problem.isEmpty()) {
            pass(out, line);
        } else if (e.blocksStart) {
            fail(out, e.problem);
            m_settingFailed = true;
        } else {
            warn(out, e.problem);
        }
        if (e.key == QLatin1String("MapIP"))
            mapIp = e.value;
        else if (e.key == QLatin1String("Port"))
            port = e.problem.isEmpty() ? quint16(Convert::toLong(e.value)) : 0;
        else if (e.key == QLatin1String("SQLServer"))
            jobsServer = e.value;
        if (!e.problem.isEmpty() && e.section == QLatin1String("ORVIKMap")
            && e.key != QLatin1String("GMT"))
            mapUsable = false;
    }

    if (jobsServer.isEmpty())
        fail(out, QStringLiteral("databases not opened: [Database] SQLServer is missing"));
    else
        checkDatabases(out, jobsServer);
    if (mapUsable)
        checkMap(out, mapIp, port);
    else
        fail(out, QStringLiteral("map server not tried: [ORVIKMap] MapIP or Port is not usable"));

    if (m_settingFailed)
        return kSettingInvalid;
    return m_connectionFailed ? kConnectionFailed : kAllPassed;
}

void ConfigCheck::checkDatabases(QTextStream &out, const QString &jobsServer)
{
    // The session opener as the gateway uses it, with a log that writes no
    // file and no operator to ask.
    const Settings settings(m_folder);
    Clock clock;
    ErrorLog log(m_folder, clock);
    log.setFileWrites(false);
    Sessions sessions;
    sessions.strSQLServer = jobsServer;
    sessions.strCatalog = DbNames::kJobsCatalog;
    const SqlConnect opener(settings, sessions, clock, log);

    const struct
    {
        QString name;
        std::shared_ptr<DbSession> session;
        QString setting;
    } all[] = {
        {DbNames::kJobsKey, opener.makeJobsSession(), QStringLiteral("[Database] SQLServer")},
        {DbNames::kOrvikDbKey, opener.makeOrvikDbSession(),
            QStringLiteral("[Database] ORVIKDBServer")},
    };
    for (const auto &one : all) {
        const QString what = QStringLiteral("database ")
            + SqlConnect::describe(one.name, *one.session).chopped(2) + QStringLiteral(" (")
            + one.setting + QLatin1Char(')');
        const auto failure = trapFailure([&] {
            one.session->open();
            one.session->setDefaultDatabase(
                one.session->property(QStringLiteral("Initial Catalog")).toString());
        });
        if (failure) {
            fail(out,
                what + QStringLiteral(": ") + failure->description()
                    + QStringLiteral(" (Error Number: ") + QString::number(failure->number())
                    + QLatin1Char(')'));
            m_connectionFailed = true;
        } else {
            pass(out, what + QStringLiteral(" opened"));
            if (one.name == DbNames::kOrvikDbKey)
                checkSchedsRead(out, what, *one.session);
            if (one.name == DbNames::kJobsKey)
                checkPair(out, settings, *one.session);
        }
        trapFailure([&] {
            if (one.session->state() != DbSession::Closed)
                one.session->close();
        });
    }
}

void ConfigCheck::checkSchedsRead(QTextStream &out, const QString &what, DbSession &session)
{
    // The read of what Scheds holds that the day's first insert makes, for
    // an empty span of time.
    const QDateTime none(QDate(2000, 1, 1), QTime(4, 0));
    const auto failure = trapFailure([&] {
        session.forEachRow(
            SqlDialect::forSession(session)->schedsOfDay(none, none), [](const RowSet::Row &) {});
    });
    if (!failure) {
        pass(out, what + QStringLiteral(": Scheds can be read"));
    } else if (session.isPermissionDenied(*failure)) {
        warn(out,
            what + QStringLiteral(": ") + mdlQueries::selectRefusedText().trimmed()
                + QStringLiteral(" (") + failure->description() + QLatin1Char(')'));
    } else {
        fail(out,
            what + QStringLiteral(": Scheds cannot be read: ") + failure->description()
                + QStringLiteral(" (Error Number: ") + QString::number(failure->number())
                + QLatin1Char(')'));
        m_connectionFailed = true;
    }
}

void ConfigCheck::checkPair(QTextStream &out, const Settings &settings, DbSession &session)
{
    const PairConfig pair = PairConfig::read(settings);
    if (!pair.enabled())
        return;
    const QString what = QStringLiteral("pair ") + pair.name + QStringLiteral(" ([Pair] Name)");
    Lease::Holder holder;
    const auto failure = trapFailure([&] { holder = Lease::read(session, pair.name); });
    if (failure) {
        // Made at the first start where the login may; said here either way.
        warn(out,
            what + QStringLiteral(": the lease table cannot be read (") + failure->description()
                + QStringLiteral("); the gateway makes it if it may, else run on the jobs "
                                 "database: ")
                + LeaseStatements::forSession(session)->createTable());
        return;
    }
    if (!holder.found)
        pass(out,
            what + QStringLiteral(": lease table there, no lease yet (made at the first start)"));
    else if (holder.secondsLeft > 0)
        pass(out,
            what
                + QStringLiteral(": lease held by %1, term %2, %3 s left")
                      .arg(holder.holder)
                      .arg(holder.term)
                      .arg(qRound(holder.secondsLeft)));
    else
        pass(out, what + QStringLiteral(": lease free (term %1 last)").arg(holder.term));
}

void ConfigCheck::checkMap(QTextStream &out, const QString &host, quint16 port)
{
    const QString where = QStringLiteral("map server ") + host + QLatin1Char(':')
        + QString::number(port) + QStringLiteral(" ([ORVIKMap] MapIP, Port)");
    MapSettings map;
    if (const auto role = parseRole(m_roleWord))
        map.strRole = *role;
    map.applyRoleLogin();

    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(kMapTimeoutMs)) {
        fail(out, where + QStringLiteral(": ") + socket.errorString());
        m_connectionFailed = true;
        return;
    }
    const QString login = MapProtocol::kLogin + map.strMapUserID + MapProtocol::kFieldSeparator
        + map.strMapPassword;
    socket.write(CodePage::toBytes(login + MapProtocol::kLineEnd));
    const QString loginShown = MapProtocol::kLogin + map.strMapUserID + MapProtocol::kFieldSeparator
        + QStringLiteral("***");

    // The answer is the line "$A,..." ending in a carriage return; anything
    // the server sends before it (another "$" line) is passed over.
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kMapTimeoutMs) {
        int end;
        while ((end = received.indexOf('\r')) >= 0) {
            const QString line = CodePage::toText(received.left(end)).trimmed();
            received.remove(0, end + 1);
            const QString command = line.section(MapProtocol::kFieldSeparator, 0, 0);
            if (command.compare(MapProtocol::kUpdateMode, Qt::CaseInsensitive) == 0) {
                pass(out,
                    where + QStringLiteral(": login ") + loginShown + QStringLiteral(" answered ")
                        + line);
                socket.disconnectFromHost();
                return;
            }
        }
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        if (socket.waitForReadyRead(int(qMax<qint64>(1, kMapTimeoutMs - clock.elapsed()))))
            received += socket.readAll();
    }
    fail(out,
        where + QStringLiteral(": no \"") + MapProtocol::kUpdateMode
            + QStringLiteral(",...\" answer to the login ") + loginShown
            + QStringLiteral(" within ") + QString::number(kMapTimeoutMs / 1000)
            + QStringLiteral(" s")
            + (socket.state() == QAbstractSocket::ConnectedState
                    ? QString()
                    : QStringLiteral(" (") + socket.errorString() + QLatin1Char(')')));
    m_connectionFailed = true;
}
