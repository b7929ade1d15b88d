#pragma once

#include <QString>

// What the core asks of the windows: messages, questions and the few window
// actions the procedures call for. The real implementation uses Qt Widgets;
// tests use a scripted fake that records what was asked and answers as told.
class Ui
{
public:
    enum class Icon { None, Critical, Question, Exclamation, Information };

    virtual ~Ui() = default;

    // A modal message box with an OK button.
    virtual void msgBox(const QString &text, Icon icon, const QString &title) = 0;
    // A modal question with Yes and No buttons; true for Yes.
    virtual bool askYesNo(const QString &text, Icon icon, const QString &title) = 0;

    virtual void showMainWindow() = 0;
    virtual bool mainWindowMinimized() const = 0;
    // The window side of the main window's layout pass (the interval frame and
    // the traffic window's place).
    virtual void layoutMainWindow() = 0;

    // Loads the logon dialog at start-up; it may apply the saved settings and
    // unload itself during its load, else it is shown modal.
    virtual void loadLogOn() = 0;
    virtual void unloadLogOn() = 0;
    // "Connecting", "Connected" or "Usual", only while the dialog is loaded.
    virtual void reOrderLogOn(const QString &state) = 0;

    virtual void showTrafficWindow() = 0;
    // The traffic window's text saved to "Ticks.TXT", and emptied (both load
    // the window when it is closed).
    virtual void saveTrafficWindow() = 0;
    virtual void clearTrafficWindow() = 0;
    // One popup at a time: a new one replaces the one showing.
    virtual void showStatusPopup(const QString &text) = 0;
    // Places the traffic window again after the main window's resize, when
    // it is shown.
    virtual void resizeTrafficWindow() = 0;
};
