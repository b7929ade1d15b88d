#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class Gateway;

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
// server list editing. Messages and questions go through the gateway's Ui.
class LogOnLogic
{
public:
    explicit LogOnLogic(Gateway &gateway);

    // The saved map address, port, server and GMT offset, with their defaults.
    LogOnEntries readSettings() const;

    // mode "User" (the Connect button) or "Automatic" (the first load).
    // connectCaption is the Connect button's caption; unload unloads the
    // dialog. Returns true when the supervisor was started. Failures are
    // trapped and logged under "cmdConnect_Click".
    bool ApplyLogOn(const QString &mode, const LogOnEntries &entries, const QString &connectCaption,
        const std::function<void()> &unload);

    // The map login of the station role; another role leaves it as it was.
    void applyRoleLogin();
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
    Gateway &m_gw;
};
