#include "common/base/constants.h"
#include "common/base/servicenotifier.h"
#include "common/base/stopsignals.h"
#include "common/external/zlogmanager.h"
#include "lumo/policy/service_manager_link.h"
#include "lumo/policy/server_endpoint.h"
#include "session_policy_manager.h"

#include <QApplication>
#include <QtDebug>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Zok::Core::ZLogManager::registerConsoleAppender();
    Zok::Core::ZLogManager::registerFileAppender();
    qWarning() << "Strategy Processing test main!!! ";

    vorn::base::quitOnStopSignals(&app);

    // Read again whenever the core client service replaces them.
    ServerEndpoint::instance()->setTlsFiles(vorn::kServerCertPath, vorn::kPublicKeyPath,
                                            vorn::kPrivateKeyPath);

    vorn::base::ServiceNotifier notifier;
    int code = 0;
    {
        SessionPolicyManager manager;
        ServiceManagerLink link(&notifier, manager.statusBoard(), ServiceManagerLink::WithoutUsb);
        link.announceWhenReady();
        code = app.exec();
        notifier.stopping();
    }
    return code;
}
