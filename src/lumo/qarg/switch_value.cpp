#include "switch_value.h"

#include "lumo/policy/result_slot.h"

#include <QtDebug>

std::optional<int> switchValue(const ResultSlot& slot, const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok, 10);
    if (ok)
        return number;
    qWarning() << "setting value is not a number, nothing changed:" << slot.key() << value;
    slot.record(QStringLiteral("invalid value: ") + value);
    return std::nullopt;
}
