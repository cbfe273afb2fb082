#include "receipt_journal.h"

#include "common/base/filecontent.h"
#include "common/shared/statefile.h"
#include "receipt_bounds.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QtDebug>

namespace {

const QString kReceiptSuffix = QStringLiteral(".receipt");
const QString kPullDir = QStringLiteral("pulls");
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

const QString kTaskField = QStringLiteral("task_id");
const QString kJobField = QStringLiteral("job_id");
// What the log shows of the result; never sent.
const QString kShownField = QStringLiteral("shown");

QJsonObject encode(const ReceiptJournal::Entry& entry)
{
    QJsonObject object;
    object.insert(kTaskField, entry.receipt.taskId);
    object.insert(kJobField, entry.receipt.jobId);
    object.insert(QStringLiteral("success"), entry.receipt.isSuccessed);
    object.insert(QStringLiteral("result"), entry.receipt.result);
    object.insert(kShownField, entry.receipt.shown);
    object.insert(QStringLiteral("cache_file"), entry.cacheFile);
    return object;
}

bool isEntry(const QJsonObject& object)
{
    return object.value(kTaskField).isDouble() && object.value(kJobField).isDouble();
}

ReceiptJournal::Entry decode(const QJsonObject& object)
{
    ReceiptJournal::Entry entry;
    entry.receipt.taskId = object.value(kTaskField).toInt();
    entry.receipt.jobId = object.value(kJobField).toInt();
    entry.receipt.isSuccessed = object.value(QStringLiteral("success")).toBool();
    // Also what an earlier version kept uncut.
    entry.receipt.result = ReceiptBounds::cutReceipt(object.value(QStringLiteral("result")).toString());
    entry.cacheFile = object.value(QStringLiteral("cache_file")).toString();
    // An earlier version kept no log text: the result stays out of the log.
    entry.receipt.shown = object.contains(kShownField) ? object.value(kShownField).toString()
                                                       : QStringLiteral("result not shown");
    return entry;
}

// An entry that cannot be read is kept beside the journal, never deleted: the
// receipt it holds may still be owed.
vorn::base::StateFile entryFile(const QString& path)
{
    return vorn::base::StateFile(path, QStringLiteral("receipt journal: unreadable entry"), kOwnerOnly);
}

quint64 sequenceOf(const QString& name)
{
    return name.section(QLatin1Char('-'), 0, 0).toULongLong();
}

} // namespace

ReceiptJournal::ReceiptJournal(const QString& dir)
    : m_dir(dir)
{
    if (!QDir().mkpath(m_dir + QLatin1Char('/') + kPullDir))
        qWarning() << "receipt journal: cannot create" << m_dir;
    QFile::setPermissions(m_dir, kOwnerOnly | QFileDevice::ExeOwner);
    const QStringList files = entryFiles();
    if (!files.isEmpty())
        m_next = sequenceOf(files.last()) + 1;
}

void ReceiptJournal::setChangeCallback(std::function<void()> callback)
{
    m_changed = std::move(callback);
}

QString ReceiptJournal::dir() const
{
    return m_dir;
}

QStringList ReceiptJournal::entryFiles() const
{
    QStringList files;
    const QStringList names =
        QDir(m_dir).entryList({QLatin1Char('*') + kReceiptSuffix}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (!vorn::base::FileContent::isUnfinishedWrite(name))
            files.append(name);
    }
    return files;
}

bool ReceiptJournal::add(const ResponseInfo& receipt, const QString& cacheFile)
{
    QMutexLocker locker(&m_mutex);
    QStringList files = entryFiles();
    while (files.size() >= kMaxEntries) {
        const QString oldest = files.takeFirst();
        const Entry dropped = decode(entryFile(m_dir + QLatin1Char('/') + oldest).read(nullptr, isEntry));
        qWarning() << "receipt journal full, dropping the oldest owed receipt: task"
                   << dropped.receipt.taskId << "job" << dropped.receipt.jobId;
        QFile::remove(m_dir + QLatin1Char('/') + oldest);
    }
    // A fixed width keeps name order and owed order the same.
    const QString name = QStringLiteral("%1-%2_%3")
                             .arg(m_next++, 16, 10, QLatin1Char('0'))
                             .arg(receipt.taskId)
                             .arg(receipt.jobId)
        + kReceiptSuffix;
    ResponseInfo bounded = receipt;
    bounded.result = ReceiptBounds::cutReceipt(receipt.result);
    const bool written = entryFile(m_dir + QLatin1Char('/') + name)
                             .write(encode(Entry{bounded, cacheFile}), QJsonDocument::Compact);
    if (!written)
        qWarning() << "receipt journal: receipt not stored, kept in memory only: task"
                   << receipt.taskId << "job" << receipt.jobId;
    locker.unlock();
    if (m_changed)
        m_changed();
    return written;
}

void ReceiptJournal::remove(int taskId, int jobId)
{
    QMutexLocker locker(&m_mutex);
    const QString tail = QStringLiteral("-%1_%2").arg(taskId).arg(jobId) + kReceiptSuffix;
    for (const QString& name : entryFiles()) {
        if (name.endsWith(tail)) {
            if (!QFile::remove(m_dir + QLatin1Char('/') + name))
                qWarning() << "receipt journal: cannot remove delivered receipt" << name;
            locker.unlock();
            if (m_changed)
                m_changed();
            return;
        }
    }
}

QList<ReceiptJournal::Entry> ReceiptJournal::entries() const
{
    QMutexLocker locker(&m_mutex);
    QList<Entry> result;
    for (const QString& name : entryFiles()) {
        vorn::base::StateFile::Status status;
        const QJsonObject object = entryFile(m_dir + QLatin1Char('/') + name).read(&status, isEntry);
        if (status == vorn::base::StateFile::Status::Ok)
            result.append(decode(object));
    }
    return result;
}

int ReceiptJournal::size() const
{
    QMutexLocker locker(&m_mutex);
    return entryFiles().size();
}

QString ReceiptJournal::pullMarker(int taskId, int jobId) const
{
    return m_dir + QLatin1Char('/') + kPullDir + QLatin1Char('/')
        + QStringLiteral("%1_%2").arg(taskId).arg(jobId);
}

void ReceiptJournal::markPull(int taskId, int jobId)
{
    if (!vorn::base::FileContent::writeAtomic(pullMarker(taskId, jobId), QByteArray(), kOwnerOnly))
        qWarning() << "receipt journal: pull of task" << taskId << "job" << jobId
                   << "not marked; a restart before it ends forgets it";
}

void ReceiptJournal::clearPull(int taskId, int jobId)
{
    const QString marker = pullMarker(taskId, jobId);
    if (QFile::exists(marker) && !QFile::remove(marker))
        qWarning() << "receipt journal: cannot remove pull marker" << marker;
}

QList<QPair<int, int>> ReceiptJournal::pendingPulls() const
{
    static const QRegularExpression kName(QStringLiteral("^(\\d+)_(\\d+)$"));
    QList<QPair<int, int>> pulls;
    const QStringList names =
        QDir(m_dir + QLatin1Char('/') + kPullDir).entryList(QDir::Files, QDir::Time | QDir::Reversed);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = kName.match(name);
        if (match.hasMatch())
            pulls.append({match.captured(1).toInt(), match.captured(2).toInt()});
    }
    return pulls;
}
