#pragma once

class QCoreApplication;

namespace vorn {
namespace base {

// SIGTERM (systemctl stop, end of the session) and SIGINT end the event loop,
// so that the program's objects are destroyed and every thread stops cleanly
// instead of being killed. The handler only writes a byte to a socket the
// event loop watches; no signal is ever blocked, so child processes never
// inherit a blocked mask. Call once, after the application object exists.
void quitOnStopSignals(QCoreApplication* app);

} // namespace base
} // namespace vorn
