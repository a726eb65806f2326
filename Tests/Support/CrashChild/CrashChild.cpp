// A program that enables the crash reporter and then crashes the way its first argument says.
// The crash reporter's tests run it with the sanitizer's own signal handlers switched off, so
// that the crash reaches ours. Before crashing, every thread writes the return addresses that
// backtrace() sees into the file named by the second argument ("thread: a b c ..."), for the
// test to compare with the report.

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"

namespace {

std::mutex g_traceMutex;
FILE* g_traces = nullptr;
std::atomic<int> g_ready { 0 };
int g_blockPipe[2];

void recordBacktrace(const char* who)
{
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::lock_guard lock(g_traceMutex);
    std::fprintf(g_traces, "%s:", who);
    for (int i = 0; i < count; ++i)
        std::fprintf(g_traces, " %llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(frames[i])));
    std::fprintf(g_traces, "\n");
    std::fflush(g_traces);
}

} // namespace

// Exported (the program is linked with its symbols visible) so the report can name them.
extern "C" __attribute__((noinline, visibility("default"))) void crashchild_worker_wait()
{
    recordBacktrace("worker");
    g_ready.fetch_add(1);
    char byte;
    // Never answered: the thread waits here until the process ends.
    while (::read(g_blockPipe[0], &byte, 1) < 0) { }
    asm volatile("" ::: "memory");
}

// The workers' entry. The frames a worker shares between its recorded backtrace and the wait it
// crashes in start here: an optimised std::thread jumps into its function without a frame of its
// own, so without this caller only the thread library's frames would be common to the two.
extern "C" __attribute__((noinline, visibility("default"))) void crashchild_worker_main()
{
    crashchild_worker_wait();
    asm volatile("" ::: "memory"); // no tail call: this frame stays on the stack
}

extern "C" __attribute__((noinline, visibility("default"))) void crashchild_crash_segv()
{
    recordBacktrace("crashed");
    // Not null (the undefined-behaviour checker would stop the program first), but no less unmapped.
    // Read back through a volatile, so that the compiler cannot tell where it points.
    volatile std::uintptr_t address = 16;
    volatile int* nowhere = reinterpret_cast<volatile int*>(address);
    *nowhere = 42;
    asm volatile("" ::: "memory");
}

// The same, in a thread of its own (a stable caller, as for the workers).
extern "C" __attribute__((noinline, visibility("default"))) void crashchild_crash_in_worker()
{
    crashchild_crash_segv();
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, visibility("default"))) void crashchild_crash_abort()
{
    recordBacktrace("crashed");
    std::abort();
}

extern "C" __attribute__((noinline, visibility("default"))) void crashchild_crash_illegal()
{
    recordBacktrace("crashed");
    __builtin_trap();
}

// Recurses until the stack runs out (the bound is never reached).
extern "C" __attribute__((noinline, visibility("default"))) int crashchild_recurse(long depth)
{
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (depth > (1L << 40))
        return 0;
    return crashchild_recurse(depth + 1) + pad[0];
}

// A name as long as the report's symbol field holds, and one character more: the report keeps
// the first 255 characters.
extern "C" __attribute__((noinline, visibility("default"))) void crashchild_long_name_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx()
{
    volatile std::uintptr_t address = 16;
    volatile int* nowhere = reinterpret_cast<volatile int*>(address);
    *nowhere = 7;
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, visibility("default"))) void crashchild_throw()
{
    throw std::runtime_error("the crash child threw");
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    g_traces = std::fopen(argv[2], "w");
    if (!g_traces || ::pipe(g_blockPipe) != 0)
        return 2;
    auto config = MVCrashReporterConfig::initWithSignalHandlerType(0, MVCrashReporterSymbolicationStrategySymbolTable, true);
    auto reporter = MVCrashReporter::initWithApplicationIdentifier("com.movara.crashchild", "1.0", std::string("1.0.0"), config);
    foundation::ErrorPtr error;
    if (!reporter->enableCrashReporterAndReturnError(&error)) {
        std::fprintf(stderr, "enable failed: %s\n", error ? error->localizedDescription().c_str() : "?");
        return 3;
    }
    if (mode == "enable-twice") {
        auto second = MVCrashReporter::initWithApplicationIdentifier("com.movara.other", "1", std::nullopt, config);
        foundation::ErrorPtr busy;
        const bool again = second->enableCrashReporterAndReturnError(&busy);
        std::printf("%d %ld %s\n", again ? 1 : 0, busy ? busy->code() : -1L, busy ? busy->localizedDescription().c_str() : "");
        return 0;
    }

    std::vector<std::thread> workers;
    for (int i = 0; i < 2; ++i) {
        workers.emplace_back(crashchild_worker_main);
        workers.back().detach();
    }
    while (g_ready.load() < 2)
        std::this_thread::yield();

    if (mode == "segv")
        crashchild_crash_segv();
    else if (mode == "abort")
        crashchild_crash_abort();
    else if (mode == "illegal")
        crashchild_crash_illegal();
    else if (mode == "worker")
        std::thread(crashchild_crash_in_worker).join();
    else if (mode == "overflow")
        std::thread([] { crashchild_recurse(0); }).join();
    else if (mode == "throw")
        crashchild_throw();
    else if (mode == "longname")
        crashchild_long_name_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx();
    return 4;
}
