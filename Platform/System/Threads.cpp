#include "Platform/System/Threads.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <climits>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace sys {

namespace {

// The suspend handler and what it calls are not instrumented by AddressSanitizer: the signal can
// reach a thread that is still starting, before the sanitizer has cleared the shadow of its
// (reused) stack, where any checked access to the handler's own frame or to the ucontext the
// kernel wrote there would be taken for an overflow of the thread that used the stack before.
#define SYS_SIGNAL_HANDLER_CODE __attribute__((no_sanitize_address))

enum SlotState : int { kIdle = 0, kRequested = 1, kParked = 2 };

struct Slot {
    std::atomic<ThreadId> tid { 0 };
    std::atomic<int> state { kIdle };
    MachineContext context;
};

Slot g_slots[kMaxSuspendedThreads];
std::size_t g_slotCount = 0;
std::atomic<bool> g_active { false };
std::atomic<bool> g_release { false };
// The word parked threads sleep on (0 while held, 1 once released): a hundred threads polling a
// clock would take the processors the writer needs.
std::atomic<int> g_releaseWord { 0 };
std::atomic<int> g_parked { 0 };
std::atomic<unsigned> g_holdLimitMs { kDefaultSuspensionHoldMs };
int g_suspendSignal = 0;

SYS_SIGNAL_HANDLER_CODE void pause1ms()
{
    timespec ts { 0, 1000 * 1000 };
    ::nanosleep(&ts, nullptr);
}

SYS_SIGNAL_HANDLER_CODE std::uint64_t nowMs()
{
    timespec ts {};
    // The system call itself: the sanitizer's wrapper of clock_gettime checks `ts`.
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

// Waits, a millisecond at a time, until `done()` or `limitMs` have passed. Each round sleeps at
// least a millisecond, so the round count bounds the wait even when the clock cannot be read or
// a signal cuts every sleep short.
template <typename Done>
SYS_SIGNAL_HANDLER_CODE bool waitAtMost(unsigned limitMs, Done done)
{
    const std::uint64_t deadline = nowMs() + limitMs;
    for (unsigned round = 0; round <= limitMs; ++round) {
        if (done())
            return true;
        if (nowMs() >= deadline)
            break;
        pause1ms();
    }
    return done();
}

SYS_SIGNAL_HANDLER_CODE void suspendHandler(int, siginfo_t*, void* ucontext)
{
    const int savedErrno = errno;
    const ThreadId self = currentThreadId();
    for (std::size_t i = 0; i < g_slotCount; ++i) {
        Slot& slot = g_slots[i];
        if (slot.tid.load(std::memory_order_acquire) != self || slot.state.load(std::memory_order_acquire) != kRequested)
            continue;
        machineContextFromUcontext(ucontext, &slot.context);
        g_parked.fetch_add(1);
        int requested = kRequested;
        if (slot.state.compare_exchange_strong(requested, kParked)) {
            // Held until released, but never for ever: a suspender that died or hung (a crash
            // inside the crash handler) must not leave this thread stopped.
            const std::uint64_t deadline = nowMs() + g_holdLimitMs.load();
            for (;;) {
                if (g_release.load(std::memory_order_acquire))
                    break;
                const std::uint64_t now = nowMs();
                if (now >= deadline)
                    break;
                const std::uint64_t left = deadline - now;
                timespec timeout { static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L };
                ::syscall(SYS_futex, reinterpret_cast<int*>(&g_releaseWord), FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);
            }
        }
        g_parked.fetch_sub(1);
        break;
    }
    errno = savedErrno;
}

bool isDigits(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

} // namespace

ThreadId currentThreadId()
{
    return static_cast<ThreadId>(::syscall(SYS_gettid));
}

long listThreads(ThreadId* ids, std::size_t capacity)
{
    int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0)
        return -1;
    struct LinuxDirent64 {
        std::uint64_t d_ino;
        std::int64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[1];
    };
    alignas(8) char buffer[2048];
    long count = 0;
    for (;;) {
        long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return -1;
        }
        if (got == 0)
            break;
        for (long pos = 0; pos < got;) {
            auto* entry = reinterpret_cast<LinuxDirent64*>(buffer + pos);
            if (entry->d_reclen == 0)
                break;
            if (isDigits(entry->d_name)) {
                long value = 0;
                for (const char* c = entry->d_name; *c; ++c)
                    value = value * 10 + (*c - '0');
                if (static_cast<std::size_t>(count) < capacity)
                    ids[count] = static_cast<ThreadId>(value);
                ++count;
            }
            pos += entry->d_reclen;
        }
    }
    ::close(fd);
    return count;
}

bool installThreadSuspension()
{
    static std::atomic<bool> installed { false };
    if (installed.exchange(true))
        return true;
    // A real-time signal the C library leaves free; queued, never merged with another thread's.
    g_suspendSignal = SIGRTMIN + 5;
    struct sigaction action {};
    action.sa_sigaction = suspendHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    if (::sigaction(g_suspendSignal, &action, nullptr) != 0) {
        installed = false;
        return false;
    }
    return true;
}

bool suspendThreads(const ThreadId* ids, std::size_t count, unsigned timeoutMs, unsigned holdLimitMs)
{
    bool expected = false;
    if (g_suspendSignal == 0 || !g_active.compare_exchange_strong(expected, true))
        return false;
    g_holdLimitMs.store(holdLimitMs);
    g_release.store(false, std::memory_order_release);
    g_releaseWord.store(0, std::memory_order_release);
    const ThreadId self = currentThreadId();
    const pid_t pid = static_cast<pid_t>(::syscall(SYS_getpid));
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && used < kMaxSuspendedThreads; ++i) {
        if (ids[i] == self)
            continue;
        Slot& slot = g_slots[used++];
        slot.context = MachineContext {};
        slot.tid.store(ids[i], std::memory_order_relaxed);
        slot.state.store(kRequested, std::memory_order_release);
    }
    g_slotCount = used;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (std::size_t i = 0; i < used; ++i) {
        if (::syscall(SYS_tgkill, pid, g_slots[i].tid.load(), g_suspendSignal) != 0)
            g_slots[i].state.store(kIdle, std::memory_order_release);
    }
    waitAtMost(timeoutMs, [used] {
        for (std::size_t i = 0; i < used; ++i)
            if (g_slots[i].state.load(std::memory_order_acquire) == kRequested)
                return false;
        return true;
    });
    // A thread that did not answer in time must not park later and wait for a release that
    // already happened: it is told it is no longer wanted.
    for (std::size_t i = 0; i < used; ++i) {
        int requested = kRequested;
        g_slots[i].state.compare_exchange_strong(requested, kIdle);
    }
    return true;
}

bool suspendedThreadContext(ThreadId id, MachineContext* out)
{
    for (std::size_t i = 0; i < g_slotCount; ++i) {
        if (g_slots[i].tid.load(std::memory_order_acquire) == id && g_slots[i].state.load(std::memory_order_acquire) == kParked) {
            *out = g_slots[i].context;
            return true;
        }
    }
    return false;
}

void resumeThreads()
{
    if (!g_active.load())
        return;
    g_release.store(true, std::memory_order_release);
    g_releaseWord.store(1, std::memory_order_release);
    ::syscall(SYS_futex, reinterpret_cast<int*>(&g_releaseWord), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    // The next suspension may only start once every parked thread has seen the release.
    waitAtMost(1000, [] { return g_parked.load() == 0; });
    for (std::size_t i = 0; i < g_slotCount; ++i)
        g_slots[i].state.store(kIdle, std::memory_order_release);
    g_slotCount = 0;
    g_active.store(false, std::memory_order_release);
}

} // namespace sys
