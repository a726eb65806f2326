#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <thread>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "Tests/Support/BoundedChild.h"

namespace {

// A child that dies of SIGABRT with the parent's crash capture; its wait status.
void abortInChild(int* status)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::raise(SIGABRT);
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(child, status, 0), child);
}

} // namespace

TEST_F(TelemetryTest, ACrashIsReportedByTheNextStartOnce)
{
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(BCNCrashes::sharedInstance()->isStarted());
    EXPECT_FALSE(BCNCrashes::hasCrashedInLastSession());

    // The crashing "session" is a child process with the crash capture inherited.
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
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
    // Bounded: the child allocates, and a lock another thread held at the fork would keep it
    // waiting; that fails the test instead of hanging it.
    const int status = testsupport::runChildBounded([] {
        // On a thread of its own: the test's own frame would catch it.
        std::thread(throwFromWorker).join();
        return 0;
    });
    ASSERT_NE(status, testsupport::kChildHung) << "the crashed child never ended";
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
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), c.signo) << c.what;
        }
        resetClient();
        BCNBeacon::start("secret", bothServices());
        EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession()) << c.what;
    }
}

TEST_F(TelemetryTest, LogsInFlightAtACrashAreEnqueuedAgainByTheNextStartOnce)
{
    BCNBeacon::start("secret", bothServices());
    auto crashes = BCNCrashes::sharedInstance();
    ASSERT_NE(crashes->logBuffer(), nullptr);

    // A log that reaches the store frees its slot.
    crashes->channelUnit()->enqueueItem(validLog(), BCNLogFlagsNormal);
    ASSERT_TRUE(waitFor([] { return pending("Crashes").size() == 1; }));
    ASSERT_TRUE(waitFor([&] { return crashes->logBuffer()->slotContents(0).archive.empty(); }));

    // Two still in flight when the process dies, one for a transmission target; crash logs are
    // never buffered.
    crashes->bufferPreparedLog(validLog(1700000001), "plain-id");
    auto targeted = validLog(1700000002);
    targeted->addTransmissionTargetToken("target-token");
    crashes->bufferPreparedLog(targeted, "targeted-id");
    crashes->bufferPreparedLog(validLog<BCNAppleErrorLog>(), "crash-log-id");
    EXPECT_TRUE(crashes->logBuffer()->slotContents(2).archive.empty());
    EXPECT_NE(crashes->logBuffer()->slotContents(1).token, "target-token") << "the token is kept encrypted";
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string tokenFile = BCNCrashes::logBufferDirectory() + "/1.targettoken";
    ASSERT_TRUE(std::filesystem::exists(tokenFile));

    resetClient();
    BCNBeacon::start("secret", bothServices());
    // The targeted log goes its own way (the collector takes it); the plain one is stored.
    ASSERT_TRUE(waitFor([] { return pending("CrashesBuffer").size() == 1; }));
    if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup()))
        group->logsDispatchQueue()->sync([] { });
    ASSERT_EQ(pending("CrashesBuffer").size(), 1u) << "the targeted log came back with its token";
    auto back = pending("CrashesBuffer").front();
    ASSERT_TRUE(back->timestamp());
    EXPECT_EQ(back->timestamp()->timeIntervalSince1970(), 1700000001) << "a log keeps its own time";
    EXPECT_EQ(countStartingWith(BCNLogLevelDebug, "Re-enqueueing buffered log"), 2u);
    EXPECT_FALSE(loggedStartingWith(BCNLogLevelError, "Failed to decrypt"));
    EXPECT_FALSE(std::filesystem::exists(tokenFile));
    for (const auto& entry : std::filesystem::directory_iterator(BCNCrashes::logBufferDirectory())) {
        if (entry.path().extension() == ".bcncrasheslogbuffer") {
            EXPECT_EQ(entry.file_size(), 0u) << entry.path() << ": each saved log comes back once";
        }
    }
}

namespace {

std::vector<std::filesystem::path> crashFiles()
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(BCNCrashes::crashesDirectory()))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    return files;
}

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

} // namespace

TEST_F(TelemetryTest, ThePendingReportIsCopiedWholeUnderItsOwnNameBeforeItIsPurged)
{
    BCNBeacon::start("secret", bothServices());
    for (const auto& file : crashFiles())
        std::filesystem::remove(file);
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
    auto reporter = MVCrashReporter::sharedReporter();
    const auto pendingBytes = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(pendingBytes);

    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    const auto files = crashFiles();
    ASSERT_EQ(files.size(), 1u) << "the copy, and no analyzer marker left";
    EXPECT_EQ(fileBytes(files[0]), *pendingBytes);

    // Two copies in the same second never replace one another.
    const auto first = BCNCrashes::storeCrashReportCopy({ 1, 2, 3 });
    const auto second = BCNCrashes::storeCrashReportCopy({ 4, 5 });
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(fileBytes(*first), std::vector<std::uint8_t>({ 1, 2, 3 }));
    EXPECT_EQ(fileBytes(*second), std::vector<std::uint8_t>({ 4, 5 }));
}

TEST_F(TelemetryTest, AReportWhoseAnalysisEndedTheLastRunIsPurgedUnread)
{
    BCNBeacon::start("secret", bothServices());
    for (const auto& file : crashFiles())
        std::filesystem::remove(file);
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
    std::ofstream(BCNCrashes::crashesDirectory() + "/BNCrashes.analyzer").flush();

    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(logged(BCNLogLevelError, "Error on loading the crash report, it will be purged."));
    EXPECT_FALSE(MVCrashReporter::sharedReporter()->hasPendingCrashReport());
    EXPECT_TRUE(crashFiles().empty()) << "nothing copied, and the marker is gone";
}

namespace {

// The logs the channels were given, in order.
struct PreparedLogs : BCNChannelDelegate {
    std::mutex mutex;
    std::vector<BCNLogPtr> logs;
    void channelDidPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log, const std::string&, BCNLogFlags) override
    {
        std::lock_guard lock(mutex);
        logs.push_back(log);
    }
    template <class T> std::vector<std::shared_ptr<T>> of()
    {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<T>> found;
        for (const auto& log : logs)
            if (auto typed = std::dynamic_pointer_cast<T>(log))
                found.push_back(typed);
        return found;
    }
};

std::shared_ptr<PreparedLogs> watchChannels()
{
    auto prepared = std::make_shared<PreparedLogs>();
    BCNBeacon::sharedInstance()->channelGroup()->addDelegate(prepared);
    return prepared;
}

} // namespace

TEST_F(TelemetryTest, DisablingForgetsEveryStoredCrashAndEnablingAgainKeepsTheOneReporter)
{
    BCNBeacon::start("secret", bothServices());
    auto crashes = BCNCrashes::sharedInstance();
    const auto reporter = crashes->crashReporter();
    ASSERT_TRUE(reporter && reporter->isEnabled());
    EXPECT_EQ(reporter->configuration()->signalHandlerType(), 0u) << "signal handlers: this system has no Mach exception server";
    EXPECT_FALSE(crashes->isMachExceptionHandlerEnabled());

    int status = 0;
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
    ASSERT_TRUE(BCNCrashes::storeCrashReportCopy({ 1, 2, 3 }));
    std::ofstream(BCNCrashes::crashesDirectory() + "/BNCrashes.analyzer").flush();
    std::ofstream(crashes->logBuffer()->bufferPath(0)) << "saved log";
    crashes->didReceiveMemoryWarning();

    BCNCrashes::setServiceEnabled(false);
    EXPECT_TRUE(logged(BCNLogLevelInfo, "Crashes service has been disabled."));
    EXPECT_TRUE(crashFiles().empty()) << "stored crashes and the marker go";
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_EQ(std::filesystem::file_size(crashes->logBuffer()->bufferPath(0)), 0u);
    EXPECT_TRUE(BCNBeaconUserDefaults::shared().objectForKey("AppDidReceiveMemoryWarning").isNull());
    EXPECT_TRUE(crashes->crashFiles().empty());

    // The reporter stays installed: a crash while disabled still leaves a report, which
    // enabling drops as not this service's to send.
    ASSERT_NO_FATAL_FAILURE(abortInChild(&status));
    ASSERT_TRUE(reporter->hasPendingCrashReport());
    BCNCrashes::setServiceEnabled(true);
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_FALSE(BCNCrashes::hasCrashedInLastSession());
    EXPECT_TRUE(crashFiles().empty());
    EXPECT_EQ(crashes->crashReporter(), reporter);
    EXPECT_TRUE(logged(BCNLogLevelDebug, "Already configured MVCrashReporter."));
}

TEST_F(TelemetryTest, AMemoryWarningIsReportedByTheNextRunOnly)
{
    BCNBeacon::start("secret", bothServices());
    EXPECT_FALSE(BCNCrashes::hasReceivedMemoryWarningInLastSession());
    BCNCrashes::sharedInstance()->didReceiveMemoryWarning();
    const bool expected[] = { true, false };
    for (bool warned : expected) {
        resetClient();
        BCNBeacon::start("secret", bothServices());
        EXPECT_EQ(BCNCrashes::hasReceivedMemoryWarningInLastSession(), warned);
    }
    EXPECT_EQ(countStartingWith(BCNLogLevelDebug, "The application received a low memory warning in the last session."), 1u);
}

TEST_F(TelemetryTest, HandledErrorsAreQueuedWithTheirPropertiesAndAttachmentsUnderANewId)
{
    auto exception = std::make_shared<BCNException>();
    exception->type = "ModelError";
    exception->message = "broken";
    auto crashes = BCNCrashes::sharedInstance();
    EXPECT_FALSE(crashes->trackModelException(exception, {}, std::nullopt)) << "not started";

    BCNBeacon::start("secret", bothServices());
    BCNBeacon::setUserId("someone");
    auto prepared = watchChannels();
    const auto plain = crashes->trackModelException(exception, foundation::Value::dictionary({}), std::nullopt);
    const auto rich = crashes->trackModelException(exception, foundation::Value::dictionary({ { "screen", "export" } }),
                                                   BCNErrorAttachments { BCNErrorAttachmentLog::attachmentWithText("details", std::nullopt) });
    ASSERT_TRUE(plain && rich);
    EXPECT_NE(*plain, *rich);
    const auto errors = prepared->of<BCNHandledErrorLog>();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]->errorId, plain);
    EXPECT_FALSE(errors[0]->properties()) << "an empty dictionary means no properties";
    EXPECT_EQ(errors[0]->userId(), "someone");
    EXPECT_EQ(errors[0]->exception, exception);
    ASSERT_TRUE(errors[1]->properties());
    EXPECT_EQ((*errors[1]->properties())["screen"].asString(), "export");
    const auto attachments = prepared->of<BCNErrorAttachmentLog>();
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0]->errorId, rich);

    const auto report = crashes->buildHandledErrorReportWithErrorID(*rich);
    EXPECT_EQ(report->incidentIdentifier(), rich);
    EXPECT_FALSE(report->signal() || report->exceptionName() || report->exceptionReason() || report->reporterKey());
    EXPECT_EQ(report->appProcessIdentifier(), 0u);
    EXPECT_TRUE(report->appStartTime() && report->appErrorTime() && report->device());

    BCNCrashes::setServiceEnabled(false);
    EXPECT_FALSE(crashes->trackModelException(exception, {}, std::nullopt)) << "disabled";
    EXPECT_EQ(prepared->of<BCNHandledErrorLog>().size(), 2u);
}

TEST_F(TelemetryTest, AttachmentsAreSentOnlyWhenCompleteAndAtMostSevenMebibytes)
{
    BCNBeacon::start("secret", bothServices());
    auto prepared = watchChannels();
    const auto binary = [](std::size_t size, std::optional<std::string> type) {
        return BCNErrorAttachmentLog::attachmentWithBinary(foundation::Data(size, 7), std::string("dump.bin"), std::move(type));
    };
    struct Case {
        const char* what;
        std::shared_ptr<BCNErrorAttachmentLog> attachment;
        bool sent;
        const char* error;
    };
    auto unnamed = BCNErrorAttachmentLog::attachmentWithText("no file name", std::nullopt);
    const Case cases[] = {
        { "exactly the limit", binary(BCNCrashes::kMaxAttachmentSize, "application/octet-stream"), true, nullptr },
        { "one byte more", binary(BCNCrashes::kMaxAttachmentSize + 1, "application/octet-stream"), false,
          "Discarding attachment with size above 7340032 bytes: size=7340033, fileName=dump.bin." },
        { "no content type", binary(10, std::nullopt), false, "Not all required fields are present in BCNErrorAttachmentLog." },
        { "no data", binary(0, "application/octet-stream"), false, "Not all required fields are present in BCNErrorAttachmentLog." },
        { "no file name", unnamed, true, nullptr },
    };
    for (const auto& c : cases) {
        const std::size_t before = prepared->of<BCNErrorAttachmentLog>().size();
        const std::size_t errorsBefore = linesAt(BCNLogLevelError).size();
        BCNCrashes::sendErrorAttachments({ c.attachment }, "INCIDENT");
        EXPECT_EQ(prepared->of<BCNErrorAttachmentLog>().size(), before + (c.sent ? 1 : 0)) << c.what;
        EXPECT_EQ(c.attachment->errorId, "INCIDENT") << c.what;
        if (c.error)
            EXPECT_EQ(linesAt(BCNLogLevelError).back(), c.error) << c.what;
        else
            EXPECT_EQ(linesAt(BCNLogLevelError).size(), errorsBefore) << c.what;
    }
}

namespace {

struct SetupDelegate : BCNCrashHandlerSetupDelegate {
    std::vector<std::string> calls;
    void willSetUpCrashHandlers() override { calls.push_back("will"); }
    void didSetUpCrashHandlers() override { calls.push_back("did"); }
    bool shouldEnableUncaughtExceptionHandler() override
    {
        calls.push_back("should");
        return true;
    }
};

} // namespace

TEST_F(TelemetryTest, AWrapperIsToldAroundEachCrashHandlerSetUp)
{
    auto setup = std::make_shared<SetupDelegate>();
    BCNCrashes::setCrashHandlerSetupDelegate(setup);
    BCNBeacon::start("secret", bothServices());
    EXPECT_EQ(setup->calls, (std::vector<std::string> { "should", "will", "did" }));
    BCNCrashes::setCrashHandlerSetupDelegate(nullptr);
    EXPECT_NE(BCNCrashes::sharedInstance()->exceptionHandler(), nullptr) << "the reporter handles uncaught exceptions";
}

TEST_F(TelemetryTest, ATestCrashEndsTheProcessWithAnIllegalInstructionOnlyOnceStarted)
{
    BCNCrashes::generateTestCrash();
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelError, "Crashes service hasn't been started.")) << "not started: nothing happens";

    BCNBeacon::start("secret", bothServices());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        BCNCrashes::generateTestCrash();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGILL);
    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(BCNCrashes::hasCrashedInLastSession());
    EXPECT_EQ(BCNCrashes::lastSessionCrashSignal(), SIGILL);
}

TEST_F(TelemetryTest, AMemoryWarningFromTheSystemReachesTheNextRunWithoutTheApplication)
{
    testsupport::TempDir dir;
    const auto events = dir / "memory.events";
    std::ofstream(events) << "low 0\nhigh 0\nmax 0\noom 0\noom_kill 0\n";
    BCNCrashes::setMemoryPressureSources(sys::MemoryPressureMonitor::Sources { (dir / "no-pressure").string(), events.string() });
    BCNBeacon::start("secret", bothServices());
    // The cgroup went over its high mark: the kernel says so in its events file.
    std::ofstream(events) << "low 0\nhigh 1\nmax 0\noom 0\noom_kill 0\n";
    EXPECT_TRUE(waitFor([] { return BCNBeaconUserDefaults::shared().objectForKey("AppDidReceiveMemoryWarning").isNumber(); }));
    resetClient();
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(BCNCrashes::hasReceivedMemoryWarningInLastSession());
    resetClient();
    BCNCrashes::setMemoryPressureSources(std::nullopt);
}
