#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Desktop settings of the user's session: each operation turns one policy
// value into calls on the adaption service and returns the result text the
// executor records for that setting.
class SessionConfig : public QObject
{
    Q_OBJECT
public:
    static SessionConfig* GetInstance();

    QString setAppTrash(const QString& value);
    QString setShortcut(const QString& value);
    QString setTaskbarMode(const QString& value);
    QString setTaskbarDockApp(const QString& value);
    QString setTaskbarLauncher(const QString& value);
    QString setTaskbarRightMenu(const QString& value);
    QString setTrayIconNetwork(const QString& value);
    QString setTrayIconUsb(const QString& value);
    QString setHotspot(int value);
    QString setLockScreenAtAwake(int code);
    QString setScreenSaveTimeOut(const QString& value);
    QString setScreenSaverBg(const QString& directory);
    QString setPowerConfig(const QString& value);
    QString setControlCenter(const QStringList& allModules, const QString& value);
    QString setWebpageLink(const QString& name, const QString& url, const QString& text);

    // Sets the wallpaper and deletes the file. When the first attempt fails,
    // retries every 5 s on the main thread, at most 15 more times; the file
    // is deleted when the retries end. Returns the first attempt's text.
    QString setBackground(const QString& path);

    // The settings of a document are held against changes by others until a later
    // document leaves them out: every other hold ends. Returns the adaption status.
    int holdSettingsOf(const QStringList& settingKeys);

    // Wallpaper retry ticks counted so far (shared by all pending retries).
    static int backgroundRetryCount();

    static constexpr int kBackgroundRetryInterval = 5000; // ms
    static constexpr int kBackgroundRetryTicks = 16;

private:
    SessionConfig();
    Q_DISABLE_COPY(SessionConfig)

    void startBackgroundRetry(const QString& path);
};
