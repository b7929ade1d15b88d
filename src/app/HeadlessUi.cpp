#include "app/HeadlessUi.h"

#include "app/Gateway.h"
#include "diag/ErrorLog.h"
#include "platform/Failure.h"
#include "platform/ProgramFolder.h"
#include "settings/LogOnLogic.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

namespace {

LogRecord::Severity severityOf(Ui::Icon icon)
{
    switch (icon) {
    case Ui::Icon::Critical:
        return LogRecord::Severity::Error;
    case Ui::Icon::Exclamation:
        return LogRecord::Severity::Warning;
    default:
        return LogRecord::Severity::Info;
    }
}

void record(
    ErrorLog &log, const QString &procedure, const QString &message, LogRecord::Severity severity)
{
    log.Err2File(procedure, message, 0, QString(), QStringLiteral("Debug.TXT"), severity);
}

} // namespace

HeadlessUi::HeadlessUi(Gateway &gateway, std::function<void()> configurationError)
    : m_gw(gateway), m_configurationError(std::move(configurationError))
{
}

void HeadlessUi::msgBox(const QString &text, Icon icon, const QString &)
{
    record(m_gw.log(), QStringLiteral("msgBox"), text, severityOf(icon));
}

bool HeadlessUi::askYesNo(const QString &text, Icon, const QString &)
{
    record(m_gw.log(), QStringLiteral("askYesNo"), text + QStringLiteral(" - No (no operator)"),
        LogRecord::Severity::Warning);
    return false;
}

void HeadlessUi::showStatusPopup(const QString &text)
{
    record(m_gw.log(), QStringLiteral("mnuStatus_Click"), text, LogRecord::Severity::Warning);
}

void HeadlessUi::loadLogOn()
{
    LogOnLogic &logic = m_gw.logOnLogic();
    if (!logic.takeAutomaticTurn())
        return; // only the first load applies by itself; there is nothing to show
    // A setting that --check-config refuses (a port of 0, say) is refused
    // here too, rather than tried for ever.
    const Settings &settings = m_gw.settings();
    QStringList problems = SettingsCheck::blockingProblems(settings);
    const bool started = problems.isEmpty()
        && logic.ApplyLogOn(
            LogOnLogic::Mode::Automatic, logic.readSettings(), QStringLiteral("Connect"), [] {});
    // As the dialog does: applied, it unloaded itself during its load.
    if (started)
        throw Failure(Failure::ObjectUnloaded);

    // The window program would wait for a person at the logon dialog here.
    ErrorLog &log = m_gw.log();
    if (problems.isEmpty())
        problems << QStringLiteral("the saved settings were not applied (see the record before)");
    for (const QString &problem : problems)
        record(log, QStringLiteral("MDIForm_Load"), problem, LogRecord::Severity::Error);
    record(log, QStringLiteral("MDIForm_Load"),
        QStringLiteral("Settings incomplete or invalid in ") + settings.filePath()
            + QStringLiteral(": no logon dialog without windows, the gateway ends (status 78)"),
        LogRecord::Severity::Error);
    m_failed = true;
    if (m_configurationError)
        m_configurationError();
}
