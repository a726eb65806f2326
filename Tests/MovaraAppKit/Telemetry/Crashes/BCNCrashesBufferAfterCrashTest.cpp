// What the next start does with the logs the crash handler saved from the crash-time buffer.

#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

void drainChannelQueue()
{
    if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup()))
        group->logsDispatchQueue()->sync([] { });
}

std::vector<double> timestamps(const std::vector<std::shared_ptr<BCNAbstractLog>>& logs)
{
    std::vector<double> times;
    for (const auto& log : logs)
        times.push_back(log->timestamp() ? log->timestamp()->timeIntervalSince1970() : 0);
    return times;
}

} // namespace

TEST_F(TelemetryTest, ALogAlreadyStoredWhenTheCrashSavedItsSlotComesBackOnlyFromTheStore)
{
    BCNBeacon::start("secret", bothServices());
    auto crashes = BCNCrashes::sharedInstance();
    drainChannelQueue();

    // The crash came after the store took this log and before its slot was freed: it is both
    // stored and saved. The other one was still on its way to the store.
    auto stored = validLog(1700000001);
    crashes->channelUnit()->enqueueItem(stored, BCNLogFlagsNormal);
    ASSERT_TRUE(waitFor([] { return pending("Crashes").size() == 1; }));
    drainChannelQueue();
    crashes->bufferPreparedLog(stored, "stored-but-not-released");
    crashes->bufferPreparedLog(validLog(1700000002), "in-flight");
    bcn_save_log_buffer();

    resetClient();
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(waitFor([] { return pending("CrashesBuffer").size() == 1; }));
    ASSERT_TRUE(waitFor([this] { return countStartingWith(BCNLogLevelDebug, "Buffered log is stored already") == 1; }));
    drainChannelQueue();
    EXPECT_EQ(timestamps(pending("CrashesBuffer")), std::vector<double> { 1700000002 });
    EXPECT_EQ(timestamps(pending("Crashes")), std::vector<double> { 1700000001 });
    for (const auto& entry : std::filesystem::directory_iterator(BCNCrashes::logBufferDirectory()))
        if (entry.path().extension() == ".bcncrasheslogbuffer") {
            EXPECT_EQ(entry.file_size(), 0u) << entry.path() << ": each saved file is read once";
        }
}

TEST(BCNLogDBStorageArchive, FindsAStoredLogByItsArchiveInAnyGroup)
{
    testsupport::TempDir home;
    ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    BCNUtility::resetBeaconDirectory();
    auto storage = BCNLogDBStorage::init();
    auto log = std::make_shared<BCNStartServiceLog>();
    log->setType("test");
    log->setTimestamp(foundation::Date::dateWithTimeIntervalSince1970(1700000000.25));
    const auto archive = BCNUtility::archiveKeyedData(log);
    ASSERT_TRUE(archive);
    EXPECT_FALSE(storage->hasLogWithArchive(*archive));
    ASSERT_TRUE(storage->saveLog(log, "AnyGroup", BCNLogFlagsNormal));
    EXPECT_TRUE(storage->hasLogWithArchive(*archive));
    log->setTimestamp(foundation::Date::dateWithTimeIntervalSince1970(1700000000.5));
    EXPECT_FALSE(storage->hasLogWithArchive(*BCNUtility::archiveKeyedData(log))) << "another log";
    BCNUtility::resetBeaconDirectory();
}
