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

    // The manager tells how a command asked for by execScript or
    // execDocumentScript ended, before it records the command's result.
    void commandFinished(quint64 document, const QString& cmd, bool succeeded);

signals:
    void loginLimitChanged(int type);
    void usbPolicyChanged(bool flag);
    void execScript(const QString& key, const QString& cmd);
    void saveSoftwareList(const QJsonArray& array);
    // Like execScript, for a command whose result belongs to `document`
    // (a script that arrived from the server after its handler returned).
    void execDocumentScript(quint64 document, const QString& key, const QString& cmd);
    // A software installation for `document`: `id` names it across restarts
    // of qarg (the same document, task and command give the same id).
    void execInstall(quint64 document, const QString& key, const QString& cmd, const QString& id);

protected:
    const CycleTexts& cycleTexts() const override;
    void logStep(Step step, const PolicyInfo& info, int value, const QString& text) const override;
    void documentLoaded() override;

private:
    Q_DISABLE_COPY(SystemPolicyExecutor)
    void initFunction();
    void execCommand(const QString& key, const QString& cmd);
    void execCommand(quint64 document, const QString& key, const QString& cmd);
    void onScriptDownloaded(quint64 document, const OneShotRecord::Item& item, const QString& url,
                            const QString& file, SettingDownload::End end, const QString& refusal,
                            const QString& text, int code);
    QString installBackground(const QString& picDir, const QString& localPath,
                              SettingDownload::End end, const QString& refusal);
    // Whether a one-shot item runs: always for a task, else unless it
    // succeeded for this document before. One that does not run records so.
    bool runsOnce(const OneShotRecord::Item& item);
    OneShotRecord::Item oneShotItem(const QString& key, const QString& name) const;
    // The SSH sequence restarts the service: run in full for a task or a new
    // document, and for a repetition only when the service has drifted.
    QString applySSHLogin(int state);

    // System configuration
    void setNTPConfig(const QString& value);
    void setSSHLogin(const QString& value);
    void setBluetooth(const QString& value);
    void setLoginLimit(const QString& value);
    void setAppBlacklist(const QString& value);
    void setWireless(const QString& value);
    void setCDDeviceConfig(const QString& value);
    void setUSBDeviceCofnig(const QString& value);
    // Software, scripts, firewall, boot background
    void execAppInstall(const QString& value);
    void execScriptInstall(const QString& value);
    void execFireWall(const QString& value);
    void execLaunchBackground(const QString& value);

    QScopedPointer<SystemPolicyExecutorPrivate> d;
    friend class SystemPolicyExecutorPrivate;
};
