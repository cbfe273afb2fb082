#pragma once

#include <QString>

// One command line run by "/bin/bash -c" with a time limit, waiting on the
// calling thread (which needs no event loop). Only standard output is kept.
// The command runs in a process group of its own; when the limit is reached
// the whole group is killed before this returns.
class ShellCommand
{
public:
    struct Result
    {
        QString output;       // standard output up to its first NUL byte
        bool timedOut = false; // killed at the time limit; output is what came before
        QString error;        // why it could not be started, else empty
        int exitCode = -1;    // exit code of a normal exit, else -1

        bool succeeded() const { return error.isEmpty() && !timedOut && exitCode == 0; }
    };

    static Result run(const QString& command, int limitMs);

    // The result as recorded for a setting: the output, or a text saying why
    // there is none or why it ended early.
    static QString resultText(const QString& command, const Result& result, int limitMs);
    // How it ended, without its output: "success", "failed: exit 2", ...
    static QString summaryText(const Result& result, int limitMs);
};
