#pragma once

#include "common/shared/statefile.h"

#include <QHash>
#include <QMutex>
#include <QString>

// What the download handlers fetched for the latest policy document: for each
// local file, the URL it came from, its size and its SHA-256. A timer pull
// queues the same document again and again; a file it remembers that is
// still there and unchanged is used as it is instead of being fetched again.
// A different document, or a server task, fetches everything anew. Kept on
// disk (replaced atomically on every change), so a restart fetches nothing
// twice either. Any thread: handlers ask on the executor thread, download
// completions record on the main thread.
class FetchRecord
{
public:
    explicit FetchRecord(const QString& path);

    QString path() const;

    // Makes `document` the one remembered; a different one forgets every
    // file. An empty identity is ignored.
    void begin(const QString& document);
    // Whether `localPath` still holds, unchanged, what `url` gave for `document`.
    bool holds(const QString& document, const QString& url, const QString& localPath) const;
    // A download of `url` for `document` produced `localPath`. Files of an
    // earlier document (late completions) are not remembered.
    void fetched(const QString& document, const QString& url, const QString& localPath);
    // `localPath` is gone or no longer what was fetched.
    void forget(const QString& localPath);

private:
    Q_DISABLE_COPY(FetchRecord)

    struct File
    {
        QString url;
        qint64 size = -1;
        QByteArray sha256; // hex
    };

    static bool describe(const QString& localPath, File* file);
    void load();
    void save() const;

    const QString m_path;
    const vorn::base::StateFile m_file;
    mutable QMutex m_mutex;
    QString m_document;
    QHash<QString, File> m_files;
};
