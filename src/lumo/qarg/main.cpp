#include "common/base/constants.h"
#include "common/external/asynchttpclientapi.h"
#include "common/external/zlogmanager.h"
#include "system_policy_manager.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    (void)written;
}

// SIGTERM (systemctl stop) and SIGINT end the event loop, so the manager is
// destroyed and every thread stops cleanly instead of being killed.
void quitOnTerminationSignals(QCoreApplication* app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        qWarning() << "cannot watch termination signals:" << strerror(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        notifier->setEnabled(false);
        char byte = 0;
        const ssize_t got = ::read(g_signalPipe[1], &byte, 1);
        (void)got;
        qInfo() << "termination signal received, quitting";
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);

    const QString logDir = vorn::kQargLogDir;
    Zok::Core::ZLogManager::makeLogDirectory(logDir);
    Zok::Core::ZLogManager::setlogFilePath(logDir + QStringLiteral("qarg.log"));
    Zok::Core::ZLogManager::registerConsoleAppender();
    Zok::Core::ZLogManager::registerFileAppender();

    AsyncHttpClientApi::getInstance()->setSSLConfig(vorn::kServerCertPath, vorn::kPublicKeyPath,
                                                    vorn::kPrivateKeyPath);

    quitOnTerminationSignals(&app);

    int exitCode = 0;
    {
        SystemPolicyManager manager(nullptr);
        exitCode = app.exec();
    }
    return exitCode;
}
