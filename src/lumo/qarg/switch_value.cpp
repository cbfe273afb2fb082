#include "switch_value.h"

#include "lumo/policy/abstract_policy.h"

#include <QtDebug>

std::optional<int> switchValue(AbstractPolicy& policy, const QString& key, const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok, 10);
    if (ok)
        return number;
    qWarning() << "setting value is not a number, nothing changed:" << key << value;
    policy.appendExecResult(key, QStringLiteral("invalid value: ") + value);
    return std::nullopt;
}
