#include "InstanceLock.h"

#include "ProgramFolder.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

const QString InstanceLock::kFileName = QStringLiteral("volmara.lock");

InstanceLock::InstanceLock(const QString &folder)
    : m_path(ProgramFolder::join(folder, kFileName)), m_folder(QDir(folder).absolutePath())
{
}

InstanceLock::~InstanceLock()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd); // lets the lock go; the file stays for the next start
#endif
}

InstanceLock::Outcome InstanceLock::take()
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(m_path);
    // Not inherited by anything the gateway starts, so the lock ends with it.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        if (why == EWOULDBLOCK) {
            // A holder that has just taken the lock writes its PID right
            // after: it is given a moment, never more.
            for (int waited = 0;; waited += kPidWaitStepMs) {
                char buf[32] = {};
                const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
                const QByteArray text = n > 0 ? QByteArray(buf, int(n)) : QByteArray();
                m_holder = text.endsWith('\n') ? text.trimmed().toLongLong() : 0;
                if (m_holder > 0 || waited >= kPidWaitMs)
                    break;
                ::usleep(kPidWaitStepMs * 1000);
            }
            ::close(fd);
            return Outcome::HeldElsewhere;
        }
        m_error = QString::fromLocal8Bit(std::strerror(why));
        ::close(fd);
        return Outcome::Failed;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0
        || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock holds all the same; only the second start's message lacks the PID.
        m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    m_fd = fd;
    return Outcome::Taken;
#else
    return Outcome::Taken;
#endif
}

QString InstanceLock::heldMessage(const QString &program) const
{
    const QString who = m_holder > 0 ? QStringLiteral(" (PID %1)").arg(m_holder)
                                     : QStringLiteral(" (its PID is not written yet)");
    return QStringLiteral("%1: another Volmara gateway%2 runs on the folder %3 (it holds %4); "
                          "one gateway per folder, so this one ends.")
        .arg(program, who, m_folder, m_path);
}
