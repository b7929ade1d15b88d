#include "LogOnLogic.h"

#include "Settings.h"
#include "app/Gateway.h"
#include "app/Ui.h"
#include "app/Version.h"
#include "db/DbNames.h"
#include "diag/ErrorLog.h"
#include "maplink/MapProtocol.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"

namespace {

const QString kMap = QStringLiteral("ORVIKMap");
const QString kDatabase = QStringLiteral("Database");
const QString kNotApplied = QStringLiteral("Database (ODBC DSN) not Applied");

} // namespace

LogOnLogic::LogOnLogic(Gateway &gateway) : m_gw(gateway) { }

LogOnEntries LogOnLogic::readSettings() const
{
    const Settings &ini = m_gw.settings();
    LogOnEntries e;
    e.txtMapIP = ini.ReadINI(kMap, QStringLiteral("MapIP"), QString());
    e.txtPort
        = ini.ReadINI(kMap, QStringLiteral("Port"), QString::number(MapProtocol::kDefaultPort));
    const QString server = ini.ReadINI(kDatabase, QStringLiteral("SQLServer"), QString());
    if (!server.isEmpty())
        e.lstDBs << server;
    e.txtGMT = ini.ReadINI(kMap, QStringLiteral("GMT"), QStringLiteral("2"));
    return e;
}

bool LogOnLogic::ApplyLogOn(const QString &mode, const LogOnEntries &e,
    const QString &connectCaption, const std::function<void()> &unload)
{
    bool started = false;
    const auto failure = trapFailure([&] {
        const bool user = Convert::sameText(mode, QStringLiteral("User"));
        const bool automatic = Convert::sameText(mode, QStringLiteral("Automatic"));
        Ui &ui = m_gw.ui();

        // The connected layout ends here: its button closes the dialog.
        if (connectCaption.contains(QStringLiteral("Close this Window"), Qt::CaseInsensitive)) {
            unload();
            return;
        }
        // Only the empty text is missing: blanks pass.
        if (e.txtMapIP.isEmpty()) {
            ui.msgBox(
                QStringLiteral("ORVIK Map IP not Applied"), Ui::Icon::Critical, Version::kAppTitle);
            return;
        }
        if (e.txtPort.isEmpty()) {
            ui.msgBox(QStringLiteral("Port not Applied"), Ui::Icon::Critical, Version::kAppTitle);
            return;
        }
        if (e.lstDBs.isEmpty()) {
            // The automatic start stops silently; the dialog is then shown.
            if (user)
                ui.msgBox(kNotApplied, Ui::Icon::None, Version::kAppTitle);
            return;
        }
        if (e.lstDBs.first().isEmpty()) {
            ui.msgBox(kNotApplied, Ui::Icon::None, Version::kAppTitle);
            return;
        }
        if (e.txtGMT.isEmpty()) {
            ui.msgBox(
                QStringLiteral("GMT Offset not applied"), Ui::Icon::Critical, Version::kAppTitle);
            return;
        }

        // Saved as typed, before anything is converted: a bad port is kept
        // in the file for the operator to see and correct.
        if (user) {
            const Settings &ini = m_gw.settings();
            ini.WriteINI(kMap, QStringLiteral("MapIP"), e.txtMapIP);
            ini.WriteINI(kMap, QStringLiteral("Port"), e.txtPort);
            ini.WriteINI(kMap, QStringLiteral("GMT"), e.txtGMT);
            ini.WriteINI(kDatabase, QStringLiteral("SQLServer"), e.lstDBs.first());
        }

        AppState &st = m_gw.state();
        st.strMapIP = e.txtMapIP;
        // Any TCP port: a map server on a port above 32767 is reachable too.
        const qint32 port = Convert::toLong(e.txtPort);
        if (port < 0 || port > 65535)
            throw Failure(Failure::Overflow);
        st.iMapPort = quint16(port);
        applyRoleLogin();
        st.strSQLServer = e.lstDBs.first();
        st.strCatalog = DbNames::kJobsCatalog;
        st.iGMTOffset = Convert::toInteger(e.txtGMT);

        if (automatic)
            unload();

        st.strTaskStep = QStringLiteral("StartConnectAll");
        Gateway::enableTimer(m_gw.tmrTasks());
        started = true;
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("cmdConnect_Click"), *failure);
    return started;
}

void LogOnLogic::applyRoleLogin()
{
    AppState &st = m_gw.state();
    if (Convert::sameText(st.strRole, QStringLiteral("Server"))) {
        st.strMapUserID = MapProtocol::kServerUserId;
        st.strMapPassword = MapProtocol::kServerPassword;
    } else if (Convert::sameText(st.strRole, QStringLiteral("Client"))) {
        st.strMapUserID = MapProtocol::kClientUserId;
        st.strMapPassword = MapProtocol::kClientPassword;
    }
}

void LogOnLogic::closeConnections()
{
    m_gw.sckMap().close();
    const std::shared_ptr<DbSession> &jobs = m_gw.state().cnJobs;
    if (jobs && jobs->state() != DbSession::Closed)
        jobs->close();
}

QString LogOnLogic::changeCaptionFor(const QString &serverText)
{
    return serverText.trimmed().isEmpty() ? QStringLiteral("Add/Remove") : QStringLiteral("Add");
}

bool LogOnLogic::addServer(QStringList &list, const QString &text)
{
    if (list.contains(text, Qt::CaseInsensitive))
        return false;
    list.append(text);
    return true;
}

bool LogOnLogic::removeServer(QStringList &list, int &selected)
{
    if (selected < 0 || selected >= list.size())
        return false;
    if (!m_gw.ui().askYesNo(QStringLiteral("Are you sure that you want ro remove this item?"),
            Ui::Icon::Question, QStringLiteral("Server Removal")))
        return false;
    list.removeAt(selected);
    if (list.isEmpty())
        selected = -1;
    else
        selected = qMax(0, selected - 1);
    return true;
}

bool LogOnLogic::moveUp(QStringList &list, int &selected)
{
    if (selected <= 0 || selected >= list.size())
        return false;
    list.move(selected, selected - 1);
    --selected;
    return true;
}

bool LogOnLogic::moveDown(QStringList &list, int &selected)
{
    if (selected < 0 || selected >= list.size() - 1)
        return false;
    list.move(selected, selected + 1);
    ++selected;
    return true;
}
