#include "fetch_record.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMutexLocker>
#include <QtDebug>

namespace {
const QString kDocumentField = QStringLiteral("document");
const QString kFilesField = QStringLiteral("files");
const QString kUrlField = QStringLiteral("url");
const QString kSizeField = QStringLiteral("size");
const QString kSha256Field = QStringLiteral("sha256");
} // namespace

FetchRecord::FetchRecord(const QString& path)
    : m_path(path)
    // Forgetting is safe: the next application fetches its files once more.
    , m_file(path, QStringLiteral("fetch record unreadable, starting afresh:"))
{
    load();
}

QString FetchRecord::path() const
{
    return m_path;
}

bool FetchRecord::describe(const QString& localPath, File* file)
{
    const QFileInfo info(localPath);
    // Only a regular file of our own: never what a link points to.
    if (info.isSymLink() || !info.isFile())
        return false;
    QFile content(localPath);
    if (!content.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&content))
        return false;
    file->size = info.size();
    file->sha256 = hash.result().toHex();
    return true;
}

void FetchRecord::begin(const QString& document)
{
    QMutexLocker locker(&m_mutex);
    if (document.isEmpty() || document == m_document)
        return;
    qInfo() << "new policy document, its pictures and icons are fetched anew:" << document;
    m_document = document;
    m_files.clear();
    save();
}

bool FetchRecord::holds(const QString& document, const QString& url, const QString& localPath) const
{
    File known;
    {
        QMutexLocker locker(&m_mutex);
        if (document.isEmpty() || document != m_document || !m_files.contains(localPath))
            return false;
        known = m_files.value(localPath);
    }
    if (known.url != url)
        return false;
    File now;
    return describe(localPath, &now) && now.size == known.size && now.sha256 == known.sha256;
}

void FetchRecord::fetched(const QString& document, const QString& url, const QString& localPath)
{
    File file;
    file.url = url;
    if (!describe(localPath, &file)) {
        forget(localPath);
        return;
    }
    QMutexLocker locker(&m_mutex);
    if (document.isEmpty() || document != m_document)
        return;
    m_files.insert(localPath, file);
    save();
}

void FetchRecord::forget(const QString& localPath)
{
    QMutexLocker locker(&m_mutex);
    if (m_files.remove(localPath) > 0)
        save();
}

void FetchRecord::load()
{
    vorn::base::StateFile::Status status;
    const QJsonObject root = m_file.read(&status);
    if (status != vorn::base::StateFile::Status::Ok)
        return;
    m_document = root.value(kDocumentField).toString();
    const QJsonObject files = root.value(kFilesField).toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        File file;
        file.url = entry.value(kUrlField).toString();
        file.size = qint64(entry.value(kSizeField).toDouble(-1));
        file.sha256 = entry.value(kSha256Field).toString().toLatin1();
        m_files.insert(it.key(), file);
    }
}

void FetchRecord::save() const
{
    QJsonObject files;
    for (auto it = m_files.constBegin(); it != m_files.constEnd(); ++it) {
        files.insert(it.key(), QJsonObject{{kUrlField, it.value().url},
                                           {kSizeField, double(it.value().size)},
                                           {kSha256Field, QString::fromLatin1(it.value().sha256)}});
    }
    const QJsonObject root{{kDocumentField, m_document}, {kFilesField, files}};
    if (!m_file.write(root))
        qWarning() << "fetch record not written:" << m_path;
}
