#pragma once

#include <QString>

#include <array>

// Which windows are loaded (arrWindows). Each window sets its own entry when
// it loads and unloads; the core reads it to decide whether to ask the
// operator or carry on by itself.
class WindowTable
{
public:
    enum class Window { Main, LogOn, IO };

    bool loaded(Window w) const { return m_loaded[index(w)]; }
    void setLoaded(Window w, bool on) { m_loaded[index(w)] = on; }
    bool logOnLoaded() const { return loaded(Window::LogOn); }

    // The window's key: "Main", "LogOn" or "IO".
    static QString key(Window w)
    {
        static const char *const kKeys[] = {"Main", "LogOn", "IO"};
        return QString::fromLatin1(kKeys[index(w)]);
    }

private:
    static constexpr int index(Window w) { return int(w); }

    std::array<bool, 3> m_loaded{};
};
