#include "app/Gateway.h"

#include "app/AppLifecycle.h"
#include "app/MainCommands.h"
#include "app/Supervisor.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "cycle/StatusReport.h"
#include "db/SqlConnect.h"
#include "diag/ErrorLog.h"
#include "maplink/InboundCommands.h"
#include "maplink/MapLink.h"
#include "model/JobsProcessor.h"
#include "model/mdlSendScheds.h"
#include "pair/LeaseKeeper.h"
#include "pair/PairConfig.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"
#include "settings/LogOnLogic.h"
#include "settings/Settings.h"

Gateway::Gateway(const QString &programFolder, QObject *parent)
    : QObject(parent),
      m_folder(programFolder),
      m_log(std::make_unique<ErrorLog>(programFolder, m_clock)),
      m_settings(std::make_unique<Settings>(programFolder)),
      m_marks(new MenuMarks(this)),
      m_tasks(new TaskTimer(this)),
      m_panels(new StatusPanels(this)),
      m_sckMap(new MapSocket(this))
{
    ErrorLog &log = *m_log;
    m_settings->setLog(m_log.get());
    // A record repeated during an outage is counted; its count is written
    // once its minute is over, even when the record stops coming.
    m_logRepeats.setInterval(10000);
    connect(&m_logRepeats, &QTimer::timeout, this, [this] { m_log->flushRepeats(); });
    m_logRepeats.start();

    // A standby pair's lease, on a thread and session of its own; the
    // session is the jobs session's kind, with the keeper's own time-outs.
    m_lease = new LeaseKeeper(
        PairConfig::read(*m_settings),
        [folder = m_folder, clock = &m_clock, log = m_log.get()](
            int seconds, const DataSource &source) {
            const Settings settings(folder);
            Sessions sessions;
            sessions.strSQLServer = source.strSQLServer;
            sessions.strCatalog = source.strCatalog;
            auto session = SqlConnect(settings, sessions, *clock, *log).makeJobsSession();
            session->setCommandTimeout(seconds);
            session->setConnectionTimeout(seconds);
            session->open();
            session->setDefaultDatabase(source.strCatalog);
            return session;
        },
        log, this);

    // The databases: their own thread, which owns both sessions, the
    // session opener and the job selection, and runs every statement.
    m_database = new DatabaseThread(m_folder, m_clock, log, this);
    if (m_lease->config().enabled())
        m_database->setSessionLabel(m_lease->config().sessionLabel());

    // The day's lines: built from the rows, completed, exported to the map.
    m_jobsProcessor = std::make_unique<JobsProcessor>(m_day, log);
    m_sendScheds = std::make_unique<mdlSendScheds>(
        m_day,
        [this](const QString &text) {
            m_sckMap->send(text);
            // One byte per character in the code page.
            m_metrics.linePushed(text.size());
            return m_sckMap->mayWrite();
        },
        *m_marks, m_clock, log);

    // The map link. The "$Q" answer wakes the database cycle, made below.
    m_inbound = std::make_unique<InboundCommands>(*m_sckMap, m_map, m_rows, m_link, *m_sendScheds,
        m_clock, log, m_metrics, [this] { m_cycle->lineListReceived(); });
    m_mapLink = std::make_unique<MapLink>(
        *m_sckMap, m_map, m_windows, *m_tasks, m_ui, m_clock, log, *m_inbound);
    connect(m_sckMap, &MapSocket::connected, this, [this] {
        // A new connection is not logged in until the server answers "$A".
        m_link.bLoggedIn = false;
        m_metrics.mapConnected();
        m_mapLink->sckmap_Connect();
    });
    // The traffic view keeps the lines while the "all" debug mark is on,
    // as "Bufs.TXT" does.
    m_sckMap->setTap([this](bool outgoing, const QString &text) {
        if (m_traffic.isOn())
            m_traffic.add(outgoing ? TrafficTail::Direction::Out : TrafficTail::Direction::In, text,
                m_clock.now());
    });
    connect(m_marks, &MenuMarks::changed, this, [this](MenuMarks::Mark mark, bool on) {
        if (mark == MenuMarks::mnuDebugAll)
            m_traffic.setOn(on);
    });
    if (m_lease->config().enabled()) {
        // No message after this gateway's deadline: the keeper stands it
        // down, and with it the connection closes, before the message goes.
        m_sckMap->setSendGate([this] { return m_lease->checkDeadline(); });
    }
    connect(m_sckMap, &MapSocket::dataArrival, this,
        [this](qint64 n) { m_mapLink->sckmap_DataArrival(n); });
    connect(m_sckMap, &MapSocket::error, this,
        [this](int number, const QString &text) { m_mapLink->sckmap_Error(number, text); });

    // The application: status report, cycle, menu commands, start and end,
    // and the supervisor that the task timer drives.
    m_statusReport = std::make_unique<StatusReport>(
        m_database->status(), *m_sckMap, m_rows, *m_panels, m_ui, log);
    m_cycle = std::make_unique<DatabaseCycle>(
        DatabaseCycle::Parts{*m_database, *m_jobsProcessor, *m_sendScheds, *m_statusReport,
            *m_mapLink, m_metrics, *m_lease},
        DatabaseCycle::Sources{m_source, m_rows}, m_link, m_day, *m_sckMap, *m_marks, *m_settings,
        m_ui, m_clock, log);
    m_commands = std::make_unique<MainCommands>(
        *m_cycle, *m_statusReport, m_link, *m_marks, *m_panels, *m_settings, m_ui, m_clock, log);
    m_lifecycle = std::make_unique<AppLifecycle>(
        AppLifecycle::Targets{m_map, m_link, m_rows, m_windows, *m_marks, *m_panels, *m_cycle,
            *m_tasks, *m_sckMap, *m_database, *m_lease},
        *m_settings, m_ui, m_clock, log);
    m_supervisor = std::make_unique<Supervisor>(
        Supervisor::Parts{*m_commands, *m_lifecycle, *m_mapLink, *m_database, *m_cycle, *m_lease},
        m_source, *m_tasks, m_windows, *m_sckMap, m_ui, log);
    connect(m_tasks, &TaskTimer::timeout, this, [this] { m_supervisor->tmrTasks_Timer(); });
    // Won: the connections are made and the first cycle, a full one, runs
    // at once. Lost: nothing more is written or sent.
    connect(m_lease, &LeaseKeeper::becameActive, this, [this](qint64 term) {
        m_panels->setPanelText(QStringLiteral("keyStatus"),
            QStringLiteral("Active in pair %1, term %2  ").arg(m_lease->config().name).arg(term));
        m_cycle->takeOver();
        m_tasks->run(TaskStep::StartConnectAll);
    });
    connect(m_lease, &LeaseKeeper::stoodDown, this, [this] { standDown(); });
    connect(m_lease, &LeaseKeeper::standingBy, this, [this] {
        m_panels->setPanelText(QStringLiteral("keyStatus"),
            QStringLiteral("Standby in pair %1  ").arg(m_lease->config().name));
    });
    connect(m_database, &DatabaseThread::openFailed, this,
        [this](const QString &text, int number) { m_supervisor->openFailed(text, number); });

    // The logon dialog's logic: it fills the map settings and the jobs
    // session's source and starts the supervisor.
    m_logOnLogic = std::make_unique<LogOnLogic>(
        *m_settings, m_map, m_source, *m_sckMap, [this] { m_database->closeJobs(); }, *m_tasks,
        m_ui, log);
}

void Gateway::standDown()
{
    m_panels->setPanelText(QStringLiteral("keyStatus"),
        QStringLiteral("Standby in pair %1  ").arg(m_lease->config().name));
    m_supervisor->rest();
    m_tasks->stop();
    m_cycle->stop();
    m_cycle->cancel();
    m_sckMap->close();
}

Gateway::~Gateway()
{
    // The database thread ends while the log and the clock it uses still
    // live: as a child it would be deleted only after this object's members,
    // and a record it wrote meanwhile went to a log already gone.
    m_database->finish(3000);
    // So does the lease's thread (a child would go after the log).
    m_lease->release(3000);
}
