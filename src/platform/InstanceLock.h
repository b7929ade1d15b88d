#pragma once

#include <QString>

// One gateway per program folder: an advisory lock on "volmara.lock" in the
// folder, held for the life of the process (the system lets it go when the
// process ends, however it ends). The file holds the PID of its holder, so
// that a second start can say who runs there.
class InstanceLock
{
public:
    static constexpr int kExitHeld = 75; // EX_TEMPFAIL
    static const QString kFileName; // "volmara.lock"

    // How long a second start waits for a new holder to write its PID.
    static constexpr int kPidWaitMs = 200;
    static constexpr int kPidWaitStepMs = 10;

    enum class Outcome { Taken, HeldElsewhere, Failed };

    explicit InstanceLock(const QString &folder);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    Outcome take();
    // With HeldElsewhere: the holder's PID as its file says (0 when not
    // written, whole and ended by a line end, within kPidWaitMs).
    qint64 holderPid() const { return m_holder; }
    // With Failed: why.
    QString error() const { return m_error; }
    QString path() const { return m_path; }

    // "Another volmara gateway (PID 1234) runs on the folder /srv/volmara: ...".
    QString heldMessage(const QString &program) const;

private:
    QString m_path;
    QString m_folder;
    int m_fd = -1;
    qint64 m_holder = 0;
    QString m_error;
};
