#pragma once

// The process-group side of ChildProcess: what runs in the child between
// fork and exec, and how a whole group is signalled.

#include <QtGlobal>

namespace vorn {
namespace base {

// Runs in the forked child before exec: async-signal-safe calls only.
// Makes the child the leader of a new process group and a clean slate.
void prepareChild();

// Sends sig to the process group led by `group`.
void signalGroup(qint64 group, int sig);
bool groupAlive(qint64 group);

} // namespace base
} // namespace vorn
