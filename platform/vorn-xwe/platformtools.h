#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace xwe {

// Platform tools (systemctl, udevadm, dpkg-query, ...) are found on the children's PATH,
// never by a fixed path, and run synchronously through the programs' child runner, with
// LC_ALL=C so that their output can be parsed.
enum class ToolOutcome { Ok, Missing, Failed };

bool toolAvailable(const QString& program);

// Runs program with arguments and waits at most timeoutMs; *output receives its standard
// output. Failed: it could not start, crashed, timed out or exited non-zero.
ToolOutcome runTool(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
                    int timeoutMs = 120000);

} // namespace xwe
