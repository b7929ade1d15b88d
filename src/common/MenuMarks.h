#pragma once

#include <QObject>
#include <QString>

// The check marks of the main window's menu that serve as requests between a
// command and the next database cycle. The core owns them; the menu shows them.
class MenuMarks : public QObject
{
    Q_OBJECT
public:
    enum Mark { mnuRefresh, mnuDebugAll, mnuDebugCurrent, mnuSaveQuery, mnuDB, mnuTicks, Count };

    explicit MenuMarks(QObject *parent = nullptr) : QObject(parent) { }

    bool checked(Mark mark) const { return m_checked[mark]; }
    void setChecked(Mark mark, bool on)
    {
        if (m_checked[mark] == on)
            return;
        m_checked[mark] = on;
        Q_EMIT changed(mark, on);
    }
    // Removes the mark if it is set: a request carried out.
    void uncheck(Mark mark) { setChecked(mark, false); }

    // An operator's request or switch: sets the mark and counts it, so that
    // the database cycle can tell a request made while its stage ran (which
    // the stage has not seen) from the one the stage carried out.
    void request(Mark mark, bool on = true)
    {
        ++m_requests[mark];
        setChecked(mark, on);
    }
    quint64 requests(Mark mark) const { return m_requests[mark]; }

    static QString name(Mark mark)
    {
        static const char *const kNames[]
            = {"mnuRefresh", "mnuDebugAll", "mnuDebugCurrent", "mnuSaveQuery", "mnuDB", "mnuTicks"};
        return QString::fromLatin1(kNames[mark]);
    }

    // The database command that mnuDB requests along with its mark; the next
    // job selection carries it out and clears both.
    bool bDBCommand = false;

Q_SIGNALS:
    void changed(MenuMarks::Mark mark, bool checked);

private:
    bool m_checked[Count] = {};
    quint64 m_requests[Count] = {};
};
