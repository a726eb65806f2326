#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"

namespace fs = std::filesystem;

namespace {

std::shared_ptr<MVCrashReporter> reporterFor(const std::string& identifier, std::uint64_t type = 0)
{
    return MVCrashReporter::initWithApplicationIdentifier(identifier, "3", std::string("1.2"), MVCrashReporterConfig::initWithSignalHandlerType(type, 1, false));
}

void writeFile(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace

TEST(MVCrashReporter, PathsLiveUnderTheCachesFolderWithSlashesReplaced)
{
    auto reporter = reporterFor("com.movara/odd/id");
    const fs::path directory = reporter->crashReportDirectory();
    EXPECT_EQ(directory.filename(), "com.movara_odd_id");
    EXPECT_EQ(directory.parent_path().filename(), "com.movara.crashreporter");
    EXPECT_EQ(fs::path(reporter->crashReportPath()).filename(), "live_report.mvcrash");
    EXPECT_EQ(fs::path(reporter->queuedCrashReportDirectory()).filename(), "queued_reports");
    EXPECT_EQ(directory.parent_path().parent_path().string(), std::string(std::getenv("XDG_CACHE_HOME")));
}

TEST(MVCrashReporter, APendingReportIsThereUntilPurged)
{
    auto reporter = reporterFor("com.movara.pending");
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    foundation::ErrorPtr error;
    EXPECT_FALSE(reporter->loadPendingCrashReportDataAndReturnError(&error));
    EXPECT_TRUE(error);
    writeFile(reporter->crashReportPath(), "mvcrash\x01junk");
    EXPECT_TRUE(reporter->hasPendingCrashReport());
    EXPECT_EQ(reporter->loadPendingCrashReportData()->size(), 12u);
    EXPECT_TRUE(reporter->purgePendingCrashReport());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_FALSE(reporter->purgePendingCrashReport());
}

TEST(MVCrashReporter, AReportThatCannotBeDecodedIsQuarantinedNotReadAgain)
{
    auto reporter = reporterFor("com.movara.quarantine");
    writeFile(reporter->crashReportPath(), "mvcrash\x01\x0a\xff");
    foundation::ErrorPtr error;
    EXPECT_FALSE(reporter->loadPendingCrashReport(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), MVCrashReporterErrorCrashReportInvalid);
    EXPECT_FALSE(reporter->hasPendingCrashReport()) << "the next launch does not meet it again";
    std::size_t kept = 0;
    for (const auto& entry : fs::directory_iterator(reporter->quarantinedCrashReportDirectory())) {
        ++kept;
        EXPECT_EQ(fs::file_size(entry.path()), 10u) << "kept whole for a person to look at";
    }
    EXPECT_EQ(kept, 1u);
}

TEST(MVCrashReporter, ALiveReportOfThisThreadIsATraceTrapAndLeavesNoFileBehind)
{
    auto reporter = reporterFor("com.movara.live");
    reporter->setCustomData(std::vector<std::uint8_t> { 1, 2, 3 });
    const auto tmp = fs::path(std::getenv("TMPDIR"));
    auto before = std::distance(fs::directory_iterator(tmp), fs::directory_iterator());
    foundation::ErrorPtr error;
    auto data = reporter->generateLiveReportAndReturnError(&error);
    ASSERT_TRUE(data) << (error ? error->localizedDescription() : "");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), before);
    auto report = MVCrashReport::initWithData(*data, &error);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name, "SIGTRAP");
    EXPECT_EQ(report->signalInfo().code, "TRAP_TRACE");
    EXPECT_EQ(report->signalInfo().address, 0u);
    EXPECT_EQ(*report->customData(), (std::vector<std::uint8_t> { 1, 2, 3 }));
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion, "1.2");
    bool crashed = false;
    for (const auto& thread : report->threads())
        crashed = crashed || (thread.crashed && !thread.stackFrames.empty());
    EXPECT_TRUE(crashed);
}

TEST(MVCrashReporter, MachModeIsRefusedWithAnOperatingSystemError)
{
    // Enabling takes the process's one slot, so it happens in a child.
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto reporter = reporterFor("com.movara.mach", 1);
        foundation::ErrorPtr error;
        const bool ok = reporter->enableCrashReporterAndReturnError(&error);
        ::_exit(!ok && error && error->code() == 1 && error->localizedDescription() == "Failed to instantiate the Mach exception server." ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MVCrashReporter, CallbacksCanOnlyBeSetBeforeEnabling)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto reporter = reporterFor("com.movara.callbacks", 99); // a type that installs no handler
        MVCrashReporterCallbacks callbacks;
        reporter->setCrashCallbacks(&callbacks);
        if (!reporter->enableCrashReporter())
            ::_exit(2);
        try {
            reporter->setCrashCallbacks(&callbacks);
        } catch (const foundation::Exception& e) {
            ::_exit(e.name() == MVCrashReporterException && e.reason() == "The crash reporter has alread been enabled" ? 0 : 3);
        }
        ::_exit(4);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
