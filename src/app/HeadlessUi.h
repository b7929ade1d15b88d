#pragma once

#include "common/Ui.h"

#include <functional>

class Gateway;

// The operator's side of the headless gateway (volmarad), where nobody
// answers: message boxes and status popups become log records, windows are
// not there, and where the window program would show the logon dialog because
// the saved settings are incomplete, the missing or invalid settings are
// logged by section and key and the gateway ends with a configuration error.
class HeadlessUi : public Ui
{
public:
    // configurationError: what ends the program when the settings are
    // incomplete (the executable ends it with status 78).
    HeadlessUi(Gateway &gateway, std::function<void()> configurationError);

    void msgBox(const QString &text, Icon icon, const QString &title) override;
    // Nobody answers: logged, and the answer is No, which starts nothing.
    // The close question is never asked here; a stop signal ends the program.
    bool askYesNo(const QString &text, Icon icon, const QString &title) override;
    void showMainWindow() override { }
    bool mainWindowMinimized() const override { return false; }
    void layoutMainWindow() override { }
    // The logon dialog's first load without its widgets: the saved settings
    // are applied as the dialog applies them; when that does not start the
    // supervisor, the configuration error.
    void loadLogOn() override;
    void unloadLogOn() override { }
    void reOrderLogOn(LogOnLayout) override { }
    void showTrafficWindow() override { }
    void saveTrafficWindow() override { }
    void clearTrafficWindow() override { }
    void showStatusPopup(const QString &text) override;
    void resizeTrafficWindow() override { }

    // The configuration error was found.
    bool configurationFailed() const { return m_failed; }

private:
    Gateway &m_gw;
    std::function<void()> m_configurationError;
    bool m_failed = false;
};
