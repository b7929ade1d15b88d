#pragma once

#include "common/MapSettings.h"
#include "common/MenuMarks.h"
#include "common/Metrics.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "common/TaskTimer.h"
#include "common/TrafficTail.h"
#include "common/Ui.h"
#include "common/WindowTable.h"
#include "cycle/StatusPanels.h"
#include "maplink/LinkState.h"
#include "model/DayModel.h"
#include "platform/Clock.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class AppLifecycle;
class DatabaseThread;
class DatabaseCycle;
class ErrorLog;
class InboundCommands;
class JobsProcessor;
class LeaseKeeper;
class LogOnLogic;
class MainCommands;
class MapLink;
class MapSocket;
class Settings;
class StatusReport;
class Supervisor;
class mdlSendScheds;

// Where the gateway is put together: it makes the shared state and every part
// of the core, hands each part in its constructor only what that part uses,
// and connects the timers and socket events to their handlers. Nothing below
// app/ knows it; the windows and the executables reach the core through it,
// and tests of the whole drive it with a settable clock and a scripted Ui.
class Gateway : public QObject
{
    Q_OBJECT
public:
    explicit Gateway(const QString &programFolder, QObject *parent = nullptr);
    ~Gateway() override;

    QString programFolder() const { return m_folder; }
    Clock &clock() { return m_clock; }
    ErrorLog &log() { return *m_log; }
    Settings &settings() { return *m_settings; }

    // The operator's side: the real windows, or a test's fake.
    Ui &ui() { return m_ui; }
    void setUi(Ui *ui) { m_ui.setTarget(ui); }

    // The shared state, each piece with its owner named where it is declared.
    MapSettings &mapSettings() { return m_map; }
    // The jobs session's data source as the logon dialog chose it.
    DataSource &dataSource() { return m_source; }
    WindowTable &windows() { return m_windows; }
    StatusRows &statusRows() { return m_rows; }
    LinkState &link() { return m_link; }
    DayModel &day() { return m_day; }
    MenuMarks &marks() { return *m_marks; }
    TaskTimer &tasks() { return *m_tasks; }
    StatusPanels &panels() { return *m_panels; }
    MapSocket &sckMap() { return *m_sckMap; }
    // The running counts for /metrics, and the map traffic kept while the
    // "all" debug mark is on.
    Metrics &metrics() { return m_metrics; }
    TrafficTail &traffic() { return m_traffic; }

    // The parts.
    // A standby pair's lease (without [Pair] Name: the gateway is single).
    LeaseKeeper &lease() { return *m_lease; }
    // The database thread: both sessions, every statement.
    DatabaseThread &database() { return *m_database; }
    JobsProcessor &jobsProcessor() { return *m_jobsProcessor; }
    mdlSendScheds &sendScheds() { return *m_sendScheds; }
    InboundCommands &inbound() { return *m_inbound; }
    MapLink &mapLink() { return *m_mapLink; }
    StatusReport &statusReport() { return *m_statusReport; }
    DatabaseCycle &cycle() { return *m_cycle; }
    MainCommands &commands() { return *m_commands; }
    AppLifecycle &lifecycle() { return *m_lifecycle; }
    Supervisor &supervisor() { return *m_supervisor; }
    // The logon dialog's logic; it outlives every load of the dialog.
    LogOnLogic &logOnLogic() { return *m_logOnLogic; }

private:
    QString m_folder;
    Clock m_clock;
    std::unique_ptr<ErrorLog> m_log;
    std::unique_ptr<Settings> m_settings;
    UiSlot m_ui;

    MapSettings m_map;
    DataSource m_source;
    WindowTable m_windows;
    StatusRows m_rows;
    LinkState m_link;
    DayModel m_day;
    MenuMarks *m_marks;
    TaskTimer *m_tasks;
    StatusPanels *m_panels;
    MapSocket *m_sckMap;
    Metrics m_metrics;
    TrafficTail m_traffic;

    LeaseKeeper *m_lease;
    DatabaseThread *m_database;
    std::unique_ptr<JobsProcessor> m_jobsProcessor;
    std::unique_ptr<mdlSendScheds> m_sendScheds;
    std::unique_ptr<InboundCommands> m_inbound;
    std::unique_ptr<MapLink> m_mapLink;
    std::unique_ptr<StatusReport> m_statusReport;
    std::unique_ptr<DatabaseCycle> m_cycle;
    std::unique_ptr<MainCommands> m_commands;
    std::unique_ptr<AppLifecycle> m_lifecycle;
    std::unique_ptr<Supervisor> m_supervisor;
    std::unique_ptr<LogOnLogic> m_logOnLogic;
    QTimer m_logRepeats; // writes the counts of repeated records

    void standDown();
};
