// The handler chain is process-wide and its handlers stay installed, so each case runs in a
// forked child and reports through its exit status.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/CrashReporter/MVCrashSignalHandler.h"
#include "Tests/Support/BoundedChild.h"

namespace {

// Runs `body` in a child; its return value becomes the exit status.
int inChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Each run of a callback writes a byte here, which the parent counts once the child has ended.
int g_tally[2] = { -1, -1 };

int tallied()
{
    ::close(g_tally[1]);
    int count = 0;
    char byte;
    while (::read(g_tally[0], &byte, 1) == 1)
        ++count;
    ::close(g_tally[0]);
    return count;
}

bool tallyingForward(int signo, siginfo_t* info, ucontext_t* uap, void*, MVCrashSignalHandlerCallback* next)
{
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_tally[1], &byte, 1);
    return MVCrashSignalHandlerForward(next, signo, info, uap);
}

// Crashes again inside the handler, as a faulty report writer would.
bool tallyingThenFaulting(int, siginfo_t*, ucontext_t*, void*, MVCrashSignalHandlerCallback*)
{
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_tally[1], &byte, 1);
    ::raise(SIGSEGV);
    return true;
}

void defaultAction(int signo)
{
    struct sigaction a {};
    a.sa_handler = SIG_DFL;
    ::sigaction(signo, &a, nullptr);
}

std::atomic<int> g_calls { 0 };
std::atomic<int> g_previousCalls { 0 };
siginfo_t* g_seenInfo = nullptr;
void* g_seenContext = nullptr;

bool counting(int, siginfo_t*, ucontext_t*, void*, MVCrashSignalHandlerCallback*)
{
    g_calls.fetch_add(1);
    return true;
}

bool forwarding(int signo, siginfo_t* info, ucontext_t* uap, void*, MVCrashSignalHandlerCallback* next)
{
    g_calls.fetch_add(1);
    return MVCrashSignalHandlerForward(next, signo, info, uap);
}

void previousThreeArgument(int, siginfo_t* info, void* context)
{
    g_previousCalls.fetch_add(1);
    g_seenInfo = info;
    g_seenContext = context;
}

void previousPlain(int)
{
    g_previousCalls.fetch_add(1);
}

} // namespace

TEST(MVCrashSignalHandler, RegisteringTwiceChainsBothCallbacksAndRunsThePreviousActionOnce)
{
    const int status = inChild([] {
        struct sigaction a {};
        a.sa_handler = previousPlain;
        ::sigaction(SIGUSR1, &a, nullptr);
        auto& handler = MVCrashSignalHandler::sharedHandler();
        if (!handler.registerHandlerForSignal(SIGUSR1, forwarding, nullptr, nullptr) || !handler.registerHandlerForSignal(SIGUSR1, forwarding, nullptr, nullptr))
            return 10;
        struct sigaction installed {};
        ::sigaction(SIGUSR1, nullptr, &installed);
        if (!(installed.sa_flags & SA_ONSTACK) || !(installed.sa_flags & SA_SIGINFO))
            return 11;
        stack_t stack {};
        ::sigaltstack(nullptr, &stack);
        if (stack.ss_flags & SS_DISABLE)
            return 12;
        ::raise(SIGUSR1);
        return g_calls.load() * 10 + g_previousCalls.load();
    });
    ASSERT_TRUE(WIFEXITED(status));
    // Registering the same callback again is a no-op: it runs once, then the earlier handler.
    EXPECT_EQ(WEXITSTATUS(status), 11);
}

TEST(MVCrashSignalHandler, ACrashEndsTheProcessWhateverTheRegistrationHistory)
{
    // Each case ends with a crash signal raised on the main thread while another thread runs;
    // the child must die by that signal, the callback having run exactly once.
    struct Case {
        const char* what;
        int signo;
        bool (*callback)(int, siginfo_t*, ucontext_t*, void*, MVCrashSignalHandlerCallback*);
        void (*setUp)(bool (*)(int, siginfo_t*, ucontext_t*, void*, MVCrashSignalHandlerCallback*));
        int expectSignal;
    };
    using Callback = bool (*)(int, siginfo_t*, ucontext_t*, void*, MVCrashSignalHandlerCallback*);
    const Case cases[] = {
        { "registered for every crash signal, as the reporter does", SIGABRT, tallyingForward, [](Callback cb) {
              for (int signo : { SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP })
                  MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, cb, nullptr, nullptr);
          }, SIGABRT },
        { "enabled twice by two clients", SIGSEGV, tallyingForward, [](Callback cb) {
              for (int round = 0; round < 2; ++round)
                  for (int signo : { SIGABRT, SIGSEGV })
                      MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, cb, nullptr, nullptr);
          }, SIGSEGV },
        { "installed again after a reset: our handler is its own earlier one", SIGSEGV, tallyingForward, [](Callback cb) {
              MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGSEGV, cb, nullptr, nullptr);
              MVCrashSignalHandler::resetHandlers();
              MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGSEGV, cb, nullptr, nullptr);
          }, SIGSEGV },
        { "a crash inside the handler of another signal", SIGABRT, tallyingThenFaulting, [](Callback cb) {
              for (int signo : { SIGABRT, SIGSEGV })
                  MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, cb, nullptr, nullptr);
          }, SIGSEGV },
        { "a crash inside the handler of the same signal", SIGSEGV, tallyingThenFaulting, [](Callback cb) {
              MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGSEGV, cb, nullptr, nullptr);
          }, SIGSEGV },
    };
    for (const auto& c : cases) {
        ASSERT_EQ(::pipe(g_tally), 0);
        const int status = testsupport::runChildBounded([&] {
            ::close(g_tally[0]);
            for (int signo : { SIGABRT, SIGSEGV })
                defaultAction(signo); // not the sanitizer's
            c.setUp(c.callback);
            std::atomic<bool> stop { false };
            std::thread other([&] {
                while (!stop)
                    std::this_thread::yield();
            });
            ::raise(c.signo);
            stop = true;
            other.join();
            return 0;
        });
        const int runs = tallied();
        ASSERT_NE(status, testsupport::kChildHung) << c.what << ": the child hung";
        ASSERT_TRUE(WIFSIGNALED(status)) << c.what << ": status " << status;
        EXPECT_EQ(WTERMSIG(status), c.expectSignal) << c.what;
        EXPECT_EQ(runs, 1) << c.what;
    }
}

TEST(MVCrashSignalHandler, ThePreviousActionDecidesWhatAForwardedSignalMeans)
{
    struct Case {
        const char* what;
        void (*install)();
        bool expectExit;     // the process lives on
        int expectPrevious;  // calls of the earlier handler
    };
    const Case cases[] = {
        { "ignored before: handled", [] {
              struct sigaction a {};
              a.sa_handler = SIG_IGN;
              ::sigaction(SIGUSR1, &a, nullptr);
          }, true, 0 },
        { "default before: not handled, raised again", [] {}, false, 0 },
        { "a plain handler before: called with the number", [] {
              struct sigaction a {};
              a.sa_handler = previousPlain;
              ::sigaction(SIGUSR1, &a, nullptr);
          }, true, 1 },
        { "a three-argument handler before: gets the signal's info and context", [] {
              struct sigaction a {};
              a.sa_sigaction = previousThreeArgument;
              a.sa_flags = SA_SIGINFO;
              ::sigaction(SIGUSR1, &a, nullptr);
          }, true, 1 },
    };
    for (const auto& c : cases) {
        const int status = inChild([&] {
            c.install();
            if (!MVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGUSR1, forwarding, nullptr, nullptr))
                return 10;
            ::raise(SIGUSR1);
            if (g_calls.load() != 1)
                return 11;
            if (g_seenInfo && (g_seenInfo->si_signo != SIGUSR1 || !g_seenContext))
                return 12;
            return 20 + g_previousCalls.load();
        });
        if (c.expectExit) {
            ASSERT_TRUE(WIFEXITED(status)) << c.what;
            EXPECT_EQ(WEXITSTATUS(status), 20 + c.expectPrevious) << c.what;
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << c.what;
            EXPECT_EQ(WTERMSIG(status), SIGUSR1) << c.what;
        }
    }
}

TEST(MVCrashSignalHandler, ACallbackThatDoesNotForwardStopsTheChain)
{
    const int status = inChild([] {
        struct sigaction a {};
        a.sa_handler = previousPlain;
        ::sigaction(SIGUSR1, &a, nullptr);
        auto& handler = MVCrashSignalHandler::sharedHandler();
        handler.registerHandlerForSignal(SIGUSR1, forwarding, nullptr, nullptr);
        handler.registerHandlerForSignal(SIGUSR1, counting, nullptr, nullptr); // runs first
        ::raise(SIGUSR1);
        return g_calls.load() * 10 + g_previousCalls.load();
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 10);
}

TEST(MVCrashSignalHandler, AFailedRegistrationReportsItAndLaterOnesStillWork)
{
    const int status = inChild([] {
        foundation::ErrorPtr error;
        auto& handler = MVCrashSignalHandler::sharedHandler();
        if (handler.registerHandlerForSignal(SIGKILL, counting, nullptr, &error))
            return 10;
        if (!error || error->domain() != MVCrashReporterErrorDomain || error->code() != 1
            || error->localizedDescription() != "Failed to register signal handler" || !error->underlyingError()
            || error->underlyingError()->domain() != foundation::NSPOSIXErrorDomain || error->underlyingError()->code() != EINVAL)
            return 11;
        if (!handler.registerHandlerForSignal(SIGUSR2, counting, nullptr, nullptr))
            return 12;
        ::raise(SIGUSR2);
        return g_calls.load() == 1 ? 0 : 13;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MVCrashReporterError, NullOutPointersAreAllowed)
{
    mvcrash_populate_error(nullptr, 2, "x");
    mvcrash_populate_posix_error(nullptr, EINVAL, "x");
    mvcrash_populate_mach_error(nullptr, 5, "x");
    foundation::ErrorPtr error;
    mvcrash_populate_mach_error(&error, 5, "Failed to insert Mach send right");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->underlyingError()->domain(), MVCrashMachErrorDomain);
    EXPECT_EQ(error->underlyingError()->code(), 5);
}
