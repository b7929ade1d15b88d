#pragma once

#include <QString>

#include <functional>

class Gateway;

// Start-up, close request and the end of the program. The close request never
// ends anything itself: it hands the end to the task timer, so that a cycle or
// socket event that is running finishes first.
class AppLifecycle
{
public:
    explicit AppLifecycle(Gateway &gateway);

    // The start-up sequence of the main window, with the command line's role word.
    void MDIForm_Load(const QString &commandLine);
    void StartApp();
    void BuildVersion();

    // Always refuses the close (returns true: cancel) and asks whether to
    // exit; unless the answer is No, the task timer ends the program.
    bool MDIForm_QueryUnload();
    void MDIForm_Unload();
    void mnuExit_Click();
    // A service manager's stop (SIGTERM, SIGINT): the same path, no question.
    void requestEnd();

    // Ends the process; called by the task timer.
    void EndProgram(const QString &caller);

    // What ending the process means; tests replace it to watch it happen.
    void setProcessEnder(std::function<void()> ender) { m_endProcess = std::move(ender); }

    static QString roleFromCommandLine(const QString &commandLine);

private:
    void handOverToTaskTimer();

    Gateway &m_gw;
    std::function<void()> m_endProcess;
};
