#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <thread>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "Tests/Support/BoundedChild.h"

TEST_F(TelemetryTest, ACrashIsReportedByTheNextStartOnce)
{
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(BCNCrashes::sharedInstance()->isStarted());
    EXPECT_FALSE(BCNCrashes::hasCrashedInLastSession());

    // The crashing "session" is a child process with the crash capture inherited.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::raise(SIGABRT);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the capture passes the signal on: the process still dies of it";
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession());
    EXPECT_EQ(BCNCrashes::lastSessionCrashSignal(), SIGABRT);

    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_FALSE(BCNCrashes::hasCrashedInLastSession()) << "each crash is reported once";
}

namespace {

[[gnu::noinline]] void throwFromWorker() { throw std::runtime_error("nobody caught this"); }

} // namespace

TEST_F(TelemetryTest, AnUncaughtCppExceptionLeavesAReportWithItsNameReasonAndThrowStack)
{
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(BCNCrashes::sharedInstance()->isStarted());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // On a thread of its own: the test's own frame would catch it.
        std::thread(throwFromWorker).join();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    auto reporter = MVCrashReporter::sharedReporter();
    ASSERT_TRUE(reporter->hasPendingCrashReport());
    foundation::ErrorPtr error;
    auto report = reporter->loadPendingCrashReport(&error);
    ASSERT_NE(report, nullptr) << (error ? error->localizedDescription() : "");
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName, "std::runtime_error");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason, "nobody caught this");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames);
    const auto site = reinterpret_cast<std::uintptr_t>(&throwFromWorker);
    bool fromTheThrow = false;
    for (const auto& frame : *report->exceptionInfo()->stackFrames)
        fromTheThrow = fromTheThrow || (frame.instructionPointer >= site && frame.instructionPointer < site + 256);
    EXPECT_TRUE(fromTheThrow) << "the stack is the throw's, not the terminate handler's";

    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession());
}

TEST_F(TelemetryTest, ACrashEndsTheProcessWhenTheCaptureWasStartedMoreThanOnce)
{
    // Started, stopped and started again by the shell, with the crash reporter already enabled
    // underneath: a crash on the main thread, while another thread runs, still ends the process
    // with its signal and leaves one report for the next start.
    BCNBeacon::start("secret", bothServices());
    resetClient();
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(BCNCrashes::sharedInstance()->isStarted());

    struct Case {
        const char* what;
        void (*crash)();
        int signo;
    };
    const Case cases[] = {
        { "an exception nobody catches", [] {
              std::thread([] {}).detach();
              throw std::runtime_error("nobody catches this");
          }, SIGABRT },
        { "a fault on the main thread", [] { ::raise(SIGSEGV); }, SIGSEGV },
    };
    for (const auto& c : cases) {
        const int status = testsupport::runChildBounded([&] {
            std::atomic<bool> stop { false };
            std::thread other([&] {
                while (!stop)
                    std::this_thread::yield();
            });
            c.crash();
            stop = true;
            other.join();
            return 0;
        });
        ASSERT_NE(status, testsupport::kChildHung) << c.what << ": the crashed child never ended";
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
        // The sanitizer, when it handled the signal before us, ends it with an exit status.
        if (WIFSIGNALED(status))
            EXPECT_EQ(WTERMSIG(status), c.signo) << c.what;
        resetClient();
        BCNBeacon::start("secret", bothServices());
        EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession()) << c.what;
    }
}
