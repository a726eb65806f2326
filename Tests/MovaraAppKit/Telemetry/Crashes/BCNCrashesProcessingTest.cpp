// Crashes of one run reach the ingestion server on the next: real crash reports (a forked child
// dies of SIGABRT under the parent's crash capture), the real channel, a local server.

#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <sqlite3.h>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperExceptionManager.h"
#include "Platform/Dispatch/Clock.h"
#include "Tests/MovaraAppKit/CrashReporter/LargeReportFixture.h"
#include "Tests/MovaraAppKit/Telemetry/IngestionServer.h"

namespace {

void abortInChild()
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::raise(SIGABRT);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
}

// Asks for the waiting reports on a thread of its own; a caller held for ever fails the test
// rather than hanging it.
std::future<BCNErrorReports> askFromAnotherThread(const std::shared_ptr<BCNCrashes>& crashes)
{
    auto promise = std::make_shared<std::promise<BCNErrorReports>>();
    auto future = promise->get_future();
    std::thread([crashes, promise] { promise->set_value(crashes->unprocessedCrashReports()); }).detach();
    return future;
}

struct RecordingDelegate : BCNCrashesDelegate {
    std::mutex mutex;
    std::vector<std::string> events;
    bool process = true;
    std::function<std::optional<BCNErrorAttachments>(const std::shared_ptr<BCNErrorReport>&)> attachments;
    bool offMainThread = false;
    std::size_t asked = 0;

    void record(const std::string& event, const std::shared_ptr<BCNErrorReport>& report)
    {
        std::lock_guard lock(mutex);
        offMainThread = offMainThread || !dispatch::RunLoop::isMainThread();
        events.push_back(event + ":" + report->incidentIdentifier().value_or(""));
    }
    std::size_t count(const std::string& prefix)
    {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.starts_with(prefix); }));
    }
    bool crashesShouldProcessErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>&) override
    {
        ++asked;
        return process;
    }
    void crashesWillSendErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>& report) override { record("will", report); }
    void crashesDidSucceedSendingErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>& report) override
    {
        record("sent", report);
    }
    void crashesDidFailSendingErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>& report, const foundation::ErrorPtr&) override
    {
        record("failed", report);
    }
    std::optional<BCNErrorAttachments> attachmentsWithCrashes(BCNCrashes&, const std::shared_ptr<BCNErrorReport>& report) override
    {
        return attachments ? attachments(report) : std::nullopt;
    }
};

} // namespace

class CrashesPipelineTest : public TelemetryTest {
public:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::Clock::setVirtual(true);
        // A report some earlier test left is not this test's crash.
        MVCrashReporter::sharedReporter()->purgePendingCrashReport();
    }
    void TearDown() override
    {
        TelemetryTest::TearDown();
        dispatch::Clock::setVirtual(false);
    }

    void startClient()
    {
        BCNBeacon::setLogUrl(server.baseURL());
        BCNBeacon::start("secret", bothServices());
    }
    // A run that starts the client and dies; the next start finds its report.
    void crashedRun()
    {
        startClient();
        ASSERT_NO_FATAL_FAILURE(abortInChild());
        resetClient();
    }
    // What the channel group's queue has been given is done.
    static void drain()
    {
        if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup()))
            group->logsDispatchQueue()->sync([] { });
    }
    // The crash unit's flush timer fires for what is stored.
    static void flush()
    {
        drain();
        dispatch::Clock::advance(1);
        drain();
    }
    // The delayed processing falls due and has run to its end: advance waits for what it fires
    // only so long, and a loaded machine can take longer to read and send a crash report. Asking
    // for the waiting reports returns once the processing is over (at once when none comes).
    static void process()
    {
        dispatch::Clock::advance(1);
        BCNCrashes::sharedInstance()->unprocessedCrashReports();
    }
    // The delayed processing, then the channel's flush.
    static void processAndFlush()
    {
        process();
        flush();
    }
    std::vector<foundation::Value> delivered(const std::string& type)
    {
        std::vector<foundation::Value> logs;
        for (const auto& log : server.deliveredLogs())
            if (log["type"].isString() && log["type"].asString() == type)
                logs.push_back(log);
        return logs;
    }
    bool deliveredCount(const std::string& type, std::size_t count)
    {
        return waitFor([&] { return delivered(type).size() >= count; }) && delivered(type).size() == count;
    }
    // A crashed run, plus an earlier report still stored: a report of this process (the children
    // of one process share their report's id, so the other comes from a live report).
    void storeSecondReport()
    {
        ASSERT_NO_FATAL_FAILURE(crashedRun());
        foundation::ErrorPtr error;
        const auto live = MVCrashReporter::sharedReporter()->generateLiveReportAndReturnError(&error);
        ASSERT_TRUE(live) << (error ? error->localizedDescription() : "");
        ASSERT_TRUE(BCNCrashes::storeCrashReportCopy(*live));
    }
    // The channel has heard back about every crash log it sent: none is left in the store for the
    // next run to send again (the server may hold one whose answer the run never saw).
    static bool crashLogsSettled()
    {
        return waitFor([] { return pending("Crashes").empty(); });
    }
    static std::vector<std::string> storedCrashes() { return BCNCrashes::sharedInstance()->persistedCrashReports(); }

    telemetrytest::IngestionServer server;
};

TEST_F(CrashesPipelineTest, ACrashIsSentByTheNextRunWithItsAttachmentsAndNeverTwice)
{
    BCNUserIdContext::sharedInstance()->setUserId("crash-time-user");
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    // The next run (a new process: its contexts read the stored histories) has another user.
    dispatch::Clock::advance(10);
    resetContexts();
    BCNUserIdContext::sharedInstance()->setUserId("next-run-user");

    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->attachments = [](const std::shared_ptr<BCNErrorReport>&) {
        return BCNErrorAttachments { BCNErrorAttachmentLog::attachmentWithText("last words", std::string("log.txt")),
                                     BCNErrorAttachmentLog::attachmentWithBinary({ 1, 2, 3 }, std::string("state.bin"),
                                                                                 std::string("application/octet-stream")) };
    };
    BCNCrashes::setDelegate(delegate);
    startClient();
    ASSERT_TRUE(BCNCrashes::hasCrashedInLastSession());
    ASSERT_TRUE(BCNCrashes::lastSessionCrashReport());
    EXPECT_EQ(storedCrashes().size(), 1u);
    EXPECT_EQ(BCNCrashes::sharedInstance()->crashFiles().size(), 1u);
    processAndFlush();

    ASSERT_TRUE(deliveredCount("appleError", 1));
    ASSERT_TRUE(deliveredCount("errorAttachment", 2));
    const auto crash = delivered("appleError").front();
    EXPECT_EQ(crash["id"].asString(), *BCNCrashes::lastSessionCrashReport()->incidentIdentifier());
    EXPECT_TRUE(crash["fatal"].asBool());
    EXPECT_FALSE(crash["threads"].asArray().empty());
    EXPECT_FALSE(crash["binaries"].asArray().empty());
    EXPECT_EQ(crash["userId"].asString(), "crash-time-user") << "charged to the user of its own time";
    for (const auto& attachment : delivered("errorAttachment"))
        EXPECT_EQ(attachment["errorId"].asString(), crash["id"].asString());
    EXPECT_TRUE(storedCrashes().empty()) << "the file goes once the log is queued";
    EXPECT_TRUE(BCNCrashes::sharedInstance()->crashFiles().empty());
    ASSERT_TRUE(waitFor([&] { return delegate->count("sent:") == 1; }));
    EXPECT_EQ(delegate->count("will:"), 1u);
    EXPECT_FALSE(delegate->offMainThread) << "send notices come on the main thread";

    // The run after that has nothing to send.
    ASSERT_TRUE(crashLogsSettled());
    resetClient();
    startClient();
    EXPECT_FALSE(BCNCrashes::hasCrashedInLastSession());
    processAndFlush();
    flush();
    EXPECT_EQ(delivered("appleError").size(), 1u);
    EXPECT_EQ(delivered("errorAttachment").size(), 2u);
}

TEST_F(CrashesPipelineTest, TwoStoredCrashesAreSentInOrderEachWithItsOwnAttachments)
{
    ASSERT_NO_FATAL_FAILURE(storeSecondReport());

    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->attachments = [](const std::shared_ptr<BCNErrorReport>& report) {
        return BCNErrorAttachments { BCNErrorAttachmentLog::attachmentWithText("for " + *report->incidentIdentifier(), std::string("a.txt")) };
    };
    BCNCrashes::setDelegate(delegate);
    startClient();
    ASSERT_EQ(storedCrashes().size(), 2u);
    processAndFlush();
    flush();
    ASSERT_TRUE(deliveredCount("appleError", 2));
    ASSERT_TRUE(deliveredCount("errorAttachment", 2));
    const auto crashes = delivered("appleError");
    EXPECT_NE(crashes[0]["id"].asString(), crashes[1]["id"].asString());
    for (const auto& attachment : delivered("errorAttachment")) {
        EXPECT_TRUE(attachment["errorId"].asString() == crashes[0]["id"].asString() || attachment["errorId"].asString() == crashes[1]["id"].asString());
    }
    EXPECT_NE(delivered("errorAttachment")[0]["errorId"].asString(), delivered("errorAttachment")[1]["errorId"].asString());
    EXPECT_TRUE(storedCrashes().empty());
}

TEST_F(CrashesPipelineTest, TheDelegateAndTheUserDecideWhatIsSent)
{
    struct Case {
        const char* what;
        bool delegateProcesses;
        std::optional<bool> handlerAsksUser; // none: no handler
        std::optional<int> userAnswer;
        std::size_t sent;
        bool filesLeft;
    };
    const Case cases[] = {
        { "the delegate drops it", false, std::nullopt, std::nullopt, 0, false },
        { "no handler sends", true, std::nullopt, std::nullopt, 1, false },
        { "a handler that answers no sends", true, false, std::nullopt, 1, false },
        { "the user is asked and never answers", true, true, std::nullopt, 0, true },
        { "the user says don't send", true, true, BCNUserConfirmationDontSend, 0, false },
        { "the user says send", true, true, BCNUserConfirmationSend, 1, false },
    };
    std::size_t sentSoFar = 0;
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(crashedRun()) << c.what;
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->process = c.delegateProcesses;
        BCNCrashes::setDelegate(delegate);
        std::size_t handlerCalls = 0;
        bool handlerOnMain = true;
        if (c.handlerAsksUser)
            BCNCrashes::setUserConfirmationHandler([&, answer = *c.handlerAsksUser](const BCNErrorReports& reports) {
                ++handlerCalls;
                handlerOnMain = handlerOnMain && dispatch::RunLoop::isMainThread();
                EXPECT_EQ(reports.size(), 1u);
                return answer;
            });
        startClient();
        process();
        EXPECT_EQ(delegate->asked, 1u) << c.what;
        EXPECT_EQ(handlerCalls, c.handlerAsksUser && c.delegateProcesses ? 1u : 0u) << c.what;
        EXPECT_TRUE(handlerOnMain) << c.what;
        if (c.userAnswer)
            BCNCrashes::notifyWithUserConfirmation(*c.userAnswer);
        flush();
        sentSoFar += c.sent;
        ASSERT_TRUE(deliveredCount("appleError", sentSoFar)) << c.what;
        EXPECT_EQ(!storedCrashes().empty(), c.filesLeft) << c.what;
        // An unanswered crash is offered again by the next launch; drop it for the next case.
        BCNCrashes::sharedInstance()->handleUserConfirmation(BCNUserConfirmationDontSend);
        EXPECT_TRUE(storedCrashes().empty()) << c.what;
        ASSERT_TRUE(crashLogsSettled()) << c.what;
        resetClient();
    }
}

TEST_F(CrashesPipelineTest, AlwaysSendIsRememberedAndLaterLaunchesDoNotAsk)
{
    std::size_t asked = 0;
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    BCNCrashes::setUserConfirmationHandler([&](const BCNErrorReports&) {
        ++asked;
        return true;
    });
    startClient();
    process();
    ASSERT_EQ(asked, 1u);
    BCNCrashes::notifyWithUserConfirmation(BCNUserConfirmationAlways);
    flush();
    ASSERT_TRUE(deliveredCount("appleError", 1));
    EXPECT_TRUE(BCNBeaconUserDefaults::shared().objectForKey("CrashesUserConfirmation").asBool());

    ASSERT_TRUE(crashLogsSettled());
    resetClient();
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    BCNCrashes::setUserConfirmationHandler([&](const BCNErrorReports&) {
        ++asked;
        return true;
    });
    startClient();
    processAndFlush();
    ASSERT_TRUE(deliveredCount("appleError", 2));
    EXPECT_EQ(asked, 1u) << "always means never asked again";
}

TEST_F(CrashesPipelineTest, AWrapperWithoutAutomaticProcessingPicksTheReportsToSend)
{
    ASSERT_NO_FATAL_FAILURE(storeSecondReport());

    auto crashes = BCNCrashes::sharedInstance();
    crashes->setAutomaticProcessingEnabled(false);
    auto delegate = std::make_shared<RecordingDelegate>();
    BCNCrashes::setDelegate(delegate);
    startClient();
    // A wrapper asks from another thread before the processing has run: it waits for it.
    auto reports = askFromAnotherThread(crashes);
    dispatch::Clock::advance(1);
    ASSERT_TRUE(waitFor([&] { return reports.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const auto waiting = reports.get();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(delegate->asked, 0u) << "without automatic processing the delegate is not asked";
    flush();
    EXPECT_TRUE(delivered("appleError").empty()) << "nothing goes before the wrapper says so";

    EXPECT_FALSE(crashes->sendCrashReportsOrAwaitUserConfirmationForFilteredIds({ *waiting[1]->incidentIdentifier() }));
    EXPECT_TRUE(logged(BCNLogLevelDebug, "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation."));
    EXPECT_EQ(crashes->unprocessedCrashReports().size(), 1u);
    EXPECT_EQ(storedCrashes().size(), 1u) << "the report left out is deleted";
    BCNCrashes::notifyWithUserConfirmation(BCNUserConfirmationSend);
    flush();
    ASSERT_TRUE(deliveredCount("appleError", 1));
    EXPECT_EQ(delivered("appleError")[0]["id"].asString(), *waiting[1]->incidentIdentifier());
    EXPECT_TRUE(storedCrashes().empty());
}

TEST_F(CrashesPipelineTest, AskingForTheWaitingReportsNeverBlocksWhenNoProcessingCanCome)
{
    struct Case {
        const char* what;
        std::function<void(CrashesPipelineTest&)> setUp;
    };
    const Case cases[] = {
        { "never started", [](CrashesPipelineTest&) { } },
        { "disabled before start", [](CrashesPipelineTest& t) {
              BCNBeaconUserDefaults::shared().setObjectForKey(false, "CrashesIsEnabled");
              t.startClient();
          } },
        { "disabled after start", [](CrashesPipelineTest& t) {
              t.startClient();
              BCNCrashes::setServiceEnabled(false);
          } },
        { "the application is hidden when processing is due", [](CrashesPipelineTest& t) {
              BCNCrashes::sharedInstance()->setApplicationStateProvider([] { return 2; });
              t.startClient();
              dispatch::Clock::advance(1);
          } },
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(crashedRun()) << c.what;
        c.setUp(*this);
        auto crashes = BCNCrashes::sharedInstance();
        auto reports = askFromAnotherThread(crashes);
        ASSERT_TRUE(waitFor([&] { return reports.wait_for(std::chrono::seconds(0)) == std::future_status::ready; })) << c.what;
        EXPECT_TRUE(reports.get().empty()) << c.what;
        EXPECT_TRUE(crashes->unprocessedCrashReports().empty()) << c.what << ": and on the main thread";
        resetClient();
        BCNBeaconUserDefaults::shared().removeObjectForKey("CrashesIsEnabled");
        MVCrashReporter::sharedReporter()->purgePendingCrashReport();
        for (const auto& file : std::filesystem::directory_iterator(BCNCrashes::crashesDirectory()))
            std::filesystem::remove(file.path());
    }
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Crashes will not be processed because the application is in the background."));
}

TEST_F(CrashesPipelineTest, StoredFilesThatAreNotCrashesAreLeftAloneAndBadOnesAreRetried)
{
    startClient();
    const std::filesystem::path directory = BCNCrashes::crashesDirectory();
    for (const char* name : { "x.DS_Store", "BNCrashes.analyzer", "a.plist", "a.data", "a.meta", "a.desc" })
        std::ofstream(directory / name) << "x";
    std::ofstream(directory / "empty").flush();
    std::ofstream(directory / "garbage") << "not a crash report";
    const auto listed = storedCrashes();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(std::filesystem::path(listed[0]).filename(), "garbage");

    for (int launch = 0; launch < 2; ++launch) {
        resetClient();
        startClient();
        process();
        EXPECT_EQ(countStartingWith(BCNLogLevelWarning, "Crash report found but couldn't parse it"), static_cast<std::size_t>(launch + 1));
        EXPECT_TRUE(std::filesystem::exists(directory / "garbage")) << "kept for the next launch";
    }
}

// A stored file of gigabytes is refused unread with a clear warning and kept, as one that does not
// decode; a report of five thousand images and frames is made into its log and sent.
TEST_F(CrashesPipelineTest, AHugeStoredFileIsRefusedUnreadAndALargeReportIsSent)
{
    startClient();
    const std::filesystem::path directory = BCNCrashes::crashesDirectory();
    std::ofstream(directory / "1-huge").close();
    ASSERT_EQ(::truncate((directory / "1-huge").c_str(), 3LL << 30), 0);
    const auto bytes = testsupport::LargeReportFixture(5000, 5000).bytes();
    ASSERT_LE(bytes.size(), MVCrashReport::kMaxReportSize);
    std::ofstream(directory / "2-large", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    resetClient();
    startClient();
    processAndFlush();
    EXPECT_EQ(countStartingWith(BCNLogLevelWarning, "Crash report found but couldn't parse it, discard the crash report: "
                                                    "The crash report is larger than 262144 bytes"), 1u);
    EXPECT_TRUE(std::filesystem::exists(directory / "1-huge"));
    ASSERT_TRUE(deliveredCount("appleError", 1));
    const auto crash = delivered("appleError").front();
    EXPECT_EQ(crash["threads"].asArray().at(0)["frames"].asArray().size(), 5000u);
}

TEST_F(CrashesPipelineTest, AWrapperExceptionOfTheCrashedProcessGoesWithItsCrash)
{
    startClient();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto saved = std::make_shared<BCNWrapperException>();
        // The child's report names the process its capture was set up in: the parent.
        saved->processId = ::getppid();
        saved->modelException = std::make_shared<BCNException>();
        saved->modelException->type = "WrapperError";
        BCNWrapperExceptionManager::saveWrapperException(saved);
        ::raise(SIGABRT);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    resetClient();
    BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions();

    startClient();
    const auto incident = BCNCrashes::lastSessionCrashReport()->incidentIdentifier();
    ASSERT_TRUE(incident);
    ASSERT_TRUE(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*incident)) << "tied to the report of its process";
    const auto wrapperFile = BCNUtility::fullURLForPathComponent(BCNCrashesUtil::wrapperExceptionsDir()) / *incident;
    EXPECT_TRUE(std::filesystem::exists(wrapperFile));
    processAndFlush();
    ASSERT_TRUE(deliveredCount("appleError", 1));
    EXPECT_FALSE(std::filesystem::exists(wrapperFile)) << "sent: its wrapper exception goes with the file";
}

TEST_F(CrashesPipelineTest, TheDelegateHearsOfACrashLogTheServerRefuses)
{
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    auto delegate = std::make_shared<RecordingDelegate>();
    BCNCrashes::setDelegate(delegate);
    // Every request of this run is refused, whichever unit sends first.
    server.script({ telemetrytest::Answer(400), telemetrytest::Answer(400), telemetrytest::Answer(400), telemetrytest::Answer(400),
                    telemetrytest::Answer(400), telemetrytest::Answer(400), telemetrytest::Answer(400), telemetrytest::Answer(400) });
    startClient();
    processAndFlush();
    ASSERT_TRUE(waitFor([&] { return delegate->count("failed:") == 1; }));
    EXPECT_EQ(delegate->count("will:"), 1u);
    EXPECT_EQ(delegate->count("sent:"), 0u);
    EXPECT_FALSE(delegate->offMainThread);
}

TEST_F(CrashesPipelineTest, ProcessingSkippedWhileHiddenRunsWhenTheApplicationComesBack)
{
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    auto crashes = BCNCrashes::sharedInstance();
    int state = 2;
    crashes->setApplicationStateProvider([&] { return state; });
    startClient();
    processAndFlush();
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Crashes will not be processed because the application is in the background."));
    EXPECT_EQ(crashes->crashFiles().size(), 1u) << "kept for later";

    state = 0;
    crashes->applicationWillEnterForeground();
    // This processing opens no gate (the first one did): its end shows as the stored file going.
    dispatch::Clock::advance(1);
    ASSERT_TRUE(waitFor([&] { return crashes->crashFiles().empty(); }));
    flush();
    ASSERT_TRUE(deliveredCount("appleError", 1));
    EXPECT_TRUE(crashes->crashFiles().empty());
    crashes->applicationWillEnterForeground();
    processAndFlush();
    EXPECT_EQ(delivered("appleError").size(), 1u) << "nothing left to process";
}

TEST_F(CrashesPipelineTest, ACrashFileStaysUntilItsLogIsInTheStore)
{
    ASSERT_NO_FATAL_FAILURE(crashedRun());
    // The store takes nothing in this run (a full disk, or a damaged file being dealt with).
    auto exec = [](const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(BCNUtility::fullURLForPathComponent("Logs.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    ASSERT_NO_FATAL_FAILURE(exec("CREATE TRIGGER refuse BEFORE INSERT ON logs BEGIN SELECT RAISE(FAIL, 'disk full'); END;"));
    startClient();
    ASSERT_TRUE(BCNCrashes::hasCrashedInLastSession());
    processAndFlush();
    EXPECT_TRUE(delivered("appleError").empty());
    EXPECT_EQ(storedCrashes().size(), 1u) << "the crash file is all there is of the crash";

    // A run whose store works sends it, once.
    resetClient();
    ASSERT_NO_FATAL_FAILURE(exec("DROP TRIGGER refuse;"));
    startClient();
    processAndFlush();
    ASSERT_TRUE(deliveredCount("appleError", 1));
    EXPECT_TRUE(storedCrashes().empty());
    ASSERT_TRUE(crashLogsSettled());
    resetClient();
    startClient();
    processAndFlush();
    flush();
    EXPECT_EQ(delivered("appleError").size(), 1u);
}
