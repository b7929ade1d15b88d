#pragma once

#include <QDialog>

#include <functional>

class Ui;
class QLabel;
class QPushButton;

// frmAbout: the application's title and version, and a button that starts
// the system's system-information tool.
class frmAbout : public QDialog
{
    Q_OBJECT
public:
    // ui: where "unavailable" is said.
    explicit frmAbout(Ui &ui, QWidget *parent = nullptr);

    static const QString kUnavailable; // "System Information Is Unavailable At This Time"

    // Finds and starts the system-information tool, or says it is unavailable.
    void StartSysInfo();
    // What starting a program means; tests replace it to watch it happen.
    void setProgramStarter(std::function<bool(const QString &)> starter)
    {
        m_startProgram = std::move(starter);
    }

private:
    void Form_Load();

    Ui &m_ui;
    std::function<bool(const QString &)> m_startProgram;
    QLabel *picIcon;
    QLabel *lblTitle;
    QLabel *lblVersion;
    QLabel *lblDescription;
    QPushButton *cmdOK;
    QPushButton *cmdSysInfo;
};
