#include "ShutdownSignals.h"

#include <QSocketNotifier>

#include <atomic>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<bool> g_stopPending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onSignal(int)
{
    g_stopPending.store(true, std::memory_order_relaxed);
    const char byte = 1;
    // Only async-signal-safe calls here: the window thread does the rest.
    [[maybe_unused]] const auto n = ::write(g_pipe[0], &byte, 1);
}

} // namespace
#endif

ShutdownSignals::ShutdownSignals(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        [[maybe_unused]] const auto n = ::read(g_pipe[1], buf, sizeof buf);
        Q_EMIT shutdownRequested();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
#endif
}

ShutdownSignals::~ShutdownSignals()
{
#ifdef Q_OS_UNIX
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    g_stopPending.store(false, std::memory_order_relaxed);
#endif
}

bool ShutdownSignals::stopPending()
{
#ifdef Q_OS_UNIX
    return g_stopPending.load(std::memory_order_relaxed);
#else
    return false;
#endif
}
