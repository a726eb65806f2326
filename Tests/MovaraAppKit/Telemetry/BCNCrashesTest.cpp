#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

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
