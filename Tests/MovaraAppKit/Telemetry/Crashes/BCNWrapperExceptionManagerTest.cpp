#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperExceptionManager.h"
#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNErrorLogFormatter.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorRecords.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"
#include "Tests/Support/BoundedChild.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

// Every launch starts with no wrapper exception tied to a report in memory.
class WrapperExceptionTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions();
    }
    void TearDown() override
    {
        BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions();
        TelemetryTest::TearDown();
    }

    static std::shared_ptr<BCNWrapperException> wrapperException(std::optional<std::int64_t> processId, const std::string& type = "System.Exception")
    {
        auto exception = std::make_shared<BCNWrapperException>();
        exception->modelException = std::make_shared<BCNException>();
        exception->modelException->type = type;
        exception->processId = processId;
        exception->exceptionData = foundation::Data { 1, 2, 3 };
        return exception;
    }

    static std::shared_ptr<BCNErrorReport> report(const std::string& incident, std::uint64_t processId)
    {
        return std::make_shared<BCNErrorReport>(incident, std::nullopt, "SIGSEGV", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                                nullptr, processId);
    }

    static std::filesystem::path fileNamed(const std::string& name)
    {
        return BCNUtility::fullURLForPathComponent(BCNCrashesUtil::wrapperExceptionsDir()) / name;
    }

    static std::optional<std::string> typeOf(const std::shared_ptr<BCNWrapperException>& exception)
    {
        if (!exception || !exception->modelException)
            return std::nullopt;
        return exception->modelException->type;
    }
};

} // namespace

TEST_F(WrapperExceptionTest, SavedExceptionsLoadBackByNameAndAreDeletedByName)
{
    BCNWrapperExceptionManager::saveWrapperException(wrapperException(41, "first"));
    BCNWrapperExceptionManager::saveWrapperException(wrapperException(42, "second"));
    EXPECT_TRUE(std::filesystem::is_regular_file(fileNamed("last_saved_wrapper_exception")));

    auto back = BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("last_saved_wrapper_exception");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(typeOf(back), "second") << "a later save replaces the earlier one";
    EXPECT_EQ(back->processId, 42);
    EXPECT_EQ(back->exceptionData, (foundation::Data { 1, 2, 3 }));

    BCNWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename("last_saved_wrapper_exception");
    EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("last_saved_wrapper_exception"), nullptr);
    EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("never-saved"), nullptr);
    EXPECT_TRUE(linesAt(BCNLogLevelError).empty()) << "a missing file is no error";
}

TEST_F(WrapperExceptionTest, AFileThatDoesNotReadBackIsReportedAndDeleted)
{
    const std::string contents[] = { "not an archive", "" };
    for (const auto& bytes : contents) {
        std::ofstream(fileNamed("garbled"), std::ios::binary) << bytes;
        EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("garbled"), nullptr);
        EXPECT_TRUE(logged(BCNLogLevelError, "Could not read exception data stored on disk with file name garbled"));
        EXPECT_FALSE(std::filesystem::exists(fileNamed("garbled"))) << "deleted on the first failed load: '" << bytes << "'";
    }
}

TEST_F(WrapperExceptionTest, NamesThatWouldLeaveTheFolderAreRefused)
{
    const auto outside = BCNUtility::beaconDirectoryURL() / "outside";
    BCNCrashesUtil::wrapperExceptionsDir();
    for (const std::string name : { "../outside", "", ".", "..", "a/b" }) {
        BCNWrapperExceptionManager::saveWrapperException(wrapperException(1), name);
        EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(name), nullptr) << name;
        BCNWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(name);
    }
    EXPECT_FALSE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::is_directory(BCNUtility::fullURLForPathComponent("crasheswrapperexceptions")))
        << "deleting \".\" must not take the folder with it";
}

TEST_F(WrapperExceptionTest, TheLastSavedExceptionGoesToTheReportOfItsProcess)
{
    BCNWrapperExceptionManager::saveWrapperException(wrapperException(200, "managed"));
    BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        { report("incident-100", 100), report("incident-200", 200), report("incident-200-bis", 200) });

    EXPECT_FALSE(std::filesystem::exists(fileNamed("last_saved_wrapper_exception")));
    EXPECT_TRUE(std::filesystem::is_regular_file(fileNamed("incident-200")));
    EXPECT_FALSE(std::filesystem::exists(fileNamed("incident-100")));
    EXPECT_FALSE(std::filesystem::exists(fileNamed("incident-200-bis"))) << "only the first report of the process gets it";
    EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-100"), nullptr);

    // Deleting by identifier removes the file; this launch still answers from memory.
    BCNWrapperExceptionManager::deleteWrapperExceptionWithUUIDString("incident-200");
    EXPECT_FALSE(std::filesystem::exists(fileNamed("incident-200")));
    EXPECT_EQ(typeOf(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-200")), "managed");
    BCNWrapperExceptionManager::deleteAllWrapperExceptions();
    EXPECT_EQ(typeOf(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-200")), "managed");

    // A fresh launch reads the file named by the identifier.
    BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions();
    EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-200"), nullptr);
    BCNWrapperExceptionManager::saveWrapperException(wrapperException(200, "from disk"), "incident-200");
    EXPECT_EQ(typeOf(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-200")), "from disk");
}

TEST_F(WrapperExceptionTest, WithoutAMatchingReportTheSavedExceptionIsDropped)
{
    const std::optional<std::int64_t> processIds[] = { 300, std::nullopt };
    for (const auto& processId : processIds) {
        BCNWrapperExceptionManager::saveWrapperException(wrapperException(processId));
        BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({ report("incident-a", 100), report("incident-b", 0) });
        EXPECT_FALSE(std::filesystem::exists(fileNamed("last_saved_wrapper_exception")));
        EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-a"), nullptr);
        EXPECT_EQ(BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString("incident-b"), nullptr)
            << "an exception without a process id matches no report";
    }
    // Nothing saved: nothing to tie, and no error.
    BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({ report("incident-a", 100) });
    EXPECT_TRUE(linesAt(BCNLogLevelError).empty());
}

TEST_F(WrapperExceptionTest, TheExceptionAWrapperSavedWhileCrashingBecomesTheCrashLogsException)
{
    BCNBeacon::start("secret", bothServices());
    auto reporter = MVCrashReporter::sharedReporter();
    reporter->purgePendingCrashReport();
    // The wrapper's save just before the crash. The child crashes as this process (the reporter
    // recorded this process's facts at start) and allocates nothing: a child forked from a
    // many-threaded process may find the allocator's locks held.
    const pid_t self = ::getpid();
    BCNWrapperExceptionManager::saveWrapperException(wrapperException(self, "System.NullReferenceException"));
    const int status = testsupport::runChildBounded([] {
        ::raise(SIGABRT);
        return 0;
    });
    ASSERT_TRUE(status != testsupport::kChildHung && WIFSIGNALED(status));

    foundation::ErrorPtr error;
    auto crash = reporter->loadPendingCrashReport(&error);
    ASSERT_NE(crash, nullptr) << (error ? error->localizedDescription() : "");
    auto errorReport = BCNErrorLogFormatter::errorReportFromCrashReport(crash.get());
    ASSERT_NE(errorReport, nullptr);
    ASSERT_EQ(errorReport->appProcessIdentifier(), static_cast<std::uint64_t>(self));
    BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({ report("another-process", self + 1), errorReport });

    auto log = BCNErrorLogFormatter::errorLogFromCrashReport(*crash);
    ASSERT_NE(log->exception, nullptr);
    EXPECT_EQ(log->exception->type, "System.NullReferenceException");
    EXPECT_TRUE(log->isValid());
    reporter->purgePendingCrashReport();

    // Once the wrapper's exception is gone, the report has only its native exception.
    BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions();
    BCNWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*errorReport->incidentIdentifier());
    EXPECT_EQ(BCNErrorLogFormatter::errorLogFromCrashReport(*crash)->exception, nullptr);
}
