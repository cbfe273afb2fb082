#include "system_policy_executor.h"

#include "system_policy_executor_p.h"

#include <QtDebug>

// Software installation, server scripts, firewall and boot background are
// not part of this build yet; each records why nothing was applied.

namespace {
const QString kNotApplied = QStringLiteral("not applied: handler not available in this build");
} // namespace

void SystemPolicyExecutor::execAppInstall(const QString& value)
{
    Q_UNUSED(value)
    appendExecResult(QStringLiteral("pre_install_app/pre_install_app_list"), kNotApplied);
}

void SystemPolicyExecutor::execScriptInstall(const QString& value)
{
    Q_UNUSED(value)
    appendExecResult(QStringLiteral("script/script_name"), kNotApplied);
}

void SystemPolicyExecutor::execFireWall(const QString& value)
{
    Q_UNUSED(value)
    appendExecResult(QStringLiteral("firewall/firewall_data"), kNotApplied);
}

void SystemPolicyExecutor::execLaunchBackground(const QString& value)
{
    Q_UNUSED(value)
    appendExecResult(QStringLiteral("launch_backgroud/launch_backgroud_name"), kNotApplied);
}

void SystemPolicyExecutor::onRequestScript(const QString& recvMsg, int code)
{
    qInfo() << "---nCode" << code << ":" << recvMsg;
    appendExecResult(currentDocument(), QStringLiteral("script/script_name"), kNotApplied);
}

void SystemPolicyExecutor::execCommand(const QString& key, const QString& cmd)
{
    qInfo() << "-----processCommand----" << cmd;
    emit execScript(key, cmd);
}
