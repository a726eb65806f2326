#pragma once
// Runs a body in a forked child (or waits for a spawned one) that must end by itself within a
// bound. A child still running then is killed and reported as hung, so that a test fails instead
// of hanging. Also the environment of a child program that is meant to crash.

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace testsupport {

constexpr int kChildHung = -1;

// Waits for the child `pid` to end, within a bound; a child still running then is killed.
// Returns the wait status, or kChildHung.
inline int waitForChildBounded(pid_t pid, int limitMs = 20000)
{
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
    return status;
}

namespace detail {

inline int runChildBoundedOnce(const std::function<int()>& body, int limitMs)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(static_cast<unsigned>(limitMs / 1000 + 5)); // the last word, should pidfd be missing
        ::_exit(body());
    }
    if (pid < 0)
        return kChildHung;
    const int status = waitForChildBounded(pid, limitMs);
    if (status != kChildHung && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return kChildHung;
    return status;
}

} // namespace detail

// AddressSanitizer's allocator (GCC 12) takes no locks around fork: a child forked while another
// thread of the test process held one of them waits for ever on its first allocation. That hang
// belongs to the fork, not to the code under test, so under the sanitizer a hung child is run
// again, twice at most; a child that hangs every time is still reported as hung.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kChildAttempts = 3;
#else
constexpr int kChildAttempts = 1;
#endif

// The body's return value becomes the child's exit status; returns the wait status, or
// kChildHung.
inline int runChildBounded(const std::function<int()>& body, int limitMs = 20000)
{
    int status = kChildHung;
    for (int attempt = 0; attempt < kChildAttempts && status == kChildHung; ++attempt)
        status = detail::runChildBoundedOnce(body, limitMs);
    return status;
}

// The environment of a program a test runs to crash: the test's own without the variables named
// in `without`, plus `extra`, and with the sanitizer's signal handlers off so that the crash
// reaches the crash reporter (the child's leaks end with it).
class CrashingChildEnvironment {
public:
    CrashingChildEnvironment(std::initializer_list<std::string_view> without, const std::vector<std::string>& extra)
    {
        for (char** e = environ; *e; ++e) {
            const std::string_view entry = *e;
            bool dropped = entry.starts_with("ASAN_OPTIONS=");
            for (const auto name : without)
                dropped = dropped || (entry.starts_with(name) && entry.size() > name.size() && entry[name.size()] == '=');
            if (!dropped)
                m_entries.emplace_back(entry);
        }
        m_entries.insert(m_entries.end(), extra.begin(), extra.end());
        m_entries.push_back("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_abort=0:handle_sigfpe=0:"
                            "detect_leaks=0:allow_user_segv_handler=1");
        for (auto& entry : m_entries)
            m_pointers.push_back(entry.data());
        m_pointers.push_back(nullptr);
    }
    CrashingChildEnvironment(const CrashingChildEnvironment&) = delete;
    CrashingChildEnvironment& operator=(const CrashingChildEnvironment&) = delete;

    // For posix_spawn's or exec's envp: valid while this object lives.
    char** envp() { return m_pointers.data(); }

private:
    std::vector<std::string> m_entries;
    std::vector<char*> m_pointers;
};

} // namespace testsupport
