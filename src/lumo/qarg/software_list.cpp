#include "software_list.h"

#include "common/base/filecontent.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

#include <sys/stat.h>

namespace {

bool samePackage(const QJsonObject& a, const QJsonObject& b)
{
    for (const char* field : {"package_name", "architecture", "version"}) {
        const QString name = QLatin1String(field);
        if (a.value(name) != b.value(name))
            return false;
    }
    return true;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    const QString dirPath = QFileInfo(path).absolutePath();
    if (!QDir(dirPath).exists()) {
        if (!QDir().mkpath(dirPath)) {
            qWarning() << "cannot create directory" << dirPath;
            return false;
        }
        ::chmod(QFile::encodeName(dirPath).constData(), 0755);
    }
    // A crash while writing leaves the old list, never half a new one.
    return vorn::base::FileContent::writeAtomic(path, data);
}

} // namespace

QJsonArray SoftwareList::merge(const QJsonArray& stored, const QJsonArray& packages)
{
    QJsonArray result = stored;
    for (const QJsonValue& value : packages) {
        if (!value.isObject()) {
            qInfo() << "software list: not a package object, skipped:" << value;
            continue;
        }
        QJsonObject entry = value.toObject();
        bool known = false;
        for (const QJsonValue& old : stored) {
            if (samePackage(old.toObject(), entry)) {
                known = true;
                break;
            }
        }
        if (known)
            continue;
        entry.insert(QStringLiteral("installed_type"), 1);
        result.append(entry);
    }
    return result;
}

QJsonArray SoftwareList::read(const QString& path)
{
    return QJsonDocument::fromJson(vorn::base::FileContent::readAll(path)).array();
}

bool SoftwareList::save(const QString& path, const QJsonArray& packages)
{
    const QByteArray json =
        QJsonDocument(merge(read(path), packages)).toJson(QJsonDocument::Compact);
    if (writeFile(path, json))
        return true;
    qWarning() << "---faild to save qarg app info---: " << json;
    return false;
}
