#pragma once

#include "policy_queue.h"
#include "result_slot.h"

#include <QByteArray>
#include <QMap>
#include <QScopedPointer>
#include <QString>

#include <atomic>
#include <memory>

class AbstractPolicyPrivate;
struct ResultSlotAnchor;

// Second base of both executors: the settings table of one policy document,
// the per-setting result array sent to the server, and cache file access.
class AbstractPolicy
{
public:
    AbstractPolicy();
    virtual ~AbstractPolicy();

    virtual bool execPolicy(const PolicyInfo& info) = 0;
    virtual void callFunction(QString key, QString value) = 0;

    // A fixed server instead of the enrolled one; without it every call
    // reads the current one.
    void setConfig(const QString& host, const QString& port);
    QString serverHost() const;
    QString serverPort() const;

    bool parsePolicy(const QByteArray& data);
    QMap<QString, QString> getPolicy() const;
    // The md5 the server gave the parsed document; empty when it has none.
    QString documentMd5() const;

    // Records one result for the document being executed, its text cut to
    // ReceiptBounds::kMaxResultBytes. Any thread.
    // A result that carries what a child run as root printed comes with a
    // summary ("success", "failed: exit 2"): the receipt gets the result,
    // what every local user may read only the summary.
    void appendExecResult(const QString& key, const QString& result,
                          const QString& summary = QString());
    // Same, for a result that arrives later (HTTPS callback, child process):
    // it is recorded only while `document` is still the one being executed,
    // so that a late result can never count towards a later document.
    bool appendExecResult(quint64 document, const QString& key, const QString& result,
                          const QString& summary = QString());
    QString getExecResult();
    // The result array as the log shows it: each result as shownResult gives it.
    QString getShownResult();

    // The place of one more expected result of the document being executed:
    // the document waits until every slot taken has recorded (or was
    // dropped, which records ResultSlot::kDroppedText). Any thread.
    ResultSlot takeResultSlot(const QString& key);

    bool readCache(const QString& path, QByteArray& data);

    // Identifies the document whose results are being collected now.
    quint64 currentDocument() const;

protected:
    // Starts collecting results for a new document: a new document id,
    // counter and total 0. Called by the executors before each document.
    quint64 beginDocument();
    // Called after each result was recorded, outside the lock; any thread.
    virtual void resultRecorded(const QString& key, const QString& result, const QString& summary);
    enum class SettleEnd { Settled, TimeLimit, Interrupted };
    // Waits, without polling, until every slot taken for the current
    // document has recorded, at most limitMs, or until interruptResultWait().
    SettleEnd waitForSettled(qint64 limitMs);
    // Ends a wait for results at once, and every later one. Any thread.
    void interruptResultWait();
    // Slots that outlive the owner record nothing; called before it goes.
    void closeResultSlots();
    // What the log may show of a result: what a child run as root printed
    // stays out of it. Here the summary when there is one. Any thread.
    virtual QString shownResult(const QString& key, const QString& result,
                                const QString& summary) const;

    std::atomic<int> m_policyExecCounter{0};
    std::atomic<int> m_policyTotal{0};

private:
    Q_DISABLE_COPY(AbstractPolicy)
    friend class AbstractPolicyPrivate;
    friend class ResultSlot;
    // A slot's result: recorded, and the slot settled, only while its
    // document is the current one.
    bool recordSlot(quint64 document, const QString& key, const QString& result,
                    const QString& summary);
    std::shared_ptr<ResultSlotAnchor> m_slotAnchor;
    QString m_serverHost;
    QString m_serverPort;
    QScopedPointer<AbstractPolicyPrivate> d;
};
