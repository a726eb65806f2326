#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <thread>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"

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
