#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// A server script stored for bash to run as root: "<n>.bash" in a directory,
// created new (never through an existing name or link), readable and
// writable by its owner only.
class ScriptFile
{
public:
    // Draws the number of the next candidate name.
    using NameSource = std::function<quint32()>;

    // Numbers from the system's random generator.
    static NameSource randomNames();

    // Stores `data` under a name not in use; another number is drawn while
    // the name exists. Returns the file path, or an empty string and a reason
    // in `error`.
    static QString create(const QString& dir, const QByteArray& data, const NameSource& names,
                          QString* error);

    static constexpr int kMaxAttempts = 64;
};
