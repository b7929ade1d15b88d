#pragma once

#include "common/Ui.h"
#include "settings/LogOnLogic.h"

#include <QDialog>
#include <QPointer>
#include <QRect>

class Clock;
class ErrorLog;
class WindowTable;
class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;

// frmLogOn, "System LogOn": the map address and port, the server list and the
// GMT offset. A thin view over LogOnLogic; while the supervisor connects it
// shows the progress, and it closes itself once everything is connected.
class frmLogOn : public QDialog
{
    Q_OBJECT
public:
    // logic outlives the dialog (it knows whether the automatic apply was
    // tried). windows: the dialog keeps its "LogOn" entry. mnuConnect is the
    // main window's connect entry, disabled while the dialog is loaded; it
    // may be null.
    frmLogOn(LogOnLogic &logic, WindowTable &windows, const Clock &clock, ErrorLog &log,
        QAction *mnuConnect, QWidget *parent = nullptr);
    ~frmLogOn() override;

    // Fills the controls; at the first load of the run it applies the saved
    // entries by itself and may unload before it is ever shown.
    void Form_Load();
    // Unloads the dialog: clears its flag, re-enables mnuConnect, closes it
    // and deletes it later. Safe to call more than once.
    void unload();
    bool isUnloaded() const { return m_unloaded; }

    void ReOrderControls(LogOnLayout layout);
    // How long the "Connected" confirmation stays, in seconds of the
    // gateway's clock (tests shorten it or move the clock).
    void setConfirmSeconds(double seconds) { m_confirmSeconds = seconds; }

    // The event procedures, public so that tests can raise them.
    void cmdConnect_Click();
    void cmdCancel_Click();
    void cmdChange_Click();
    void txtSQLServer_Change();
    void lstDBs_GotFocus();
    void lstDBs_Validate();
    void updDBs_UpClick();
    void updDBs_DownClick();

    LogOnEntries entries() const;
    QStringList servers() const;
    int selectedServer() const;
    void setServers(const QStringList &list, int selected);

    static const QString kCaption; // "System LogOn"

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

public Q_SLOTS:
    void reject() override;

private:
    void buildControls();
    void Form_Unload();
    void waitAndClose();

    LogOnLogic &m_logic;
    WindowTable &m_windows;
    const Clock &m_clock;
    ErrorLog &m_log;
    QPointer<QAction> m_mnuConnect;
    bool m_unloaded = false;
    double m_confirmSeconds = 1.0;
    // The normal places of the progress label and the Connect button.
    QRect m_lblMultiTaskRect;
    QRect m_cmdConnectRect;

    QLabel *l05 = nullptr;
    QLineEdit *txtMapIP = nullptr;
    QLabel *l06 = nullptr;
    QLineEdit *txtPort = nullptr;
    QLabel *l03 = nullptr;
    QLineEdit *txtMapUserID = nullptr;
    QLabel *l04 = nullptr;
    QLineEdit *txtMapPassword = nullptr;
    QLabel *lblServer = nullptr;
    QLineEdit *txtSQLServer = nullptr;
    QPushButton *cmdChange = nullptr;
    QListWidget *lstDBs = nullptr;
    QWidget *updDBs = nullptr;
    QToolButton *updDBsUp = nullptr;
    QToolButton *updDBsDown = nullptr;
    QLabel *l09 = nullptr;
    QLineEdit *txtGMT = nullptr;
    QLabel *lblMultiTask = nullptr;
    QLineEdit *txtOrg = nullptr;
    QPushButton *cmdConnect = nullptr;
    QPushButton *cmdCancel = nullptr;
};
