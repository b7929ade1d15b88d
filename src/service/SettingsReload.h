#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class DatabaseCycle;
class DatabaseThread;
class ErrorLog;
class MapLink;
class MapSocket;
class MenuMarks;
class Settings;
class StatusEndpoint;
struct MapSettings;
struct PairConfig;
struct DataSource;

// SIGHUP's work: Volmara.INI read again and what changed applied, nothing
// else touched. The interval takes effect at once, a new map address or port
// reconnects the map, a new data source reopens its session, a new status
// address rebinds. A file that would not pass --check-config is refused as a
// whole with one record naming the keys, and the running settings stay. One
// record says what was reloaded. A reload that comes during a database cycle
// waits for its end. The pair is not changed while the gateway runs: a
// standby and an active that disagree on the pair's name would both act, so
// the record names a new [Pair] as waiting for the next start.
class SettingsReload : public QObject
{
    Q_OBJECT
public:
    struct Parts
    {
        DatabaseCycle &cycle;
        MapLink &mapLink;
        DatabaseThread &database; // reopens a session on its new source
        StatusEndpoint &status;
    };
    struct Targets
    {
        MapSettings &map;
        DataSource &source;
        MenuMarks &marks;
        const MapSocket &sckMap;
        // Who the gateway is in its pair: kept until the next start.
        const PairConfig &pair;
    };

    SettingsReload(Parts parts, Targets targets, const Settings &settings, ErrorLog &log,
        QObject *parent = nullptr);

    // What the sessions were opened with that they do not tell themselves
    // (the ODBC driver, the time-out); taken at start and at each reload.
    void capture();

    // Reads the file and applies it, now or at the end of the cycle under way.
    void reload();

Q_SIGNALS:
    // A reload was carried out (applied or refused).
    void reloaded(bool applied);

private:
    enum class Which { Jobs, OrvikDb, Both };

    // What the sessions are now: made or not, and the second one's source.
    struct Running
    {
        bool jobs = false;
        bool orvikDb = false;
        QString orvikDbSource;
    };
    // The one place a reload reads the sessions.
    Running running() const;

    void reloadNow();
    // The one place a reload reopens a session.
    void reopen(Which which);

    Parts m_parts;
    Targets m_t;
    const Settings &m_settings;
    ErrorLog &m_log;
    QTimer m_wait;
    QString m_driver;
    QString m_timeout;
};
