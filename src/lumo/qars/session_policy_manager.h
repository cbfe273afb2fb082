#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class PolicyPipeline;
class StatusBoard;
class SessionPolicyExecutor;
class vorngInterface;
class QThread;

// Top-level object of qars: builds the policy pipeline for the user's
// session, pulls on server pushes and restores the desktop when the machine
// leaves its domain.
class SessionPolicyManager : public QObject
{
    Q_OBJECT
public:
    explicit SessionPolicyManager(QObject* parent = nullptr);
    ~SessionPolicyManager() override;

    // What this program tells administrators; lives as long as the manager.
    StatusBoard* statusBoard() const;

    void initCacheConfig(QString& policyPath, QString& cachePath);
    void initPolicy();
    void restoreAndLeave();

public slots:
    void onServerMsgCame(const QString& appId, int type, const QString& payload);
    void onExecPolicyFinished(int taskId, int jobId, bool isSuccessed, const QString& result);
    void onDomainRemoved();

private:
    Q_DISABLE_COPY(SessionPolicyManager)

    PolicyPipeline* m_pipeline = nullptr;
    SessionPolicyExecutor* m_executor = nullptr;
    vorngInterface* m_vorng = nullptr;
};
