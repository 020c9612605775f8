// Runs a piece of work in a child process, so that a crash or a hang inside the hive library
// becomes a failure the caller reports instead of the end of the program.
#include "offline/Isolated.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long MillisecondsSince(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

} // namespace

bool RunIsolated(const std::function<int()>& work, unsigned timeoutSeconds,
                 IsolatedOutcome* outcome, std::string* error) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe: ") + strerror(errno);
        return false;
    }
    fflush(nullptr); // nothing buffered may be written twice
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        *error = std::string("cannot start a process: ") + strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        // The work must not outlive a run that was killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        close(pipeFds[0]);
        if (dup2(pipeFds[1], STDOUT_FILENO) < 0)
            _exit(127);
        close(pipeFds[1]);
        const int result = work();
        fflush(stdout);
        exit(result & 0xFF);
    }
    close(pipeFds[1]);

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const long limit = static_cast<long>(timeoutSeconds) * 1000;
    char buffer[4096];
    for (;;) {
        const long left = limit - MillisecondsSince(start);
        if (left <= 0) {
            outcome->timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        pollfd readable = {pipeFds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        outcome->output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, outcome->timedOut ? 0 : WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            *error = std::string("cannot wait for the process: ") + strerror(errno);
            return false;
        }
        if (done == 0 && MillisecondsSince(start) >= limit) {
            outcome->timedOut = true;
            kill(child, SIGKILL);
        } else if (done == 0) {
            const timespec pause = {0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    outcome->exited = WIFEXITED(status) && !outcome->timedOut;
    outcome->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    outcome->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return true;
}
