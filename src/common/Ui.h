#pragma once

#include <QString>

#include <optional>

// The logon dialog's three layouts: the entries, the wait while connecting,
// and the connected one whose button closes the dialog.
enum class LogOnLayout { Usual, Connecting, Connected };

// "Usual", "Connecting" or "Connected".
QString layoutName(LogOnLayout layout);
// The layout a word names (letter case ignored); nothing for any other word.
std::optional<LogOnLayout> parseLayout(const QString &word);

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
    // Only while the dialog is loaded.
    virtual void reOrderLogOn(LogOnLayout layout) = 0;

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

// The Ui the core's parts are given when they are made: it passes every call
// on to the real one, set once the windows exist (or a test's fake), and
// fails with 91 (object not set) before that.
class UiSlot : public Ui
{
public:
    void setTarget(Ui *target) { m_target = target; }
    bool hasTarget() const { return m_target != nullptr; }

    void msgBox(const QString &text, Icon icon, const QString &title) override
    {
        target().msgBox(text, icon, title);
    }
    bool askYesNo(const QString &text, Icon icon, const QString &title) override
    {
        return target().askYesNo(text, icon, title);
    }
    void showMainWindow() override { target().showMainWindow(); }
    bool mainWindowMinimized() const override { return target().mainWindowMinimized(); }
    void layoutMainWindow() override { target().layoutMainWindow(); }
    void loadLogOn() override { target().loadLogOn(); }
    void unloadLogOn() override { target().unloadLogOn(); }
    void reOrderLogOn(LogOnLayout layout) override { target().reOrderLogOn(layout); }
    void showTrafficWindow() override { target().showTrafficWindow(); }
    void saveTrafficWindow() override { target().saveTrafficWindow(); }
    void clearTrafficWindow() override { target().clearTrafficWindow(); }
    void showStatusPopup(const QString &text) override { target().showStatusPopup(text); }
    void resizeTrafficWindow() override { target().resizeTrafficWindow(); }

private:
    Ui &target() const;

    Ui *m_target = nullptr;
};
