#include "common/base/constants.h"
#include "common/base/servicenotifier.h"
#include "common/base/stopsignals.h"
#include "common/external/asynchttpclientapi.h"
#include "common/external/errorsdescription.h"
#include "common/external/vornsysteminterface.h"
#include "common/external/zlogmanager.h"
#include "lumo/policy/service_manager_link.h"
#include "lumo/policy/server_endpoint.h"
#include "system_policy_manager.h"

#include <QCoreApplication>
#include <QStringList>
#include <QtDebug>

#include <cstdio>

namespace {

// What the package's removal runs (after the service has stopped): every
// setting of the machine given back, by the platform library that made it.
// Logs to the console only, for the maintainer script's output.
int restoreDefaults()
{
    qInfo() << "restoring the machine's own settings";
    const int status = VornSystemInterface::Instance()->RestoreDefaults();
    const QString text = ErrorsDescription::toErrorDescription(status);
    std::fprintf(stderr, "qarg: restore defaults: %s\n", text.toLocal8Bit().constData());
    return status == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);

    // The one option; anything else is ignored as always.
    if (app.arguments().mid(1).contains(QStringLiteral("--restore-defaults")))
        return restoreDefaults();

    const QString logDir = vorn::kQargLogDir;
    Zok::Core::ZLogManager::makeLogDirectory(logDir);
    Zok::Core::ZLogManager::setlogFilePath(logDir + QStringLiteral("qarg.log"));
    Zok::Core::ZLogManager::registerConsoleAppender();
    Zok::Core::ZLogManager::registerFileAppender();

    // Read again whenever the core client service replaces them.
    ServerEndpoint::instance()->setTlsFiles(vorn::kServerCertPath, vorn::kPublicKeyPath,
                                            vorn::kPrivateKeyPath);

    vorn::base::quitOnStopSignals(&app);
    vorn::base::ServiceNotifier notifier;

    int exitCode = 0;
    {
        SystemPolicyManager manager(nullptr);
        ServiceManagerLink link(&notifier, manager.statusBoard(), ServiceManagerLink::WithUsb);
        link.announceWhenReady();
        exitCode = app.exec();
        notifier.stopping();
    }
    return exitCode;
}
