#pragma once

#include "AppState.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class AppLifecycle;
class RowSet;
class Clock;
class MainCommands;
class DatabaseCycle;
class ErrorLog;
class JobsProcessor;
class InboundCommands;
class MapLink;
class MapSocket;
class MenuMarks;
class Settings;
class Supervisor;
class Ui;
class mdlSendScheds;
class SqlConnect;
class mdlQueries;

// The core of the gateway: owns the application state, the clock, the logs,
// the settings, the two timers, the map socket, the menu marks and the parts
// that work on them. Windows are thin views over it; tests drive it directly
// with a settable clock and a scripted Ui.
class Gateway : public QObject
{
    Q_OBJECT
public:
    explicit Gateway(const QString &programFolder, QObject *parent = nullptr);
    ~Gateway() override;

    AppState &state() { return m_state; }
    Clock &clock() { return *m_clock; }
    ErrorLog &log() { return *m_log; }
    Settings &settings() { return *m_settings; }
    MenuMarks &marks() { return *m_marks; }
    MapSocket &sckMap() { return *m_sckMap; }
    QTimer &tmrTasks() { return m_tmrTasks; }
    QTimer &tmrDB() { return m_tmrDB; }
    QString programFolder() const { return m_folder; }

    Ui &ui();
    void setUi(Ui *ui) { m_ui = ui; }

    AppLifecycle &lifecycle() { return *m_lifecycle; }
    Supervisor &supervisor() { return *m_supervisor; }
    MainCommands &commands() { return *m_commands; }
    DatabaseCycle &cycle() { return *m_cycle; }
    JobsProcessor &jobsProcessor() { return *m_jobsProcessor; }
    SqlConnect &sqlConnect() { return *m_sqlConnect; }
    mdlQueries &queries() { return *m_queries; }

    // The jobs processing that the job selection hands its rows to, after the
    // schedules insert. Set once by the part that owns it.
    void setScheduleProcessor(std::function<void(RowSet &)> processor)
    {
        m_scheduleProcessor = std::move(processor);
    }
    void ProcessScheduleTrigRecs(RowSet &rs)
    {
        if (m_scheduleProcessor)
            m_scheduleProcessor(rs);
    }
    MapLink &mapLink() { return *m_mapLink; }
    InboundCommands &inbound() { return *m_inbound; }
    mdlSendScheds &sendScheds() { return *m_sendScheds; }

    // Switches a timer on without restarting a running countdown, as setting
    // a classic timer's Enabled does.
    static void enableTimer(QTimer &timer);

    // The status bar's keyed panels: "keyVersion", "keyStatus", "keyDebug", "keyAlive".
    QString panelText(const QString &key) const { return m_panels.value(key); }
    void setPanelText(const QString &key, const QString &text);

    // The interval box (whole seconds as text) and its remembered value.
    QString intervalText() const { return m_intervalText; }
    QString intervalTag() const { return m_intervalTag; }
    void setIntervalText(const QString &text);
    void setIntervalTag(const QString &tag) { m_intervalTag = tag; }

Q_SIGNALS:
    void panelTextChanged(const QString &key, const QString &text);
    void intervalTextChanged(const QString &text);

private:
    QString m_folder;
    AppState m_state;
    std::unique_ptr<Clock> m_clock;
    std::unique_ptr<ErrorLog> m_log;
    std::unique_ptr<Settings> m_settings;
    MenuMarks *m_marks;
    MapSocket *m_sckMap;
    QTimer m_tmrTasks;
    QTimer m_tmrDB;
    Ui *m_ui = nullptr;
    QHash<QString, QString> m_panels;
    QString m_intervalText;
    QString m_intervalTag;
    std::function<void(RowSet &)> m_scheduleProcessor;

    std::unique_ptr<AppLifecycle> m_lifecycle;
    std::unique_ptr<Supervisor> m_supervisor;
    std::unique_ptr<MainCommands> m_commands;
    std::unique_ptr<DatabaseCycle> m_cycle;
    std::unique_ptr<JobsProcessor> m_jobsProcessor;
    std::unique_ptr<MapLink> m_mapLink;
    std::unique_ptr<InboundCommands> m_inbound;
    std::unique_ptr<mdlSendScheds> m_sendScheds;
    std::unique_ptr<SqlConnect> m_sqlConnect;
    std::unique_ptr<mdlQueries> m_queries;
};
