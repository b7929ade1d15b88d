#include "settings/LogOnLogic.h"

#include "common/DbNames.h"
#include "common/MapProtocol.h"
#include "common/MapSettings.h"
#include "common/Sessions.h"
#include "common/TaskTimer.h"
#include "common/Ui.h"
#include "common/Version.h"
#include "diag/ErrorLog.h"
#include "platform/Convert.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

namespace {

const QString kMap = QStringLiteral("ORVIKMap");
const QString kDatabase = QStringLiteral("Database");
const QString kNotApplied = QStringLiteral("Database (ODBC DSN) not Applied");

} // namespace

LogOnLogic::LogOnLogic(const Settings &settings, MapSettings &map, DataSource &source,
    MapSocket &sckMap, std::function<void()> closeJobs, TaskTimer &tasks, Ui &ui, ErrorLog &log)
    : m_settings(settings),
      m_map(map),
      m_source(source),
      m_closeJobs(std::move(closeJobs)),
      m_sckMap(sckMap),
      m_tasks(tasks),
      m_ui(ui),
      m_log(log)
{
}

LogOnEntries LogOnLogic::readSettings() const
{
    const Settings &ini = m_settings;
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

bool LogOnLogic::ApplyLogOn(Mode mode, const LogOnEntries &e, const QString &connectCaption,
    const std::function<void()> &unload)
{
    bool started = false;
    m_log.trap(QStringLiteral("cmdConnect_Click"), [&] {
        const bool user = mode == Mode::User;
        const bool automatic = mode == Mode::Automatic;
        Ui &ui = m_ui;

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
            const Settings &ini = m_settings;
            ini.WriteINI(kMap, QStringLiteral("MapIP"), e.txtMapIP);
            ini.WriteINI(kMap, QStringLiteral("Port"), e.txtPort);
            ini.WriteINI(kMap, QStringLiteral("GMT"), e.txtGMT);
            ini.WriteINI(kDatabase, QStringLiteral("SQLServer"), e.lstDBs.first());
        }

        MapSettings &st = m_map;
        st.strMapIP = e.txtMapIP;
        // Any TCP port: a map server on a port above 32767 is reachable too.
        const qint32 port = Convert::toLong(e.txtPort);
        if (port < 0 || port > 65535)
            throw Failure(Failure::Overflow);
        st.iMapPort = quint16(port);
        st.applyRoleLogin();
        m_source.strSQLServer = e.lstDBs.first();
        m_source.strCatalog = DbNames::kJobsCatalog;
        st.iGMTOffset = Convert::toInteger(e.txtGMT);

        if (automatic)
            unload();

        m_tasks.run(TaskStep::StartConnectAll);
        started = true;
    });
    return started;
}

void LogOnLogic::closeConnections()
{
    m_sckMap.close();
    if (m_closeJobs)
        m_closeJobs();
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
    if (!m_ui.askYesNo(QStringLiteral("Are you sure that you want ro remove this item?"),
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
