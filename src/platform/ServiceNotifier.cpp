#include "ServiceNotifier.h"

#include <QtGlobal>

#if defined(VOLMARA_HAVE_LIBSYSTEMD)
#include <systemd/sd-daemon.h>
#elif defined(Q_OS_LINUX)
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#if defined(Q_OS_UNIX)
#include <unistd.h>
#endif

bool ServiceNotifier::listening()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}

bool ServiceNotifier::notify(const QByteArray &state)
{
    if (!listening())
        return false;
#if defined(VOLMARA_HAVE_LIBSYSTEMD)
    return sd_notify(0, state.constData()) > 0;
#elif defined(Q_OS_LINUX)
    // The protocol: one datagram to the socket named by NOTIFY_SOCKET; a
    // leading "@" names an abstract socket.
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof addr.sun_path) || (path[0] != '/' && path[0] != '@'))
        return false;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    if (path[0] == '@')
        addr.sun_path[0] = '\0';
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Never waits: a service manager that does not read must not stop the
    // event loop.
    const ssize_t sent = ::sendto(fd, state.constData(), size_t(state.size()),
        MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&addr), length);
    ::close(fd);
    return sent == state.size();
#else
    Q_UNUSED(state);
    return false;
#endif
}

qint64 ServiceNotifier::watchdogMs()
{
#if defined(Q_OS_UNIX)
    bool ok = false;
    const qint64 usec = qEnvironmentVariable("WATCHDOG_USEC").toLongLong(&ok);
    if (!ok || usec <= 0)
        return 0;
    // Meant for us only when it names our process (or names none).
    const QString pid = qEnvironmentVariable("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return 0;
    return qMax<qint64>(1, usec / 1000);
#else
    return 0;
#endif
}
