#include "AppLifecycle.h"

#include "Gateway.h"
#include "MenuMarks.h"
#include "Ui.h"
#include "Version.h"
#include "diag/ErrorLog.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

#include <QCoreApplication>

namespace {

const QString kMisc = QStringLiteral("Misc");

} // namespace

AppLifecycle::AppLifecycle(Gateway &gateway)
    : m_gw(gateway), m_endProcess([] { QCoreApplication::exit(0); })
{
}

QString AppLifecycle::roleFromCommandLine(const QString &commandLine)
{
    const QString word = commandLine.trimmed();
    if (Convert::sameText(word, QStringLiteral("Server")))
        return QStringLiteral("Server");
    if (Convert::sameText(word, QStringLiteral("Client")))
        return QStringLiteral("Client");
    return QStringLiteral("Server");
}

void AppLifecycle::MDIForm_Load(const QString &commandLine)
{
    AppState &st = m_gw.state();
    const auto failure = trapFailure([&] {
        st.strRole = roleFromCommandLine(commandLine);
        st.setWindowLoaded(QStringLiteral("Main"), true);

        m_gw.marks().setChecked(MenuMarks::mnuDebugCurrent, false);
        const QString sentLines = m_gw.settings().ReadINI(
            kMisc, QStringLiteral("SentLines2File"), QStringLiteral("False"));
        bool debugAll = false;
        if (!sentLines.isEmpty()) {
            // A value that is neither a truth word nor a number leaves the mark
            // off; start-up goes on rather than stopping on a typo.
            if (const auto bad = trapFailure([&] { debugAll = Convert::toBool(sentLines); })) {
                m_gw.log().Err2File(QStringLiteral("MDIForm_Load"),
                    QStringLiteral("SentLines2File = ") + sentLines, bad->number(),
                    bad->description(), QStringLiteral("Debug.TXT"));
            }
        }
        m_gw.marks().setChecked(MenuMarks::mnuDebugAll, debugAll);

        QString interval
            = m_gw.settings().ReadINI(kMisc, QStringLiteral("DBInterval"), QStringLiteral("15"));
        if (!Convert::isNumeric(interval))
            interval = QStringLiteral("15");
        m_gw.setIntervalText(interval);
        m_gw.setIntervalTag(interval);

        m_gw.setPanelText(
            QStringLiteral("keyVersion"), Version::panelText() + QStringLiteral("  "));
        StartApp();
        BuildVersion();
        m_gw.ui().showMainWindow();

        st.strTaskStep = QStringLiteral("Main Appearance");
        Gateway::enableTimer(m_gw.tmrTasks());

        m_gw.ui().loadLogOn();
    });
    if (failure) {
        QString description = failure->description();
        // The logon dialog closes itself during its load when it applies the
        // saved settings; that is how an automatic start looks from here.
        if (failure->number() == Failure::ObjectUnloaded)
            description += QStringLiteral(": But this is not an Error");
        m_gw.log().Err2File(QStringLiteral("MDIForm_Load"), QString(), failure->number(),
            description, QStringLiteral("Debug.TXT"));
    }
}

void AppLifecycle::StartApp()
{
    AppState &st = m_gw.state();
    st.bRequestLines = true;
    st.dtLinesTime = m_gw.clock().now();
    st.arrWindows[0].Key = QStringLiteral("Main");
    st.arrWindows[1].Key = QStringLiteral("LogOn");
    st.arrWindows[2].Key = QStringLiteral("IO");
}

void AppLifecycle::BuildVersion()
{
    m_gw.state().strVersion = Version::plainText();
}

bool AppLifecycle::MDIForm_QueryUnload()
{
    const auto failure = trapFailure([&] {
        const bool yes
            = m_gw.ui().askYesNo(QStringLiteral("Are you sure that you want to exit now?"),
                Ui::Icon::Question, Version::kAppTitle);
        if (yes)
            handOverToTaskTimer();
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("MDIForm_QueryUnload"), *failure);
    return true; // the close itself is always refused
}

void AppLifecycle::MDIForm_Unload()
{
    m_gw.state().setWindowLoaded(QStringLiteral("Main"), false);
}

void AppLifecycle::mnuExit_Click()
{
    const auto failure = trapFailure([&] { MDIForm_QueryUnload(); });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("mnuExit_Click"), *failure);
}

void AppLifecycle::requestEnd()
{
    handOverToTaskTimer();
}

void AppLifecycle::handOverToTaskTimer()
{
    m_gw.state().strTaskStep = QStringLiteral("EndProgram");
    Gateway::enableTimer(m_gw.tmrTasks());
}

void AppLifecycle::EndProgram(const QString &caller)
{
    const auto failure = trapFailure([&] {
        m_gw.log().Err2File(
            QStringLiteral("EndProgram"), caller, 0, QString(), QStringLiteral("Debug.TXT"));
        if (m_gw.state().logOnLoaded())
            m_gw.ui().unloadLogOn();
        if (m_gw.state().windowLoaded(QStringLiteral("Main")))
            m_gw.sckMap().close();
        m_gw.tmrTasks().stop();
        m_gw.tmrDB().stop();
        m_endProcess();
    });
    if (failure)
        m_gw.log().logFailure(QStringLiteral("EndProgram"), *failure);
}
