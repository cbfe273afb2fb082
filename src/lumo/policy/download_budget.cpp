#include "download_budget.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QtDebug>

namespace {

bool isHttpStatus(int code)
{
    return code >= 100 && code <= 599;
}

} // namespace

DownloadBudget::DownloadBudget(qint64 maxDocumentBytes)
    : m_limit(maxDocumentBytes)
{
}

DownloadBudget& DownloadBudget::shared()
{
    static DownloadBudget budget;
    return budget;
}

QString DownloadBudget::limitText() const
{
    if (m_limit % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(m_limit / (1024 * 1024));
    return QStringLiteral("%1 bytes").arg(m_limit);
}

bool DownloadBudget::admit(const void* executor, quint64 document, QString* refusal)
{
    const quintptr owner = reinterpret_cast<quintptr>(executor);
    QMutexLocker lock(&m_mutex);
    for (auto it = m_used.begin(); it != m_used.end();) {
        if (it.key().first == owner && it.key().second < document)
            it = m_used.erase(it);
        else
            ++it;
    }
    const qint64 used = m_used.value(Key(owner, document));
    if (used < m_limit)
        return true;
    *refusal = QStringLiteral("the policy's downloads reached their limit of %1").arg(limitText());
    return false;
}

bool DownloadBudget::account(const void* executor, quint64 document, const QString& path,
                             QString* refusal)
{
    const qint64 size = QFileInfo(path).size();
    const Key key(reinterpret_cast<quintptr>(executor), document);
    QMutexLocker lock(&m_mutex);
    const qint64 used = m_used.value(key);
    if (size <= m_limit - used) {
        m_used.insert(key, used + size);
        return true;
    }
    lock.unlock();
    if (!QFile::remove(path))
        qWarning() << "download over the policy's limit not removed:" << path;
    *refusal = QStringLiteral("the policy's downloads would exceed their limit of %1 with %2 more bytes")
                   .arg(limitText())
                   .arg(size);
    return false;
}

qint64 DownloadBudget::used(const void* executor, quint64 document) const
{
    QMutexLocker lock(&m_mutex);
    return m_used.value(Key(reinterpret_cast<quintptr>(executor), document));
}

QString DownloadBudget::refusedText(const QString& what, const QString& url, const QString& reason)
{
    return QStringLiteral("%1 download refused: %2: %3").arg(what, url, reason);
}

QString DownloadBudget::failedText(const QString& what, int code, const QString& url,
                                   const QString& reason)
{
    const QString text =
        QStringLiteral("%1 download failed, code %2: %3").arg(what, QString::number(code), url);
    if (isHttpStatus(code) || reason.isEmpty())
        return text;
    return text + QStringLiteral(": ") + reason;
}
