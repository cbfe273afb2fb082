#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QtDebug>

namespace vorn {
namespace base {

class BaseUtils
{
public:
    template<typename T>
    static bool getJsonObjectValue(const QJsonObject& object, const QString& key, T& value,
                                   const QString& caller)
    {
        if (!object.contains(key)) {
            qWarning() << caller << "can not get json key:" << key;
            return false;
        }
        value = object.value(key).toVariant().value<T>();
        return true;
    }

    // Uid of the active logind user, 0 when none or logind cannot be asked.
    static uint getCurActiveUid();
};

} // namespace base
} // namespace vorn
