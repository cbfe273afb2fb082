#include "common/base/constants.h"
#include "common/base/stopsignals.h"
#include "common/external/zlogmanager.h"
#include "lumo/policy/server_endpoint.h"
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

    // Read again whenever the core client service replaces them.
    ServerEndpoint::instance()->setTlsFiles(vorn::kServerCertPath, vorn::kPublicKeyPath,
                                            vorn::kPrivateKeyPath);

    vorn::base::quitOnStopSignals(&app);

    int exitCode = 0;
    {
        SystemPolicyManager manager(nullptr);
        exitCode = app.exec();
    }
    return exitCode;
}
