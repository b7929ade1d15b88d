#pragma once

#include <QString>
#include <QStringList>

class DbSession;
class Settings;
class QTextStream;

// --check-config: reads Volmara.INI, reports every setting the gateway will
// use and where it came from (the file or the default), opens both database
// sessions as the gateway opens them, connects to the map server and checks
// its answer to our login. One line per check, "ok" or "FAIL" with the
// reason naming the setting; "WARN" for what is passed over and changes
// nothing of the outcome. Changes no file and no table: nothing is logged
// to the program folder and no statement runs but one read of Scheds that
// asks for no row (whether the login may read it).
class ConfigCheck
{
public:
    // Exit statuses: every check passed; a setting is missing or invalid; a
    // connection failed.
    static constexpr int kAllPassed = 0;
    static constexpr int kConnectionFailed = 1;
    static constexpr int kSettingInvalid = 78;

    static constexpr int kMapTimeoutMs = 10000;

    // roleWord: "Server", "Client" or empty (Server), for the map login.
    ConfigCheck(const QString &programFolder, const QString &roleWord);

    // Runs every check and writes its lines; returns the exit status.
    int run(QTextStream &out);

private:
    void pass(QTextStream &out, const QString &what);
    void warn(QTextStream &out, const QString &what);
    void fail(QTextStream &out, const QString &what);
    void checkDatabases(QTextStream &out, const QString &jobsServer);
    void checkMap(QTextStream &out, const QString &host, quint16 port);
    void checkPair(QTextStream &out, const Settings &settings, DbSession &session);
    void checkSchedsRead(QTextStream &out, const QString &what, DbSession &session);

    QString m_folder;
    QString m_roleWord;
    bool m_settingFailed = false;
    bool m_connectionFailed = false;
};
