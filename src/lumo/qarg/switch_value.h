#pragma once

#include <QString>

#include <optional>

class ResultSlot;

// The integer of a switch or permission setting. A value that is no decimal
// integer ("", "on", "1x") must change nothing: read as 0 it would switch
// things off (SSH stopped, every SSH session ended). Such a value records
// "invalid value: <value>" in the setting's slot and gives nothing.
std::optional<int> switchValue(const ResultSlot& slot, const QString& value);
