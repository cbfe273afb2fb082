#pragma once

#include <QString>

#include <optional>

class AbstractPolicy;

// The integer of a switch or permission setting. A value that is no decimal
// integer ("", "on", "1x") must change nothing: read as 0 it would switch
// things off (SSH stopped, every SSH session ended). Such a value records
// "invalid value: <value>" under `key` and gives nothing.
std::optional<int> switchValue(AbstractPolicy& policy, const QString& key, const QString& value);
