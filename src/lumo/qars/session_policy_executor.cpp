#include "session_policy_executor.h"

#include "common/base/constants.h"
#include "common/external/asynchttpclientapi.h"
#include "lumo/policy/setting_download.h"
#include "lumo/policy/policy_queue.h"
#include "session_config.h"
#include "session_policy_executor_p.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QPointer>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const PolicyExecutor::CycleTexts kCycleTexts{
    "consumer...", "stopped before all results came in, cache file kept:",
    {"-------policyCounter:", ":", "---elapsed:"}};

const QString kControlCenterKey = QStringLiteral("control_center/control_center_configs");
const QString kWebShortcutKey = QStringLiteral("desktop_shortcuts/desktop_shortcuts_list");
const QString kWallpaperKey = QStringLiteral("wallpaper/wallpaper_name");
const QString kScreensaverPictureKey =
    QStringLiteral("screen_saver_wallpaper/screen_saver_wallpaper_name");

// Last "/" segment of a server path; empty when it cannot name a file of
// its own (a path ending in "/", "." or "..").
QString fileNameOf(const QString& path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return name;
}

// The shared temporary directory is writable by everyone: the wallpaper goes
// into a directory of the user's own there, refused when someone else made it.
QString privateWallpaperDir(QString* error)
{
    const QString dir =
        QDir::tempPath() + QStringLiteral("/vorn-wallpaper-") + QString::number(::getuid());
    const QByteArray native = QFile::encodeName(dir);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create wallpaper directory: ") + dir;
        return QString();
    }
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & 07777) != 0700) {
        *error = QStringLiteral("unsafe wallpaper directory: ") + dir;
        return QString();
    }
    return dir;
}

// Before a download: empty when the document may still download, else the
// result text.
QString refusedBeforeDownload(const SettingDownload& download)
{
    QString result;
    QString reason;
    if (download.admit(&result, &reason))
        return QString();
    qWarning() << download.what() << "not downloaded:" << download.url() << reason;
    return result;
}

// After a download: empty when its file may be used or the handler words a
// failure itself, else the result text. A download over a size limit is never
// used (its file is gone).
QString refusedAfterDownload(SettingDownload::End end, const QString& result, int code)
{
    if (end == SettingDownload::End::Delivered
        || (end == SettingDownload::End::Failed && code != AsyncHttpClientApi::BodyTooLarge))
        return QString();
    qWarning() << result;
    return result;
}

} // namespace

SessionPolicyExecutor::SessionPolicyExecutor(PolicyQueue* queue)
    : PolicyExecutor(queue)
    , d(new SessionPolicyExecutorPrivate(this, cacheHome() + QStringLiteral("/vorn/fetched.json")))
{
    initConfig();
    initFunction();
}

SessionPolicyExecutor::~SessionPolicyExecutor()
{
    if (isRunning())
        stop();
}

QString SessionPolicyExecutor::cacheHome()
{
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!cache.isEmpty())
        return cache;
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

void SessionPolicyExecutor::initConfig()
{
    const QString cache = cacheHome();
    if (!QDir(cache + QStringLiteral("/vorn")).exists())
        QDir(cache).mkdir(QStringLiteral("vorn"));

    const QString local = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!QDir(local + QStringLiteral("/icons")).exists())
        QDir(local).mkdir(QStringLiteral("icons"));

    d->webpageIconPath = vorn::kWebpageLinkIconPath.arg(local);
    qInfo() << "---SessionPolicy----homeCache:" << cache << ":homeLocal:" << local
            << ":webPageIconCache:" << d->webpageIconPath;
}

void SessionPolicyExecutor::initFunction()
{
    addHandler(QStringLiteral("taskbar/app_setting_trash"),
               &SessionPolicyExecutor::setTrayIconTrashVisible);
    addHandler(QStringLiteral("taskbar/taskbar_display_mode"),
               &SessionPolicyExecutor::setTaskbarDisplayMode);
    addHandler(QStringLiteral("taskbar/taskbar_dock_app"),
               &SessionPolicyExecutor::setTaskbarAppVisible);
    addHandler(QStringLiteral("taskbar/taskbar_launcher"),
               &SessionPolicyExecutor::setLauncherVisible);
    addHandler(QStringLiteral("taskbar/taskbar_right_menu"),
               &SessionPolicyExecutor::setDockRightMenuEnabled);
    addHandler(QStringLiteral("taskbar/tray_icon_network"),
               &SessionPolicyExecutor::setTrayIconNetworkEnabled);
    addHandler(QStringLiteral("taskbar/tray_icon_usb"),
               &SessionPolicyExecutor::setTrayIconUsbEnabled);
    addHandler(QStringLiteral("screen_saver/screen_saver_time_out"),
               &SessionPolicyExecutor::setScreensaverTime);
    addHandler(QStringLiteral("power/power_config"), &SessionPolicyExecutor::setPower);
    addHandler(QStringLiteral("personal_hotdot/personal_hotdot_status"),
               &SessionPolicyExecutor::setHotspotEnabled);
    addHandler(QStringLiteral("shortcut/shortcut_status"),
               &SessionPolicyExecutor::setShortcutEnabled);
    addHandler(kControlCenterKey, &SessionPolicyExecutor::setControlCenterVisible);
    addHandler(kWebShortcutKey, &SessionPolicyExecutor::setWebShortcut);
    addHandler(kWallpaperKey, &SessionPolicyExecutor::setDesktopBackground);
    addHandler(kScreensaverPictureKey, &SessionPolicyExecutor::setScreensaverBackground);
}

void SessionPolicyExecutor::initControlCenterList()
{
    const QString server = serverHost() + QLatin1Char(':') + serverPort();
    const QString url = vorn::KControlCenterKeys.arg(serverHost(), serverPort());
    qInfo() << "initControlCenterList:" << url;
    QPointer<SessionPolicyExecutor> self(this);
    AsyncHttpClientApi::getInstance()->getRequest(
        [self, server](QString msg, int code) {
            if (!self)
                return;
            self->controlCenterList(msg, code);
            if (code >= 200 && code < 300)
                self->d->controlCenterServer = server;
        },
        url, QString(), 60);
}

// The list belongs to the server: asked again when the machine was enrolled
// or moved to another server since, or when no server answered yet.
void SessionPolicyExecutor::refreshControlCenterList()
{
    const QString server = serverHost() + QLatin1Char(':') + serverPort();
    if (!serverHost().isEmpty() && server != d->controlCenterServer)
        initControlCenterList();
}

void SessionPolicyExecutor::controlCenterList(const QString& msg, int code)
{
    QStringList modules;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(msg.toLocal8Bit(), &error);
    if (!doc.isNull() && error.error == QJsonParseError::NoError && doc.isObject()
        && doc.object().contains(QStringLiteral("data"))) {
        const QJsonArray data = doc.object().value(QStringLiteral("data")).toArray();
        for (const QJsonValue& module : data)
            modules << module.toString();
    }
    qInfo() << "control centre modules known:" << modules.size() << "code:" << code;
    // Swapped whole under the lock: the handler reads it on the executor thread.
    QMutexLocker locker(&d->controlCenterMutex);
    d->controlCenterList = modules;
}

QStringList SessionPolicyExecutor::controlCenterModules() const
{
    QMutexLocker locker(&d->controlCenterMutex);
    return d->controlCenterList;
}

QString SessionPolicyExecutor::webpageIconPath() const
{
    return d->webpageIconPath;
}

const PolicyExecutor::CycleTexts& SessionPolicyExecutor::cycleTexts() const
{
    return kCycleTexts;
}

void SessionPolicyExecutor::logStep(Step step, const PolicyInfo& info, int value,
                                    const QString& text) const
{
    switch (step) {
    case Step::Record:
        qInfo() << "consumer-----msgPack" << info.cachePath << info.jobId << info.taskId;
        break;
    case Step::DocumentStart:
        qInfo() << "execPolicy" << "----------SessionPolicyManager::execPolicy---" << info.cachePath;
        break;
    case Step::NoDocument:
        qInfo() << "no policy document in cache file:" << info.cachePath;
        break;
    case Step::HandlersCalled:
        qInfo() << "----------------policyCounter:" << m_policyExecCounter.load() << ":" << value;
        break;
    case Step::WaitEnded:
        qInfo() << "------------policyCounter" << info.taskId << ":" << info.jobId;
        break;
    case Step::Reported:
        qInfo() << "----------------execPolicyFinished:" << text;
        break;
    case Step::CacheRemoved:
        if (value == 0)
            qInfo() << "remove cache file failed:" << false << ":" << info.cachePath;
        break;
    }
}

QString SessionPolicyExecutor::serverUrl(const QString& path) const
{
    return vorn::kUrlHead.arg(serverHost(), serverPort()) + path;
}

void SessionPolicyExecutor::setTrayIconTrashVisible(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setAppTrash(value));
}

void SessionPolicyExecutor::setTaskbarDisplayMode(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTaskbarMode(value));
}

void SessionPolicyExecutor::setTaskbarAppVisible(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTaskbarDockApp(value));
}

void SessionPolicyExecutor::setLauncherVisible(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTaskbarLauncher(value));
}

void SessionPolicyExecutor::setDockRightMenuEnabled(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTaskbarRightMenu(value));
}

void SessionPolicyExecutor::setTrayIconNetworkEnabled(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTrayIconNetwork(value));
}

void SessionPolicyExecutor::setTrayIconUsbEnabled(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setTrayIconUsb(value));
}

void SessionPolicyExecutor::setScreensaverTime(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setScreenSaveTimeOut(value));
}

void SessionPolicyExecutor::setPower(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setPowerConfig(value));
}

void SessionPolicyExecutor::setHotspotEnabled(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setHotspot(value.toInt()));
}

void SessionPolicyExecutor::setShortcutEnabled(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setShortcut(value));
}

void SessionPolicyExecutor::setControlCenterVisible(const QString& value, const ResultSlot& slot)
{
    slot.record(SessionConfig::GetInstance()->setControlCenter(controlCenterModules(), value));
}

void SessionPolicyExecutor::setWebShortcut(const QString& value, const ResultSlot& slot)
{
    const QJsonArray links = QJsonDocument::fromJson(value.toUtf8()).array();
    qInfo() << "-----------" << d->webpageIconPath;
    if (!QDir(d->webpageIconPath).exists() && !QDir().mkpath(d->webpageIconPath))
        qInfo() << "mkpath error:" << d->webpageIconPath;

    if (links.isEmpty()) {
        slot.record(QStringLiteral("value is empty"));
        return;
    }

    const quint64 document = slot.document();
    const QString identity = documentIdentity();
    QPointer<SessionPolicyExecutor> self(this);
    for (int i = 0; i < links.size(); ++i) {
        const QJsonObject link = links.at(i).toObject();
        const QString name = link.value(QStringLiteral("name")).toString();
        const QString url = link.value(QStringLiteral("url")).toString();
        const QString iconPath = link.value(QStringLiteral("iconPath")).toString();
        const QString iconUrl = serverUrl(iconPath);
        qInfo() << "--------iconUrl---i---" << i << ":" << iconUrl;
        // One result per link.
        const ResultSlot linkSlot = i == 0 ? slot : takeResultSlot(kWebShortcutKey);

        const QString iconName = fileNameOf(iconPath);
        if (iconName.isEmpty()) {
            linkSlot.record(QStringLiteral("invalid icon path: ") + iconPath);
            continue;
        }
        const SettingDownload download(this, document, QStringLiteral("icon"), iconUrl);
        const QString refused = refusedBeforeDownload(download);
        if (!refused.isEmpty()) {
            linkSlot.record(refused);
            continue;
        }
        const QString localIcon = d->webpageIconPath + iconName;
        if (reusesFetched(iconUrl, localIcon)) {
            // As a download delivers it: the local path.
            downloadShortcutImage(name, url, localIcon, 200, linkSlot);
            continue;
        }
        download.start(localIcon, 3600,
                       [self, name, url, linkSlot, identity, iconUrl, localIcon](
                           SettingDownload::End end, const QString& result, const QString& text, int code) {
                           if (!self)
                               return;
                           const QString refusal = refusedAfterDownload(end, result, code);
                           if (end == SettingDownload::End::Delivered)
                               self->rememberFetched(identity, iconUrl, localIcon);
                           if (refusal.isEmpty())
                               self->downloadShortcutImage(name, url, text, code, linkSlot);
                           else
                               linkSlot.record(refusal);
                       });
    }
}

void SessionPolicyExecutor::downloadShortcutImage(const QString& name, const QString& url,
                                                  const QString& text, int code,
                                                  const ResultSlot& slot)
{
    qInfo() << "downloadImage------" << name << ":" << url << ":" << text << ":" << code;
    slot.record(SessionConfig::GetInstance()->setWebpageLink(name, url, text));
}

void SessionPolicyExecutor::setDesktopBackground(const QString& value, const ResultSlot& slot)
{
    const QString url = serverUrl(value);
    const QString name = fileNameOf(url);
    if (name.isEmpty()) {
        qWarning() << "wallpaper path names no file:" << value;
        slot.record(QStringLiteral("invalid file name: ") + value);
        return;
    }
    QString error;
    const QString dir = privateWallpaperDir(&error);
    if (dir.isEmpty()) {
        qWarning() << error;
        slot.record(error);
        return;
    }

    const QString localPath = dir + QLatin1Char('/') + name;
    if (reusesFetched(url, keptWallpaper(localPath)) && putBack(keptWallpaper(localPath), localPath)) {
        slot.record(SessionConfig::GetInstance()->setBackground(localPath));
        return;
    }
    const quint64 document = slot.document();
    const QString identity = documentIdentity();
    const SettingDownload download(this, document, QStringLiteral("wallpaper"), url);
    const QString refused = refusedBeforeDownload(download);
    if (!refused.isEmpty()) {
        slot.record(refused);
        return;
    }
    QPointer<SessionPolicyExecutor> self(this);
    download.start(localPath, 60,
        [self, slot, localPath, identity, url](SettingDownload::End end, const QString& refusal,
                                                   const QString& text, int code) {
            qInfo() << ":path/" << localPath << ":" << code;
            QString result = refusedAfterDownload(end, refusal, code);
            // Only a file this download produced is ever set as wallpaper.
            if (end == SettingDownload::End::Delivered) {
                if (self)
                    self->keepWallpaper(identity, url, localPath);
                result = SessionConfig::GetInstance()->setBackground(localPath);
            } else if (result.isEmpty()) {
                result = QStringLiteral("wallpaper download failed, code: %1").arg(code);
                if (code < 100 || code > 599)
                    result += QStringLiteral(": ") + text;
                qWarning() << result << text;
            }
            slot.record(result);
        });
}

void SessionPolicyExecutor::setScreensaverBackground(const QString& value, const ResultSlot& slot)
{
    const QString dir = QDir::homePath() + vorn::kScreensaverBackgroundPath;
    if (!QDir(dir).exists() && !QDir().mkpath(dir)) {
        qInfo() << "mkpath path  " << dir << "filed！！！";
        slot.record(QStringLiteral("mkpath failed: ") + dir);
        return;
    }
    const QString url = serverUrl(value);
    const QString name = fileNameOf(url);
    if (name.isEmpty()) {
        qWarning() << "screen-saver picture path names no file:" << value;
        slot.record(QStringLiteral("invalid file name: ") + value);
        return;
    }

    const QString localPath = dir + QLatin1Char('/') + name;
    const bool reuse = reusesFetched(url, localPath);
    // The directory holds only the current picture.
    const QFileInfoList old =
        QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& file : old) {
        if (!reuse || file.fileName() != name)
            QFile::remove(file.absoluteFilePath());
    }
    if (reuse) {
        slot.record(SessionConfig::GetInstance()->setScreenSaverBg(dir));
        return;
    }

    const quint64 document = slot.document();
    const QString identity = documentIdentity();
    const SettingDownload download(this, document, QStringLiteral("screen-saver picture"), url);
    const QString refused = refusedBeforeDownload(download);
    if (!refused.isEmpty()) {
        slot.record(refused);
        return;
    }
    QPointer<SessionPolicyExecutor> self(this);
    download.start(localPath, 3600,
        [self, slot, dir, localPath, identity, url](SettingDownload::End end, const QString& refusal,
                                                        const QString&, int code) {
            qInfo() << ":path/" << localPath << ":" << code;
            QString result = refusedAfterDownload(end, refusal, code);
            if (self && end == SettingDownload::End::Delivered)
                self->rememberFetched(identity, url, localPath);
            if (result.isEmpty())
                result = QFileInfo::exists(localPath) ? SessionConfig::GetInstance()->setScreenSaverBg(dir)
                                                      : QStringLiteral("image not exist");
            qInfo() << "setScreenSaverBackground------" << result;
            slot.record(result);
        });
}
