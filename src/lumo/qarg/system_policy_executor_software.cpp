#include "system_policy_executor.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/asynchttpclientapi.h"
#include "script_file.h"
#include "shell_command.h"
#include "system_config.h"
#include "system_policy_executor_p.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QtDebug>

// Software installation, server scripts, firewall commands and the boot background.

namespace {

const QString kInstallKey = QStringLiteral("pre_install_app/pre_install_app_list");
const QString kScriptKey = QStringLiteral("script/script_name");
const QString kFirewallKey = QStringLiteral("firewall/firewall_data");
const QString kBackgroundKey = QStringLiteral("launch_backgroud/launch_backgroud_name");

const int kScriptRequestTimeout = 60;
const int kBackgroundDownloadTimeout = 3600;
const int kFirewallCommandLimitMs = 30000;

bool isSuccess(int code)
{
    return code >= 200 && code < 300;
}

// The manager splits the upgrade command line at blanks and the script takes
// each argument as a package: a name may hold nothing that could become a
// second argument, an option or shell syntax.
bool isPlainPackageName(const QString& name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9.+_:~=-]{0,255}$"));
    return plain.match(name).hasMatch();
}

// "bash <path>" as one argument for the manager's command line splitting.
QString bashCommand(const QString& path)
{
    if (path.contains(QRegularExpression(QStringLiteral("\\s"))))
        return QStringLiteral("bash \"%1\"").arg(path);
    return QStringLiteral("bash ") + path;
}

} // namespace

void SystemPolicyExecutor::execAppInstall(const QString& value)
{
    const QJsonArray packages = QJsonDocument::fromJson(value.toUtf8()).array();
    emit saveSoftwareList(packages);

    const QStringList blacklist = vorn::base::FileContent::getAppBlackList();
    QStringList install;
    QStringList refused;
    for (const QJsonValue& element : packages) {
        if (!element.isObject())
            continue;
        const QJsonValue nameValue = element.toObject().value(QStringLiteral("package_name"));
        const QString name = nameValue.toString();
        bool blacklisted = false;
        for (const QString& entry : blacklist) {
            qInfo() << "package_name :" << name << ":appblacklist:" << entry;
            if (name == entry) {
                blacklisted = true;
                break;
            }
        }
        if (blacklisted || !nameValue.isString())
            continue;
        if (!isPlainPackageName(name)) {
            qWarning() << "package name refused, not passed to the upgrade script:" << name;
            refused.append(QLatin1Char('"') + name + QLatin1Char('"'));
            continue;
        }
        install.append(name);
    }

    if (install.isEmpty()) {
        appendExecResult(kInstallKey,
                         refused.isEmpty()
                             ? QStringLiteral("given packages are in the app blacklist")
                             : QStringLiteral("package names refused: ") + refused.join(QLatin1String(", ")));
        return;
    }
    QString command = QStringLiteral("bash ") + vorn::kScriptsPath + QStringLiteral("software_upgrade.bash");
    for (const QString& name : install)
        command += QLatin1Char(' ') + name;
    execCommand(kInstallKey, command);
}

void SystemPolicyExecutor::execScriptInstall(const QString& value)
{
    if (value.trimmed().isEmpty()) {
        appendExecResult(kScriptKey, QStringLiteral("No valid script"));
        return;
    }
    const QStringList items = value.split(QLatin1Char(','), Qt::KeepEmptyParts);
    qInfo() << "----SCRIPT_NAME--list--" << items.size();
    // One result per item, each when its script has run.
    expectMoreResults(items.size() - 1);

    const quint64 document = currentDocument();
    QPointer<SystemPolicyExecutor> self(this);
    for (const QString& item : items) {
        const QStringList parts = item.split(QStringLiteral("_|_"), Qt::KeepEmptyParts);
        const QString path = parts.size() >= 2 ? parts.at(1) : QString();
        const QString url = vorn::kUrlHead.arg(serverHost(), serverPort()) + path;
        AsyncHttpClientApi::getInstance()->getRequest(
            [self, document, url](QString recvMsg, int code) {
                if (self)
                    self->runScript(document, url, recvMsg, code);
            },
            url, QString(), kScriptRequestTimeout);
    }
}

void SystemPolicyExecutor::onRequestScript(const QString& recvMsg, int code)
{
    runScript(currentDocument(), QString(), recvMsg, code);
}

void SystemPolicyExecutor::runScript(quint64 document, const QString& url, const QString& recvMsg,
                                     int code)
{
    if (document != currentDocument()) {
        qWarning() << "script arrived after its policy ended, not run:" << url << code;
        return;
    }
    // Only what the server delivered as a script is ever run.
    if (!isSuccess(code) || recvMsg.isEmpty()) {
        const QString text =
            QStringLiteral("script download failed, code %1: %2").arg(QString::number(code), url);
        qWarning() << text << recvMsg;
        appendExecResult(document, kScriptKey, text);
        return;
    }

    QString error;
    quint32 drawn = 0;
    const ScriptFile::NameSource random = ScriptFile::randomNames();
    const QString path = ScriptFile::create(
        QDir::tempPath(), recvMsg.toUtf8(),
        [&random, &drawn] { return drawn = random(); }, &error);
    qInfo() << "---nCode" << code << ":" << recvMsg << ":" << drawn;
    if (path.isEmpty()) {
        qWarning() << "script not stored:" << error;
        appendExecResult(document, kScriptKey, QStringLiteral("script not stored: ") + error);
        return;
    }
    d->addTempFile(path);
    execCommand(document, kScriptKey, bashCommand(path));
}

void SystemPolicyExecutor::execCommand(const QString& key, const QString& cmd)
{
    qInfo() << "-----processCommand----" << cmd;
    emit execScript(key, cmd);
}

void SystemPolicyExecutor::execCommand(quint64 document, const QString& key, const QString& cmd)
{
    qInfo() << "-----processCommand----" << cmd;
    emit execDocumentScript(document, key, cmd);
}

void SystemPolicyExecutor::execFireWall(const QString& value)
{
    const QJsonArray commands = QJsonDocument::fromJson(value.toUtf8()).array();
    if (commands.isEmpty()) {
        appendExecResult(kFirewallKey, QStringLiteral("No valid firewall command"));
        return;
    }
    // One result per command.
    expectMoreResults(commands.size() - 1);
    for (const QJsonValue& element : commands) {
        const QString command = element.toString();
        qInfo() << "--execFireWall command:" << command;
        const ShellCommand::Result result = ShellCommand::run(command, kFirewallCommandLimitMs);
        appendExecResult(kFirewallKey,
                         ShellCommand::resultText(command, result, kFirewallCommandLimitMs));
    }
}

void SystemPolicyExecutor::execLaunchBackground(const QString& value)
{
    const QString url = vorn::kUrlHead.arg(serverHost(), serverPort()) + value;
    qInfo() << "LAUNCH_BG----url:" << url;

    QDir policyDir = QFileInfo(vorn::kSystemPolicyPath).absoluteDir();
    const QString picDir = policyDir.absolutePath() + QStringLiteral("/pic");
    if (!QDir(picDir).exists())
        policyDir.mkdir(QStringLiteral("pic"));

    // The file stays inside the picture directory whatever the value holds.
    const QString name = url.section(QLatin1Char('/'), -1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        qWarning() << "boot background path names no file:" << value;
        appendExecResult(kBackgroundKey, QStringLiteral("invalid file name: ") + value);
        return;
    }
    const QString localPath = picDir + QLatin1Char('/') + name;

    const quint64 document = currentDocument();
    QPointer<SystemPolicyExecutor> self(this);
    AsyncHttpClientApi::getInstance()->downloadFile(
        [self, document, localPath, url](QString text, int code) {
            QString result;
            // A failed download must not install an older file of that name.
            if (isSuccess(code)) {
                result = SystemConfig::GetInstance()->setLaunchBG(localPath);
            } else {
                result = QStringLiteral("boot background download failed, code %1: %2")
                             .arg(QString::number(code), url);
                qWarning() << result << text;
            }
            qInfo() << "LAUNCH_BG----result:" << localPath << result;
            if (self)
                self->appendExecResult(document, kBackgroundKey, result);
        },
        localPath, url, QString(), false, {}, kBackgroundDownloadTimeout);
}
