#pragma once

#include <QHash>
#include <QMutex>
#include <QPair>
#include <QString>

// How much one policy document may download in total. The handlers ask before
// each download and account each finished one, so that a document with
// hundreds of script or icon items cannot fill the disk; what a single
// download may be is the HTTPS client's own limit.
//
// Documents are told apart by their executor and the executor's document
// number. Handlers run on the executor thread and completions on the main
// thread, hence the lock.
class DownloadBudget
{
public:
    static constexpr qint64 kMaxDocumentBytes = 256 * 1024 * 1024;

    explicit DownloadBudget(qint64 maxDocumentBytes = kMaxDocumentBytes);

    // The one budget of the program's handlers.
    static DownloadBudget& shared();

    // Before a download of the document starts: false, with the reason in
    // *refusal, when the document has used up its budget. A newer document of
    // the same executor forgets the older ones.
    bool admit(const void* executor, quint64 document, QString* refusal);

    // After a download of the document succeeded, with the file it produced:
    // adds the file's size. When that would take the document over its budget
    // the file is deleted, nothing is added and *refusal says why.
    bool account(const void* executor, quint64 document, const QString& path, QString* refusal);

    qint64 used(const void* executor, quint64 document) const;
    qint64 limit() const { return m_limit; }

    // Result text of a download that was refused or failed: an HTTP status is
    // enough, other codes carry the client's reason.
    static QString refusedText(const QString& what, const QString& url, const QString& reason);
    static QString failedText(const QString& what, int code, const QString& url, const QString& reason);

private:
    Q_DISABLE_COPY(DownloadBudget)

    using Key = QPair<quintptr, quint64>;

    QString limitText() const;

    const qint64 m_limit;
    mutable QMutex m_mutex;
    QHash<Key, qint64> m_used;
};
