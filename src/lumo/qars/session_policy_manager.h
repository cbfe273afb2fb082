#pragma once

#include "lumo/policy/policy_manager.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class SessionPolicyExecutor;

// Top-level object of qars: builds the policy pipeline for the user's
// session, pulls on server pushes and restores the desktop when the machine
// leaves its domain.
class SessionPolicyManager : public PolicyManager
{
    Q_OBJECT
public:
    explicit SessionPolicyManager(QObject* parent = nullptr);
    ~SessionPolicyManager() override;

    void initCacheConfig(QString& policyPath, QString& cachePath);
    void initPolicy();
    void restoreAndLeave() override;

public slots:
    void onServerMsgCame(const QString& appId, int type, const QString& payload) override;
    void onExecPolicyFinished(int taskId, int jobId, bool isSuccessed, const QString& result,
                              const QString& shown) override;

private:
    Q_DISABLE_COPY(SessionPolicyManager)

    SessionPolicyExecutor* m_executor = nullptr; // owned by the base
};
