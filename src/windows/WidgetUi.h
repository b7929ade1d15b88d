#pragma once

#include "common/Ui.h"

#include <QPointer>

class Gateway;
class MainWindow;
class frmIO;
class frmLogOn;
class frmMsg;

// The core's questions and window actions, answered with Qt Widgets.
class WidgetUi : public Ui
{
public:
    WidgetUi(Gateway &gateway, MainWindow &mainWindow);

    void msgBox(const QString &text, Icon icon, const QString &title) override;
    bool askYesNo(const QString &text, Icon icon, const QString &title) override;
    void showMainWindow() override;
    bool mainWindowMinimized() const override;
    void layoutMainWindow() override;
    void loadLogOn() override;
    void unloadLogOn() override;
    void reOrderLogOn(LogOnLayout layout) override;
    void showTrafficWindow() override;
    void saveTrafficWindow() override;
    void clearTrafficWindow() override;
    void showStatusPopup(const QString &text) override;
    void resizeTrafficWindow() override;

    // The windows now loaded, or null.
    frmLogOn *logOnDialog() const;
    frmIO *trafficWindow() const;
    frmMsg *statusPopup() const;
    // The traffic window, loaded when it is closed (as its commands do).
    frmIO &loadTrafficWindow();

private:
    Gateway &m_gw;
    MainWindow &m_main;
    QPointer<frmLogOn> m_logOn;
    QPointer<frmIO> m_io;
    QPointer<frmMsg> m_popup;
};
