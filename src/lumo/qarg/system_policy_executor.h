#pragma once

#include "lumo/policy/policy_executor.h"
#include "lumo/policy/setting_download.h"
#include "oneshot_record.h"

#include <QJsonArray>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

class PolicyQueue;
class SystemPolicyExecutorPrivate;

// Worker thread of qarg: takes queued policy records, applies each setting
// through the handler of its key, waits for every result and reports it.
class SystemPolicyExecutor : public PolicyExecutor
{
    Q_OBJECT
public:
    explicit SystemPolicyExecutor(PolicyQueue* queue);
    ~SystemPolicyExecutor() override;

    // The settings whose results carry what children run as root printed
    // (scripts, firewall commands, installs): local users see summaries only.
    static QStringList rootOutputKeys();

    // The manager tells how a command asked for by execDocumentScript
    // ended, before it records the command's result.
    void commandFinished(quint64 document, const QString& cmd, bool succeeded);

signals:
    void loginLimitChanged(int type);
    void usbPolicyChanged(bool flag);
    void saveSoftwareList(const QJsonArray& array);
    // Asks the manager to run a command line; its result goes to `slot`
    // (a script arrives from the server after its handler returned).
    void execDocumentScript(const ResultSlot& slot, const QString& cmd);
    // A software installation whose result goes to `slot`: `id` names it
    // across restarts of qarg (the same document, task and command give the
    // same id).
    void execInstall(const ResultSlot& slot, const QString& cmd, const QString& id);

protected:
    const CycleTexts& cycleTexts() const override;
    void logStep(Step step, const PolicyInfo& info, int value, const QString& text) const override;
    void documentLoaded() override;

private:
    Q_DISABLE_COPY(SystemPolicyExecutor)
    void initFunction();
    void execCommand(const ResultSlot& slot, const QString& cmd);
    void onScriptDownloaded(const ResultSlot& slot, const OneShotRecord::Item& item, const QString& url,
                            const QString& file, SettingDownload::End end, const QString& refusal,
                            const QString& text, int code);
    QString installBackground(const QString& picDir, const QString& localPath,
                              SettingDownload::End end, const QString& refusal);
    // Whether a one-shot item runs: always for a task, else unless it
    // succeeded for this document before. One that does not run records so.
    bool runsOnce(const OneShotRecord::Item& item, const ResultSlot& slot);
    OneShotRecord::Item oneShotItem(const QString& key, const QString& name) const;
    // The SSH sequence restarts the service: run in full for a task or a new
    // document, and for a repetition only when the service has drifted.
    QString applySSHLogin(int state);

    // System configuration
    void setNTPConfig(const QString& value, const ResultSlot& slot);
    void setSSHLogin(const QString& value, const ResultSlot& slot);
    void setBluetooth(const QString& value, const ResultSlot& slot);
    void setLoginLimit(const QString& value, const ResultSlot& slot);
    void setAppBlacklist(const QString& value, const ResultSlot& slot);
    void setWireless(const QString& value, const ResultSlot& slot);
    void setCDDeviceConfig(const QString& value, const ResultSlot& slot);
    void setUSBDeviceCofnig(const QString& value, const ResultSlot& slot);
    // Software, scripts, firewall, boot background
    void execAppInstall(const QString& value, const ResultSlot& slot);
    void execScriptInstall(const QString& value, const ResultSlot& slot);
    void execFireWall(const QString& value, const ResultSlot& slot);
    void execLaunchBackground(const QString& value, const ResultSlot& slot);

    QScopedPointer<SystemPolicyExecutorPrivate> d;
    friend class SystemPolicyExecutorPrivate;
};
