#pragma once

#include "policy_pipeline.h"

#include <QObject>
#include <QString>

class PolicyExecutor;
class StatusBoard;
class vorngInterface;
struct PushMessage;

// What the top-level objects of both programs share: the core client
// service's proxy and the pushes it relays, the pipeline with its executor
// thread, the receipt of every finished document, and leaving the domain.
// Each program builds its pipeline and executor in its own constructor
// (setUpPipeline, then adoptExecutor) and says what a push and a domain
// removal mean to it.
class PolicyManager : public QObject
{
    Q_OBJECT
public:
    // The program's own log texts.
    struct Texts
    {
        const char* initBegin;   // before anything is set up
        const char* leaveBegin;  // when the machine leaves its domain
    };

    ~PolicyManager() override;

    // What this program tells administrators; lives as long as the manager.
    StatusBoard* statusBoard() const;

public slots:
    virtual void onServerMsgCame(const QString& appId, int type, const QString& payload) = 0;
    virtual void onExecPolicyFinished(int taskId, int jobId, bool isSuccessed, const QString& result,
                                      const QString& shown);
    void onDomainRemoved();

protected:
    PolicyManager(const Texts& texts, QObject* parent);

    PolicyPipeline* setUpPipeline(const PolicyPipeline::Paths& paths);
    // Takes `executor` (built on the pipeline's queue) for good: it records
    // into the pipeline's journal and status board, its reports become
    // receipts, and it is stopped and deleted before the pipeline goes.
    void adoptExecutor(PolicyExecutor* executor);

    // A push that is to be acted on: none while leaving the domain, and only
    // one whose payload is a message.
    bool acceptPush(int type, const QString& payload, PushMessage& message) const;

    // Restores what the policies changed and ends the program's service;
    // runs once the executor has ended after the machine left its domain.
    virtual void restoreAndLeave() = 0;

    PolicyPipeline* pipeline() const;
    vorngInterface* vorng() const;

private:
    Q_DISABLE_COPY(PolicyManager)

    const Texts m_texts;
    vorngInterface* m_vorng = nullptr;
    PolicyPipeline* m_pipeline = nullptr;
    PolicyExecutor* m_executor = nullptr;
};
