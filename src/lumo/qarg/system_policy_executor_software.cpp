#include "system_policy_executor.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/errorsdescription.h"
#include "lumo/policy/download_budget.h"
#include "lumo/policy/setting_download.h"
#include "script_file.h"
#include "shell_command.h"
#include "system_config.h"
#include "system_policy_executor_p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QtDebug>

// Software installation, server scripts, firewall commands and the boot
// background, and what of them a repeated document runs again.

namespace {

const QString kInstallKey = QStringLiteral("pre_install_app/pre_install_app_list");
const QString kScriptKey = QStringLiteral("script/script_name");
const QString kFirewallKey = QStringLiteral("firewall/firewall_data");
const QString kBackgroundKey = QStringLiteral("launch_backgroud/launch_backgroud_name");
const QString kSshKey = QStringLiteral("ssh_login/ssh_login_status");

const int kScriptRequestTimeout = 60;
const int kBackgroundDownloadTimeout = 3600;
const int kFirewallCommandLimitMs = 30000;

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

// The picture directory holds the boot background in use and nothing older.
// Only plain files directly inside it go; hidden ones are downloads still
// being written, links and subdirectories are left alone.
void removeOlderPictures(const QString& picDir, const QString& current)
{
    const QFileInfoList files = QDir(picDir).entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& file : files) {
        if (file.isSymLink() || file.absoluteFilePath() == QFileInfo(current).absoluteFilePath())
            continue;
        if (QFile::remove(file.absoluteFilePath()))
            qInfo() << "older boot background removed:" << file.absoluteFilePath();
        else
            qWarning() << "older boot background not removed:" << file.absoluteFilePath();
    }
}

} // namespace

void SystemPolicyExecutor::execAppInstall(const QString& value, const ResultSlot& slot)
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
        slot.record(refused.isEmpty()
                        ? QStringLiteral("given packages are in the app blacklist")
                        : QStringLiteral("package names refused: ") + refused.join(QLatin1String(", ")));
        return;
    }
    QString command = QStringLiteral("bash ") + vorn::kScriptsPath + QStringLiteral("software_upgrade.bash");
    for (const QString& name : install)
        command += QLatin1Char(' ') + name;
    const OneShotRecord::Item item = oneShotItem(kInstallKey, install.join(QLatin1Char(' ')));
    if (!runsOnce(item, slot))
        return;
    d->record.expect(slot.document(), command, item);
    qInfo() << "-----processCommand----" << command;
    // Named by what asked for it: a qarg restarted meanwhile awaits the same
    // installation instead of running it a second time. Keep the name stable
    // across versions: the qarg an installation upgrades must find it.
    const QByteArray origin = (documentIdentity() + QLatin1Char('\n') + documentTask()
                               + QLatin1Char('\n') + command)
                                  .toUtf8();
    const QString id = QString::fromLatin1(
        QCryptographicHash::hash(origin, QCryptographicHash::Sha256).toHex().left(24));
    emit execInstall(slot, command, id);
}

void SystemPolicyExecutor::execScriptInstall(const QString& value, const ResultSlot& slot)
{
    if (value.trimmed().isEmpty()) {
        slot.record(QStringLiteral("No valid script"));
        return;
    }
    const QStringList items = value.split(QLatin1Char(','), Qt::KeepEmptyParts);
    qInfo() << "----SCRIPT_NAME--list--" << items.size();
    const quint64 document = slot.document();
    QPointer<SystemPolicyExecutor> self(this);
    const ScriptFile::NameSource random = ScriptFile::randomNames();
    for (int i = 0; i < items.size(); ++i) {
        const OneShotRecord::Item item =
            oneShotItem(kScriptKey, QString::number(i) + QStringLiteral(": ") + items.at(i));
        // One result per item, each when its script has run.
        const ResultSlot itemSlot = i == 0 ? slot : takeResultSlot(kScriptKey);
        if (!runsOnce(item, itemSlot))
            continue;
        const QStringList parts = items.at(i).split(QStringLiteral("_|_"), Qt::KeepEmptyParts);
        const QString path = parts.size() >= 2 ? parts.at(1) : QString();
        const QString url = vorn::kUrlHead.arg(serverHost(), serverPort()) + path;
        const SettingDownload download(this, document, QStringLiteral("script"), url);
        QString refused;
        QString error;
        if (!download.admit(&refused, &error)) {
            qWarning() << "script not downloaded:" << url << error;
            itemSlot.record(refused);
            continue;
        }
        // The name is taken now, so that scripts downloading at the same time
        // never share one; the download replaces the empty file when complete.
        const QString file = ScriptFile::create(QDir::tempPath(), QByteArray(), random, &error);
        if (file.isEmpty()) {
            qWarning() << "script not stored:" << error;
            itemSlot.record(QStringLiteral("script not stored: ") + error);
            continue;
        }
        d->addTempFile(file);
        download.start(file, kScriptRequestTimeout,
                       [self, itemSlot, item, url, file](SettingDownload::End end, const QString& result,
                                                         const QString& text, int code) {
                           if (self)
                               self->onScriptDownloaded(itemSlot, item, url, file, end, result, text, code);
                           else
                               QFile::remove(file);
                       });
    }
}

void SystemPolicyExecutor::onScriptDownloaded(const ResultSlot& slot, const OneShotRecord::Item& item,
                                              const QString& url, const QString& file,
                                              SettingDownload::End end, const QString& refusal,
                                              const QString& text, int code)
{
    qInfo() << "---nCode" << code << ":" << file << ":" << QFileInfo(file).fileName();
    const quint64 document = slot.document();
    if (document != currentDocument()) {
        qWarning() << "script arrived after its policy ended, not run:" << url << code;
        QFile::remove(file);
        return;
    }
    QString result = end == SettingDownload::End::Delivered ? QString() : refusal;
    // Only what the server delivered as a script is ever run.
    if (result.isEmpty() && QFileInfo(file).size() == 0)
        result = DownloadBudget::failedText(QStringLiteral("script"), code, url, text);
    if (!result.isEmpty()) {
        qWarning() << result;
        d->record.record(item.document, item.key, item.name, false);
        slot.record(result);
        return;
    }
    // The body runs as root and may hold secrets: the log names it by size and digest only.
    QFile body(file);
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (body.open(QIODevice::ReadOnly))
        digest.addData(&body);
    qInfo() << "script to run:" << url << "bytes:" << body.size()
            << "sha256:" << digest.result().toHex();
    body.close();
    const QString command = bashCommand(file);
    d->record.expect(document, command, item);
    execCommand(slot, command);
}

void SystemPolicyExecutor::execCommand(const ResultSlot& slot, const QString& cmd)
{
    qInfo() << "-----processCommand----" << cmd;
    emit execDocumentScript(slot, cmd);
}

void SystemPolicyExecutor::execFireWall(const QString& value, const ResultSlot& slot)
{
    const QJsonArray commands = QJsonDocument::fromJson(value.toUtf8()).array();
    if (commands.isEmpty()) {
        slot.record(QStringLiteral("No valid firewall command"));
        return;
    }
    for (int i = 0; i < commands.size(); ++i) {
        const QString command = commands.at(i).toString();
        // One result per command.
        const ResultSlot commandSlot = i == 0 ? slot : takeResultSlot(kFirewallKey);
        // An -A rule appended on every pull would pile up.
        const OneShotRecord::Item item =
            oneShotItem(kFirewallKey, QString::number(i) + QStringLiteral(": ") + command);
        if (!runsOnce(item, commandSlot))
            continue;
        qInfo() << "--execFireWall command:" << command;
        const ShellCommand::Result result = ShellCommand::run(command, kFirewallCommandLimitMs);
        d->record.record(item.document, item.key, item.name, result.succeeded());
        commandSlot.record(ShellCommand::resultText(command, result, kFirewallCommandLimitMs),
                           ShellCommand::summaryText(result, kFirewallCommandLimitMs));
    }
}

void SystemPolicyExecutor::execLaunchBackground(const QString& value, const ResultSlot& slot)
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
        slot.record(QStringLiteral("invalid file name: ") + value);
        return;
    }
    const QString localPath = picDir + QLatin1Char('/') + name;
    const OneShotRecord::Item item = oneShotItem(kBackgroundKey, value);
    if (!runsOnce(item, slot))
        return;

    const quint64 document = slot.document();
    const SettingDownload download(this, document, QStringLiteral("boot background"), url);
    QString refused;
    if (!download.admit(&refused)) {
        slot.record(refused);
        return;
    }
    QPointer<SystemPolicyExecutor> self(this);
    download.start(localPath, kBackgroundDownloadTimeout,
        [self, slot, item, picDir, localPath](SettingDownload::End end, const QString& refusal,
                                                  const QString&, int) {
            const QString result = self ? self->installBackground(picDir, localPath, end, refusal)
                                        : QString();
            qInfo() << "LAUNCH_BG----result:" << localPath << result;
            if (!self)
                return;
            self->d->record.record(item.document, item.key, item.name,
                                   result == ErrorsDescription::toErrorDescription(0));
            slot.record(result);
        });
}

QString SystemPolicyExecutor::installBackground(const QString& picDir, const QString& localPath,
                                                SettingDownload::End end, const QString& refusal)
{
    // A failed download must not install an older file of that name.
    if (end == SettingDownload::End::Failed)
        qWarning() << refusal;
    if (end != SettingDownload::End::Delivered)
        return refusal;
    const QString result = SystemConfig::GetInstance()->setLaunchBG(localPath);
    if (result == ErrorsDescription::toErrorDescription(0))
        removeOlderPictures(picDir, localPath);
    return result;
}

OneShotRecord::Item SystemPolicyExecutor::oneShotItem(const QString& key, const QString& name) const
{
    return OneShotRecord::Item{documentIdentity(), key, name};
}

bool SystemPolicyExecutor::runsOnce(const OneShotRecord::Item& item, const ResultSlot& slot)
{
    if (isTaskDocument() || !d->record.succeeded(item.document, item.key, item.name))
        return true;
    qInfo() << "one-shot item done for this policy already, not run again:" << item.key << item.name;
    slot.record(OneShotRecord::kUnchangedText, OneShotRecord::kUnchangedText);
    return false;
}

QStringList SystemPolicyExecutor::rootOutputKeys()
{
    return {kInstallKey, kScriptKey, kFirewallKey};
}

void SystemPolicyExecutor::documentLoaded()
{
    // A new document forgets what the previous one ran: all of it runs.
    d->record.begin(documentIdentity());
}

void SystemPolicyExecutor::commandFinished(quint64 document, const QString& cmd, bool succeeded)
{
    d->record.finished(document, cmd, succeeded);
}

QString SystemPolicyExecutor::applySSHLogin(int state)
{
    const OneShotRecord::Item item = oneShotItem(kSshKey, QString::number(state));
    SystemConfig* config = SystemConfig::GetInstance();
    const bool repeated =
        !isTaskDocument() && d->record.succeeded(item.document, item.key, item.name);
    const QString result = repeated ? config->keepSSHLogin(state) : config->setSSHLogin(state);
    d->record.record(item.document, item.key, item.name,
                     result == QLatin1String("setSSHLogin true"));
    return result;
}
