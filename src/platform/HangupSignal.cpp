#include "HangupSignal.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here: the event thread does the rest.
    [[maybe_unused]] const auto n = ::write(g_pipe[0], &byte, 1);
}

} // namespace
#endif

HangupSignal::HangupSignal(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        // Several signals before the event thread looks are one reload.
        [[maybe_unused]] const auto n = ::read(g_pipe[1], buf, sizeof buf);
        Q_EMIT reloadRequested();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
#endif
}

HangupSignal::~HangupSignal()
{
#ifdef Q_OS_UNIX
    // Ignored rather than fatal until the process is gone.
    ::signal(SIGHUP, SIG_IGN);
    delete m_notifier;
    m_notifier = nullptr;
    if (g_pipe[0] >= 0) {
        ::close(g_pipe[0]);
        ::close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
    }
#endif
}
