// Runs a piece of work in a child process, so that a crash or a hang inside the hive library
// becomes a failure the caller reports instead of the end of the program.
#pragma once

#include <functional>
#include <string>

struct IsolatedOutcome {
    bool exited = false; // the work returned or exited; otherwise it was killed
    int exitCode = 0;    // when exited
    int signal = 0;      // when killed
    bool timedOut = false;
    std::string output; // what the work wrote to standard output
};

// Runs the work in a child process whose standard output is captured; the work's result becomes
// the child's exit code. The child is killed after the timeout. False when no child could be run.
bool RunIsolated(const std::function<int()>& work, unsigned timeoutSeconds,
                 IsolatedOutcome* outcome, std::string* error);
