#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <QElapsedTimer>

#include <atomic>

class ReceiptJournal;
class vorngInterface;

// Result of one server task, handed to the core client service as a receipt.
struct ResponseInfo
{
    int taskId = 0;
    int jobId = 0;
    bool isSuccessed = false;
    QString result;
    // The result as the log shows it: summaries instead of what a child run
    // as root printed. Never sent.
    QString shown;
};
Q_DECLARE_METATYPE(ResponseInfo)

// Hands task receipts, in order, to the core client service over the system
// bus, retrying each until the service accepts it. Lives on a thread of its
// own: its waits and blocking calls never hold the caller's thread.
class PolicyResponder : public QObject
{
    Q_OBJECT
public:
    explicit PolicyResponder(QObject* parent = nullptr);
    ~PolicyResponder() override;

    // Thread-safe; ends the delivery loop at its next check, also mid-wait.
    void stop();
    // A delivered receipt is removed from journal. Set before the thread starts.
    void setJournal(ReceiptJournal* journal);

public slots:
    // Appends a receipt and, when it is the only one, delivers until the list
    // is empty. Called from another thread it re-posts itself to the
    // responder's thread.
    void addReceipt(ResponseInfo info);
    void run();

private:
    Q_DISABLE_COPY(PolicyResponder)
    bool sleepUnlessStopped(int ms) const;
    void noteRefusal(const ResponseInfo& receipt, const QString& error);
    void noteAccepted(const ResponseInfo& receipt);

    std::atomic_bool m_stop{false};
    QList<ResponseInfo> m_receipts;
    ReceiptJournal* m_journal = nullptr;
    // The core client service's proxy, made on the responder's thread.
    vorngInterface* m_vorng = nullptr;
    // Refusals in a row, and since when the last line about them was written.
    int m_refusals = 0;
    QElapsedTimer m_lastRefusalLog;
};
