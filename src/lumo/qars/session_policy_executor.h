#pragma once

#include "lumo/policy/policy_executor.h"

#include <QScopedPointer>
#include <QString>
#include <QStringList>

class PolicyQueue;
class SessionPolicyExecutorPrivate;

// Worker thread of qars: takes queued policy records, applies each desktop
// setting through the handler of its key, waits for every result and reports
// documents that a server task asked for.
class SessionPolicyExecutor : public PolicyExecutor
{
    Q_OBJECT
public:
    explicit SessionPolicyExecutor(PolicyQueue* queue);
    ~SessionPolicyExecutor() override;

    // The user's cache directory: XDG_CACHE_HOME when set and non-empty,
    // else the platform's generic cache location.
    static QString cacheHome();

    void initConfig();
    void initFunction();

    // Asks the server for the names of all control-centre modules.
    void initControlCenterList();
    // Asks for the list again when it did not come from the current server.
    // Main thread.
    void refreshControlCenterList();
    // Completion of that request (main thread).
    void controlCenterList(const QString& msg, int code);
    QStringList controlCenterModules() const;

    QString webpageIconPath() const;

protected:
    void documentLoaded() override;
    const CycleTexts& cycleTexts() const override;
    void logStep(Step step, const PolicyInfo& info, int value, const QString& text) const override;

private:
    Q_DISABLE_COPY(SessionPolicyExecutor)
    // Desktop settings applied at once
    void setTrayIconTrashVisible(const QString& value, const ResultSlot& slot);
    void setTaskbarDisplayMode(const QString& value, const ResultSlot& slot);
    void setTaskbarAppVisible(const QString& value, const ResultSlot& slot);
    void setLauncherVisible(const QString& value, const ResultSlot& slot);
    void setDockRightMenuEnabled(const QString& value, const ResultSlot& slot);
    void setTrayIconNetworkEnabled(const QString& value, const ResultSlot& slot);
    void setTrayIconUsbEnabled(const QString& value, const ResultSlot& slot);
    void setScreensaverTime(const QString& value, const ResultSlot& slot);
    void setPower(const QString& value, const ResultSlot& slot);
    void setHotspotEnabled(const QString& value, const ResultSlot& slot);
    void setShortcutEnabled(const QString& value, const ResultSlot& slot);
    void setControlCenterVisible(const QString& value, const ResultSlot& slot);
    // Settings applied when their download ends (main thread)
    void setWebShortcut(const QString& value, const ResultSlot& slot);
    void setDesktopBackground(const QString& value, const ResultSlot& slot);
    void setScreensaverBackground(const QString& value, const ResultSlot& slot);
    void downloadShortcutImage(const QString& name, const QString& url, const QString& text,
                               int code, const ResultSlot& slot);

    QString serverUrl(const QString& path) const;
    // Whether `localPath` may be used as it is instead of fetching `url`
    // again: the same document re-applied without a task, the file unchanged.
    bool reusesFetched(const QString& url, const QString& localPath);
    // After a successful download for the document `identity`.
    void rememberFetched(const QString& identity, const QString& url, const QString& localPath);
    // Setting the wallpaper deletes the file it was given: a downloaded one is
    // kept under a second, hidden name beside it, and put back from there.
    static QString keptWallpaper(const QString& localPath);
    void keepWallpaper(const QString& identity, const QString& url, const QString& localPath);
    static bool putBack(const QString& kept, const QString& localPath);

    QScopedPointer<SessionPolicyExecutorPrivate> d;
    friend class SessionPolicyExecutorPrivate;
};
