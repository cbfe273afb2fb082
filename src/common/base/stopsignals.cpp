#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vorn {
namespace base {

namespace {

int g_signalSocket[2] = {-1, -1};

void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    const ssize_t written = ::write(g_signalSocket[0], &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

void quitOnStopSignals(QCoreApplication* app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalSocket)
        != 0) {
        qWarning() << "cannot watch termination signals:" << strerror(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalSocket[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        notifier->setEnabled(false);
        char byte = 0;
        const ssize_t got = ::read(g_signalSocket[1], &byte, 1);
        (void)got;
        qInfo() << "termination signal received, quitting";
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace base
} // namespace vorn
