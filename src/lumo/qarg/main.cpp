#include "common/base/constants.h"
#include "common/base/servicenotifier.h"
#include "common/base/stopsignals.h"
#include "common/external/asynchttpclientapi.h"
#include "common/external/zlogmanager.h"
#include "lumo/policy/service_manager_link.h"
#include "system_policy_manager.h"

#include <QCoreApplication>

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
