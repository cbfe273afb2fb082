#pragma once

// Pieces shared by the two forms of ChildProcess.

#include "childprocess.h"

#include <QProcess>
#include <QTimer>

#include <atomic>

namespace vorn {
namespace base {

// Starts its child as the leader of a new process group and makes the child
// a clean slate before the program runs (see prepareChild).
class GroupProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override;
};

// Runs in the forked child before exec: async-signal-safe calls only.
void prepareChild();

// Sends sig to the process group led by `group`. A leader that left its
// group is reached through QProcess, which knows whether it still exists.
void signalGroup(qint64 group, int sig);
bool groupAlive(qint64 group);

class ChildProcessPrivate
{
public:
    explicit ChildProcessPrivate(ChildProcess* owner);

    void onLeaderEnded();
    void endGroup();
    void onGraceOver();
    void tryFinish();
    void finishLater();

    ChildProcess* q;
    GroupProcess process;
    QTimer limit;
    QTimer grace;
    QString program;
    QStringList arguments;
    ChildOptions options;
    ChildResult result;
    qint64 group = 0;
    bool leaderDone = false;
    bool ending = false;
    bool killSent = false;
    bool reported = false;
    // Set by endAll() from any thread: report nothing any more.
    std::atomic<bool> abandoned{false};
};

} // namespace base
} // namespace vorn
