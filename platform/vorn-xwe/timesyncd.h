#pragma once

#include <QString>

namespace xwe {
namespace timesyncd {

// Our drop-in of systemd-timesyncd: late in the order, so that it wins over the others.
extern const char* const kDropIn;

// Writes the drop-in (empty server: removes it) and restarts timesyncd if it runs.
int setServer(const QString& server);

// The servers timesyncd will use from its configuration, the main file and every drop-in
// read as systemd does; several are joined by one blank, "" when none is configured
// (timesyncd then uses the network's and the distribution's fallback servers).
QString configuredServers();

} // namespace timesyncd
} // namespace xwe
