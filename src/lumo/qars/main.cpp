#include "common/base/constants.h"
#include "common/external/asynchttpclientapi.h"
#include "common/external/zlogmanager.h"
#include "session_policy_manager.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QtDebug>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// SIGTERM (systemctl stop, session end) and SIGINT end the event loop, so
// that the manager stops its threads before the process exits. The signals
// are blocked in every thread and read from a signalfd on the main thread.
int blockStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char* argv[])
{
    // Before any thread exists, so that every thread inherits the mask.
    const int signalFd = blockStopSignals();

    QApplication app(argc, argv);
    Zok::Core::ZLogManager::registerConsoleAppender();
    Zok::Core::ZLogManager::registerFileAppender();
    qWarning() << "Strategy Processing test main!!! ";

    QSocketNotifier* notifier = nullptr;
    if (signalFd >= 0) {
        notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [signalFd]() {
            signalfd_siginfo info;
            while (read(signalFd, &info, sizeof(info)) == ssize_t(sizeof(info)))
                qInfo() << "signal received, quitting:" << info.ssi_signo;
            QCoreApplication::quit();
        });
    } else {
        qWarning() << "cannot watch for stop signals";
    }

    AsyncHttpClientApi::getInstance()->setSSLConfig(vorn::kServerCertPath, vorn::kPublicKeyPath,
                                                    vorn::kPrivateKeyPath);

    auto* manager = new SessionPolicyManager;
    const int code = app.exec();
    delete manager;
    delete notifier;
    if (signalFd >= 0)
        close(signalFd);
    return code;
}
