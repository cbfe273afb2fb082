#pragma once

#include <QObject>
#include <QScopedPointer>
#include <QString>

#include <functional>

class PolicyExecutor;
class PolicyQueue;
class PolicyReceiver;
class PolicyResponder;
class ReceiptJournal;
class StatusBoard;
class QThread;
struct ResponseInfo;

// What both managers set up the same way at start: the queue, the receiver
// that fills it (with the cache files an earlier run left re-queued and the
// first pull armed), and the receipt thread. Lives on the main thread; the
// manager creates its executor on queue() and stops it before this goes.
class PolicyPipeline : public QObject
{
    Q_OBJECT
public:
    struct Paths
    {
        QString url;        // policy URL template
        QString policyPath; // the last accepted document
        QString cachePath;  // directory of documents still to execute
        QString stateDir;   // receipts still owed and pulls under way
        QString program;    // name shown in the status file
        QString statusPath; // the status file for administrators
    };

    PolicyPipeline(const Paths& paths, QObject* parent = nullptr);
    ~PolicyPipeline() override;

    static constexpr int kFirstPullDelayMs = 10000;

    PolicyQueue* queue() const;
    PolicyReceiver* receiver() const;
    ReceiptJournal* journal() const;
    StatusBoard* statusBoard() const;

    // The machine leaves its domain: no further pull, the records still queued
    // are dropped with their cache files, and `executor` ends once the document
    // that runs has ended; then `then` runs on the main thread.
    // Nothing is pulled or applied any more, and what the policies changed is
    // restored once the handler that runs now has ended.
    void leaveDomain(PolicyExecutor* executor, std::function<void()> then);
    bool leavingDomain() const;

    // Hands one task receipt to the receipt thread. Any thread.
    // `shown` is what the log shows of the result.
    void sendReceipt(int taskId, int jobId, bool isSuccessed, const QString& result,
                     const QString& shown);

private:
    Q_DISABLE_COPY(PolicyPipeline)
    void stopResponder();
    void dropJournaledDocuments(const QString& cachePath);
    void resumeOwedWork(const QString& cachePath);
    void onPullFailed(int taskId, int jobId, const QString& reason);
    void deliver(const ResponseInfo& receipt);

    QScopedPointer<ReceiptJournal> m_journal;
    PolicyQueue* m_queue = nullptr;
    StatusBoard* m_status = nullptr;
    bool m_leavingDomain = false;
    PolicyReceiver* m_receiver = nullptr;
    PolicyResponder* m_responder = nullptr;
    QThread* m_responderThread = nullptr;
};
