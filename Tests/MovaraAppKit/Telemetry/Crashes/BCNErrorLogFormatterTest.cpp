#include "MovaraAppKit/Telemetry/Crashes/BCNErrorLogFormatter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"
#include "Tests/MovaraAppKit/CrashReporter/LargeReportFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cmath>
#include <thread>

TEST(BCNErrorLogFormatter, PathsLoseTheirUsersName)
{
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        { "/Users/someone/Library/x.dylib", "/Users/USER/Library/x.dylib" },
        { "/home/alice/bin/quintor", "/home/USER/bin/quintor" },
        { "/home/alice/", "/home/USER/" },
        { "/private/Users/x", "" },
        { "/usr/lib/libc.so.6", "/usr/lib/libc.so.6" },
        { "/opt/home/alice/x", "/opt/home/alice/x" },
        { "", "" },
        { std::nullopt, "" },
    };
    for (const auto& [path, anonymised] : cases)
        EXPECT_EQ(BCNErrorLogFormatter::anonymizedPathFromPath(path), anonymised) << path.value_or("(none)");
}

TEST(BCNErrorLogFormatter, AddressesImageTypesAndRanges)
{
    EXPECT_EQ(BCNErrorLogFormatter::formatAddress(0xabcd, false), "0x0000abcd");
    EXPECT_EQ(BCNErrorLogFormatter::formatAddress(0xabcd, true), "0x000000000000abcd");
    EXPECT_TRUE(BCNErrorLogFormatter::isCodeType64bit(0x1000007));
    EXPECT_FALSE(BCNErrorLogFormatter::isCodeType64bit(7));

    const std::string process = "/Applications/X.app/Contents/MacOS/X";
    struct Case {
        std::optional<std::string> image;
        int type;
    };
    const Case cases[] = {
        { "/Applications/X.app/Contents/Frameworks/libswiftCore.dylib", 2 },
        { "/Applications/X.app/Contents/Frameworks/Y.framework/Y", 1 },
        { process, 0 },
        { "/usr/lib/libSystem.B.dylib", 2 },
        { std::nullopt, 2 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(BCNErrorLogFormatter::imageTypeForImagePath(c.image, process), c.type) << c.image.value_or("(none)");

    EXPECT_TRUE(BCNErrorLogFormatter::isBinaryWithStart(0x1000, 0x1000, { 0x1000 }));
    EXPECT_TRUE(BCNErrorLogFormatter::isBinaryWithStart(0x1000, 0x1fff, { 5, 0x1fff }));
    EXPECT_FALSE(BCNErrorLogFormatter::isBinaryWithStart(0x1000, 0x1fff, { 0xfff, 0x2000 }));
}

// A report of a hundred thousand images and as many frames: every frame is told its own image
// and exactly the images that hold an address are sent, as a search through every image would
// (which took minutes for this report at the next launch).
TEST(BCNErrorLogFormatter, AReportOfAHundredThousandImagesAndFramesKeepsEachFramesImage)
{
    testsupport::LargeReportFixture f;
    auto report = MVCrashReport::initWithData(f.bytes(), nullptr);
    ASSERT_TRUE(report);
    const auto threads = BCNErrorLogFormatter::extractThreadsFromReport(*report, BCNErrorLogFormatter::findCrashedThreadInReport(*report), true);
    ASSERT_EQ(threads.size(), 1u);
    ASSERT_EQ(threads[0]->frames->size(), f.frameCount);
    std::vector<std::size_t> hit;
    for (std::size_t j = 0; j < f.frameCount; ++j) {
        const std::size_t image = f.frameImage[j];
        char code[64];
        if (image == SIZE_MAX) {
            std::snprintf(code, sizeof code, "0x0 + 0");
        } else {
            std::snprintf(code, sizeof code, "0x%llx + %llu", static_cast<unsigned long long>(f.baseOf(image)),
                static_cast<unsigned long long>(f.frames[j].pc - f.baseOf(image)));
            hit.push_back(image);
        }
        if ((*threads[0]->frames)[j]->code != std::optional<std::string>(code)) {
            ADD_FAILURE() << "frame " << j << ": " << (*threads[0]->frames)[j]->code.value_or("(none)") << " instead of " << code;
            break;
        }
    }
    std::sort(hit.begin(), hit.end());
    hit.erase(std::unique(hit.begin(), hit.end()), hit.end());
    const auto binaries = BCNErrorLogFormatter::extractBinaryImagesFromReport(*report, true);
    ASSERT_EQ(binaries.size(), hit.size()) << "only the images holding an address";
    for (std::size_t i = 0; i < hit.size(); ++i) {
        if (binaries[i]->startAddress != BCNErrorLogFormatter::formatAddress(f.baseOf(hit[i]), true)) {
            ADD_FAILURE() << "binary " << i << ": " << binaries[i]->startAddress.value_or("(none)");
            break;
        }
    }
}

namespace {

// Beside the worker that crashes, a thread that blocks every signal: the reporter cannot stop
// it to read its registers, so its stack is not walked.
[[gnu::noinline]] void crashOnWorker()
{
    std::atomic<bool> blocked {false};
    std::thread deaf([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        blocked = true;
        for (;;)
            ::pause();
    });
    deaf.detach();
    while (!blocked)
        std::this_thread::yield();
    std::thread worker([] { ::raise(SIGABRT); });
    worker.join();
}

} // namespace

TEST_F(TelemetryTest, ARealCrashBecomesACrashLogWithThreadsFramesAndBinaries)
{
    BCNBeacon::start("secret", bothServices());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        crashOnWorker();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto reporter = MVCrashReporter::sharedReporter();
    foundation::ErrorPtr error;
    auto report = reporter->loadPendingCrashReport(&error);
    ASSERT_NE(report, nullptr);
    auto log = BCNErrorLogFormatter::errorLogFromCrashReport(*report);
    EXPECT_TRUE(log->isValid());
    EXPECT_EQ(log->errorId, report->uuidRef()->UUIDString());
    ASSERT_TRUE(report->processInfo());
    EXPECT_EQ(log->processId, static_cast<std::int64_t>(report->processInfo()->processID));
    EXPECT_EQ(log->osExceptionType, "SIGABRT");
    EXPECT_TRUE(log->fatal);
    ASSERT_TRUE(log->timestamp());
    const double seconds = log->timestamp()->timeIntervalSince1970();
    const auto reported = report->systemInfo().timestamp();
    if (reported && std::floor(reported->timeIntervalSince1970()) == reported->timeIntervalSince1970()) {
        EXPECT_NEAR(seconds - std::floor(seconds), 0.999, 1e-6) << "a crash time in whole seconds moves to the end of its second";
    }

    ASSERT_TRUE(log->threads);
    EXPECT_GE(log->threads->size(), 2u) << "the main thread and the worker";
    const auto* crashed = BCNErrorLogFormatter::findCrashedThreadInReport(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(log->errorThreadId, crashed->threadNumber);
    ASSERT_TRUE(log->registers);
    EXPECT_GT(log->registers->size(), 0u);
    // A thread whose stack could not be walked tells nothing: it is left out, since a thread
    // of the log has frames.
    const auto frameless = std::count_if(report->threads().begin(), report->threads().end(),
                                         [](const auto& thread) { return thread.stackFrames.empty(); });
    EXPECT_GE(frameless, 1) << "the thread that blocks every signal";
    EXPECT_EQ(log->threads->size(), report->threads().size() - std::size_t(frameless));
    for (const auto& thread : *log->threads) {
        EXPECT_TRUE(thread->isValid()) << *thread->threadId;
        for (const auto& frame : *thread->frames) {
            ASSERT_TRUE(frame->address && frame->code);
            EXPECT_EQ(frame->address->size(), 18u) << "64-bit addresses are written in full";
        }
    }

    ASSERT_TRUE(log->binaries);
    ASSERT_FALSE(log->binaries->empty());
    for (std::size_t i = 1; i < log->binaries->size(); ++i)
        EXPECT_LT((*log->binaries)[i - 1]->startAddress, (*log->binaries)[i]->startAddress) << "sorted by base address";
    EXPECT_LT(log->binaries->size(), report->images().size()) << "libraries nothing points into are left out";

    auto errorReport = BCNErrorLogFormatter::errorReportFromLog(*log);
    EXPECT_EQ(errorReport->incidentIdentifier(), log->errorId);
    EXPECT_EQ(errorReport->signal(), "SIGABRT");
    EXPECT_EQ(errorReport->appProcessIdentifier(), report->processInfo()->processID);
    EXPECT_EQ(errorReport->reporterKey(), BCNBeacon::installId()->UUIDString());
    EXPECT_FALSE(errorReport->isAppKill());
    reporter->purgePendingCrashReport();
}
