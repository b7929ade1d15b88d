#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class ErrorLog;
class MapSocket;
class Settings;
class TaskTimer;
class Ui;
struct MapSettings;
struct DataSource;

// What the logon dialog's entries hold when it applies them.
struct LogOnEntries
{
    QString txtMapIP;
    QString txtPort;
    QString txtGMT;
    QStringList lstDBs; // the first entry is the server used and saved
};

// The logon dialog's logic, apart from its widgets: reading the saved entries,
// checking and applying them, starting the connection supervisor, and the
// server list editing. Messages and questions go through the Ui.
class LogOnLogic
{
public:
    // Connect from the button, or the first load's own apply.
    enum class Mode { User, Automatic };

    // source: the jobs session's, chosen here; sckMap and closeJobs: Cancel
    // shuts the map connection and the jobs session (on the database
    // thread); tasks: the supervisor is started through it.
    LogOnLogic(const Settings &settings, MapSettings &map, DataSource &source, MapSocket &sckMap,
        std::function<void()> closeJobs, TaskTimer &tasks, Ui &ui, ErrorLog &log);

    // True once per run: the first load of the dialog applies the saved
    // entries by itself, whatever comes of it.
    bool takeAutomaticTurn()
    {
        const bool first = !bLogOnTried;
        bLogOnTried = true;
        return first;
    }

    // The saved map address, port, server and GMT offset, with their defaults.
    LogOnEntries readSettings() const;

    // connectCaption is the Connect button's caption; unload unloads the
    // dialog. Returns true when the supervisor was started. Failures are
    // trapped and logged under "cmdConnect_Click".
    bool ApplyLogOn(Mode mode, const LogOnEntries &entries, const QString &connectCaption,
        const std::function<void()> &unload);

    // Cancel: shuts the map socket and, when it is open, the jobs session.
    void closeConnections();

    // The caption of the add/remove button for the typed server name.
    static QString changeCaptionFor(const QString &serverText);
    // Appends text unless an entry equals it without regard to case.
    static bool addServer(QStringList &list, const QString &text);
    // Asks, then removes the selected entry; the selection moves to the entry
    // before it (or stays first). selected is -1 when nothing is selected.
    bool removeServer(QStringList &list, int &selected);
    static bool moveUp(QStringList &list, int &selected);
    static bool moveDown(QStringList &list, int &selected);

private:
    const Settings &m_settings;
    MapSettings &m_map;
    DataSource &m_source;
    std::function<void()> m_closeJobs;
    MapSocket &m_sckMap;
    TaskTimer &m_tasks;
    Ui &m_ui;
    ErrorLog &m_log;
    bool bLogOnTried = false;
};
