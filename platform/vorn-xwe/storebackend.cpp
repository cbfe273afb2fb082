#include "storebackend.h"

#include "status.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace xwe {

StoreBackend::StoreBackend(const QString& directory, const QString& stateName)
    : m_directory(directory)
    , m_state(directory + QLatin1Char('/') + stateName)
{
}

QString StoreBackend::name() const
{
    return QStringLiteral("store");
}

QJsonValue StoreBackend::value(const QString& key)
{
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    const QJsonObject content = m_state.read(&result);
    return content.value(key);
}

int StoreBackend::change(const QString& key, const Change& change)
{
    return m_state.update([&](QJsonObject& content) {
        const QJsonValue next = change(content.value(key));
        if (next.isUndefined())
            return false;
        content.insert(key, next);
        return true;
    });
}

int StoreBackend::keepFile(const QString& source, const QString& label, QString* kept)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning() << "vorn-xwe: cannot read" << source << in.errorString();
        return in.exists() ? InvalidArgument : FileNotFound;
    }
    const QString dir = m_directory + QStringLiteral("/files");
    const bool fresh = !QFileInfo(m_directory).isDir();
    if (!QDir().mkpath(dir)) {
        qWarning() << "vorn-xwe: cannot create directory" << dir;
        return SaveFailed;
    }
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (fresh)
        QFile::setPermissions(m_directory, ownerOnly);
    QFile::setPermissions(dir, ownerOnly);
    // The label may come from outside (a monitor name); keep it one plain file name.
    QString safe = label;
    safe.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    QString target = dir + QLatin1Char('/') + safe;
    const QString suffix = QFileInfo(source).suffix();
    if (!suffix.isEmpty())
        target += QLatin1Char('.') + suffix;

    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly)) {
        qWarning() << "vorn-xwe: cannot write" << target << out.errorString();
        return SaveFailed;
    }
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = in.read(buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 || out.write(buffer, n) != n) {
            qWarning() << "vorn-xwe: copying" << source << "to" << target << "failed";
            return SaveFailed; // QSaveFile drops the partial copy
        }
    }
    if (!out.commit()) {
        qWarning() << "vorn-xwe: cannot write" << target << out.errorString();
        return SaveFailed;
    }
    *kept = target;
    return Success;
}

} // namespace xwe
