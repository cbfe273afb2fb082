#pragma once

#include <QDBusError>
#include <QString>

#include <functional>

class QDBusConnection;
class QObject;

namespace vorn {
namespace base {

// Which user owns a connection on the bus, as the bus daemon said.
struct BusCaller
{
    bool known = false; // false: the bus did not say, see `error`
    uint uid = 0;
    QDBusError error;

    // Root, and only root, may steer the programs over the bus.
    bool isRoot() const { return known && uid == 0; }
    // The bus was too slow to answer: asking again may succeed.
    bool timedOut() const;
};

// Asks `bus`, without blocking, which user owns the connection `sender` (a
// message's sender) and calls `then` on `context`'s thread with the answer.
// Nothing is called when `context` is destroyed first.
void askBusCaller(const QDBusConnection& bus, const QString& sender, int timeoutMs, QObject* context,
                  std::function<void(const BusCaller&)> then);

} // namespace base
} // namespace vorn
