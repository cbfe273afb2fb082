#pragma once

#include "policy_responder.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <functional>

// The receipts the server is owed, on disk from the moment a document's
// result is known until the core client service has accepted it, so that a
// crash, a restart or an update never loses one. One file per receipt, each
// written atomically and flushed; names carry a sequence number, so the
// directory lists them in the order they were owed. Also keeps a marker per
// server task whose pull has started but whose document is not on disk yet.
// Any thread.
class ReceiptJournal
{
public:
    struct Entry
    {
        ResponseInfo receipt;
        QString cacheFile; // file name of the document's cache file, may be empty
    };

    // At most this many receipts are kept; at the bound the oldest is dropped
    // with a warning naming its task and job.
    static constexpr int kMaxEntries = 1024;

    explicit ReceiptJournal(const QString& dir);

    // Called after each change of the owed receipts; any thread.
    void setChangeCallback(std::function<void()> callback);

    QString dir() const;

    // Records a receipt before its document's cache file is deleted.
    bool add(const ResponseInfo& receipt, const QString& cacheFile = QString());
    // Removes the oldest entry of taskId and jobId once the service took it.
    void remove(int taskId, int jobId);
    // Every owed receipt, oldest first.
    QList<Entry> entries() const;
    int size() const;

    // Markers of pulls under way for a server task.
    void markPull(int taskId, int jobId);
    void clearPull(int taskId, int jobId);
    QList<QPair<int, int>> pendingPulls() const;

private:
    QStringList entryFiles() const;
    QString pullMarker(int taskId, int jobId) const;

    QString m_dir;
    mutable QMutex m_mutex;
    quint64 m_next = 0;
    std::function<void()> m_changed;
};
