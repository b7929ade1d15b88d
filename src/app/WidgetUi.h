#pragma once

#include "Ui.h"

class Gateway;
class MainWindow;

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
    void reOrderLogOn(const QString &state) override;
    void showTrafficWindow() override;
    void saveTrafficWindow() override;
    void clearTrafficWindow() override;
    void showStatusPopup(const QString &text) override;

private:
    Gateway &m_gw;
    MainWindow &m_main;
};
