#include "statefile.h"

#include "atomicfile.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

namespace vorn {
namespace base {

namespace {
// Far above any state the programs keep; a bigger file is not one of theirs.
constexpr qint64 kMaxStateSize = 64 * 1024 * 1024;
} // namespace

const QString StateFile::kDamagedSuffix = QStringLiteral(".damaged");

StateFile::StateFile(const QString& path, const QString& damagedText,
                     QFileDevice::Permissions permissions)
    : m_path(path)
    , m_damagedText(damagedText)
    , m_permissions(permissions)
{
}

QString StateFile::path() const
{
    return m_path;
}

QJsonObject StateFile::read(Status* status, const Check& check, OnDamage onDamage) const
{
    Status result = Status::Damaged;
    QJsonObject content;
    QFile file(m_path);
    if (!QFileInfo::exists(m_path)) {
        result = Status::Missing;
    } else if (!file.open(QIODevice::ReadOnly)) {
        // Not ours to judge: a file we cannot open may be whole.
        qWarning() << qPrintable(m_damagedText) << m_path << file.errorString();
    } else {
        QJsonParseError error{};
        const QByteArray data = file.read(kMaxStateSize + 1);
        const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
        if (data.size() > kMaxStateSize)
            damaged(QStringLiteral("too large"), onDamage);
        else if (error.error != QJsonParseError::NoError)
            damaged(error.errorString(), onDamage);
        else if (!doc.isObject())
            damaged(QStringLiteral("not a JSON object"), onDamage);
        else if (check && !check(doc.object()))
            damaged(QStringLiteral("content not understood"), onDamage);
        else {
            content = doc.object();
            result = Status::Ok;
        }
    }
    if (status)
        *status = result;
    return content;
}

bool StateFile::write(const QJsonObject& content, QJsonDocument::JsonFormat format) const
{
    return AtomicFile::write(m_path, QJsonDocument(content).toJson(format), m_permissions);
}

void StateFile::damaged(const QString& reason, OnDamage onDamage) const
{
    if (onDamage == OnDamage::Leave) {
        qWarning() << qPrintable(m_damagedText) << m_path << reason;
        return;
    }
    const QString aside = m_path + kDamagedSuffix;
    QFile::remove(aside);
    if (QFile::rename(m_path, aside))
        qWarning() << qPrintable(m_damagedText) << m_path << reason << "moved aside to" << aside;
    else
        qWarning() << qPrintable(m_damagedText) << m_path << reason
                   << "could not be moved aside, it will be replaced";
}

} // namespace base
} // namespace vorn
