#include "app/Operations.h"

#include "app/Gateway.h"
#include "app/GatewayStatus.h"
#include "diag/ErrorLog.h"
#include "pair/LeaseKeeper.h"
#include "platform/HangupSignal.h"
#include "service/SettingsReload.h"
#include "service/StatusEndpoint.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"
#include "status/LogTail.h"

Operations::Operations(Gateway &gateway, Options options, QObject *parent)
    : QObject(parent), m_gw(gateway), m_options(std::move(options))
{
    Gateway &g = m_gw;
    m_logTail = std::make_unique<LogTail>();
    g.log().addSink(m_logTail.get());
    m_source = std::make_unique<GatewayStatus>(g);
    m_status = std::make_unique<StatusEndpoint>(
        StatusEndpoint::Parts{*m_source, g.metrics(), *m_logTail, g.traffic()}, g.settings(),
        g.clock(), g.log(), m_options.statusListen, m_options.limits);
    m_reload = std::make_unique<SettingsReload>(
        SettingsReload::Parts{g.cycle(), g.mapLink(), g.database(), *m_status},
        SettingsReload::Targets{
            g.mapSettings(), g.dataSource(), g.marks(), g.sckMap(), g.lease().config()},
        g.settings(), g.log());
}

Operations::~Operations()
{
    m_gw.log().removeSink(m_logTail.get());
}

void Operations::start()
{
    m_hangup = std::make_unique<HangupSignal>();
    connect(
        m_hangup.get(), &HangupSignal::reloadRequested, m_reload.get(), &SettingsReload::reload);
    noteSettings();
    m_reload->capture();
    m_status->apply();
}

void Operations::noteSettings()
{
    // What the gateway will change or pass over is said at the start, not
    // found out later from its behaviour.
    ErrorLog &log = m_gw.log();
    const Settings &settings = m_gw.settings();
    const QString note = SettingsCheck::encodingNote(settings);
    if (!note.isEmpty())
        log.Err2File(QStringLiteral("ReadINI"), note, 0, QString(), QStringLiteral("Debug.TXT"),
            LogRecord::Severity::Warning);
    for (const SettingsCheck::Entry &e : SettingsCheck::review(settings)) {
        // The status server's own record says what is wrong with its keys.
        if (e.problem.isEmpty() || (e.blocksStart && !m_options.nameBlocking)
            || e.key.startsWith(QLatin1String("Status")))
            continue;
        log.Err2File(QStringLiteral("ReadINI"), e.problem, 0, QString(),
            QStringLiteral("Debug.TXT"),
            e.blocksStart ? LogRecord::Severity::Error : LogRecord::Severity::Warning);
    }
}
