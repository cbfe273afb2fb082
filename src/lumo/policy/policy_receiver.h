#pragma once

#include "policy_queue.h"
#include "pull_schedule.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

class QTimer;
class vorngInterface;
class PolicyReceiverPrivate;

// Pulls the policy document from the management server, keeps the last
// accepted document in the policy file, writes every document to be executed
// into a cache file of its own and queues one record per cache file for the
// executor. Lives on the main thread.
class PolicyReceiver : public QObject
{
    Q_OBJECT
public:
    explicit PolicyReceiver(const PolicyInfo& info, QObject* parent = nullptr);
    ~PolicyReceiver() override;

    void setPolicyQueue(PolicyQueue* queue);
    // Queues the cache files an earlier run left unexecuted, oldest first.
    void initPolicyCachePath();
    // Starts one asynchronous pull; the completion queues the document under
    // this pull's own task and job. While kMaxRunningPulls are under way it
    // waits, in order, for one of them to end. Always returns 0.
    int pullPolicy(int taskId, int jobId);
    // Pulls under way at once. An answer may be up to the HTTPS client's
    // 64 MiB, held several times over while it is checked and written: two
    // bound that at a few hundred MiB in the worst case, and one slow answer
    // still does not hold up the next push.
    static constexpr int kMaxRunningPulls = 2;
    int runningPulls() const { return m_runningPulls; }
    int waitingPulls() const { return m_waitingPulls.size(); }
    // For good: no further pull is made, and answers still on their way are dropped.
    void stopPulling();

    // What the next pull will use, and when it comes; -1 when none is due.
    QString server() const;
    QString machineId() const;
    QString md5() const;
    qint64 nextPullInMs() const;
    // The interval of the timer pulls, in milliseconds.
    qint64 pullIntervalMs() const;
    // When the timer ticks and whether its pull may go to the server.
    PullSchedule& schedule();

    // Regular files of dir (hidden ones included, links excluded), oldest first.
    QStringList fileSearch(const QString& dir);
    // Replaces the file at path with data without ever writing through a link.
    bool writeCache(const QString& path, const QByteArray& data);
    // Checks a response; writes an accepted document to both files.
    bool parsePolicy(const QString& cachePath, const QString& policyPath, const QByteArray& data);
    // Same; reason says why an answer was not accepted.
    bool parsePolicy(const QString& cachePath, const QString& policyPath, const QByteArray& data,
                     QString* reason);
    // Completion of one pull: queues the accepted document, or the last
    // accepted one again, under the pull's own task and job.
    void completePull(int taskId, int jobId, const QString& msg, int nCode);

signals:
    // A pull for a server task was sent; its document is not on disk yet.
    void pullStarted(int taskId, int jobId);
    // The pull's document (or the last accepted one) is on disk and queued.
    void pullQueued(int taskId, int jobId);
    // Nothing could be queued for the pull; reason names why.
    void pullFailed(int taskId, int jobId, const QString& reason);
    // Every completed pull: what came of it, for the status shown to administrators.
    void pullCompleted(int taskId, int jobId, const QString& outcome);

public slots:
    void onPullPolicyTimerOut();

private:
    Q_DISABLE_COPY(PolicyReceiver)
    void initTimer();
    void onTimeIntervalChanged(int interval);
    void armTimer();
    void holdTimerPull();
    void requeueStored(const PolicyInfo& record, const QString& reason);
    PolicyInfo completionRecord(int taskId, int jobId) const;
    void queueRecord(const PolicyInfo& record);
    void refreshServer();
    void startPull(int taskId, int jobId, bool announce = true);
    void startNextPull();
    bool acceptDocument(const QString& cachePath, const QString& policyPath, const QByteArray& data,
                        QString* reason);
    QString chooseCacheFile(int taskId, int jobId) const;

    QTimer* m_timer = nullptr;
    qint64 m_intervalMs = 0;
    PullSchedule m_schedule;
    bool m_stopped = false;
    int m_runningPulls = 0;
    QQueue<QPair<int, int>> m_waitingPulls;
    vorngInterface* m_interface = nullptr;
    QScopedPointer<PolicyReceiverPrivate> d;
};
