#pragma once

#include "policy_queue.h"

#include <QByteArray>
#include <QMap>
#include <QScopedPointer>
#include <QString>

#include <atomic>

class AbstractPolicyPrivate;

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

    bool readCache(const QString& path, QByteArray& data);

    // Identifies the document whose results are being collected now.
    quint64 currentDocument() const;

protected:
    // Starts collecting results for a new document: a new document id,
    // counter and total 0. Called by the executors before each document.
    quint64 beginDocument();
    // Called after each result was recorded, outside the lock; any thread.
    virtual void resultRecorded(const QString& key, const QString& result, const QString& summary);
    // What the log may show of a result: what a child run as root printed
    // stays out of it. Here the summary when there is one. Any thread.
    virtual QString shownResult(const QString& key, const QString& result,
                                const QString& summary) const;
    // A handler that records several results for one setting raises the
    // total by the number of extra results it will record.
    void expectMoreResults(int count);

    std::atomic<int> m_policyExecCounter{0};
    std::atomic<int> m_policyTotal{0};

private:
    Q_DISABLE_COPY(AbstractPolicy)
    friend class AbstractPolicyPrivate;
    QString m_serverHost;
    QString m_serverPort;
    QScopedPointer<AbstractPolicyPrivate> d;
};
