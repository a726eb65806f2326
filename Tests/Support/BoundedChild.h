#pragma once
// Runs a body in a forked child that must end by itself within a bound. A child still running
// then is killed and reported as hung, so that a test fails instead of hanging.

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace testsupport {

constexpr int kChildHung = -1;

// The body's return value becomes the child's exit status; returns the wait status, or
// kChildHung.
inline int runChildBounded(const std::function<int()>& body, int limitMs = 20000)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(static_cast<unsigned>(limitMs / 1000 + 5)); // the last word, should pidfd be missing
        ::_exit(body());
    }
    if (pid < 0)
        return kChildHung;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p { pidfd, POLLIN, 0 };
        int ready = 0;
        do
            ready = ::poll(&p, 1, limitMs);
        while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        if (ready == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return kChildHung;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return kChildHung;
    return status;
}

} // namespace testsupport
