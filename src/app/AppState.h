#pragma once

#include "model/clsLine.h"
#include "platform/DateTime.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <memory>

class DbSession;

// One window of the table that tells the core which windows are loaded.
struct WindowEntry
{
    QString Key;
    bool Loaded = false;
};

// The state the parts of the gateway share for the whole run. It belongs to
// the gateway, not to a window, and is handed by reference to whoever uses it.
struct AppState
{
    QString strRole = QStringLiteral("Server"); // "Server" or "Client"
    QString strMapIP;
    quint16 iMapPort = 0; // any TCP port, 1 to 65535
    QString strMapUserID;
    QString strMapPassword;
    QString strSQLServer; // data source of the jobs session
    QString strCatalog;
    qint16 iGMTOffset = 0;

    std::shared_ptr<DbSession> cnJobs; // "JOBS"; null when absent
    std::shared_ptr<DbSession> cnORVIKDB; // "ORVIKDB"; null when absent

    QString strTaskStep; // the task timer's command
    bool bRequestLines = true; // "$Q,0" is due before the next database work
    QDateTime dtLinesTime = DateTime::zero(); // the map server's line list last received
    QDateTime dtLastQSent = DateTime::zero();
    QDateTime dtLastQueryAll = DateTime::zero();
    std::unique_ptr<colLinesType> colLines; // null when absent (before the first rows, after 04:00)

    QString strLinesList;
    bool bLinesChanged = false;
    bool bDBCommand = false;
    QString strVersion; // "Version 3.0.50"
    QString strStatus; // the last connection summary
    QString strRecvBuf; // the map message being received
    bool bLogOnTried = false;

    std::array<WindowEntry, 3> arrWindows{
        {{QStringLiteral("Main")}, {QStringLiteral("LogOn")}, {QStringLiteral("IO")}}};

    bool windowLoaded(const QString &key) const
    {
        for (const WindowEntry &w : arrWindows) {
            if (w.Key.compare(key, Qt::CaseInsensitive) == 0)
                return w.Loaded;
        }
        return false;
    }
    void setWindowLoaded(const QString &key, bool loaded)
    {
        for (WindowEntry &w : arrWindows) {
            if (w.Key.compare(key, Qt::CaseInsensitive) == 0)
                w.Loaded = loaded;
        }
    }
    bool logOnLoaded() const { return windowLoaded(QStringLiteral("LogOn")); }
};
