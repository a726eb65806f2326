#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <filesystem>
#include <functional>

TEST_F(TelemetryTest, CrashFoldersAreMadeOnTheirFirstRequestAndAgainOnlyAfterAReset)
{
    struct Case {
        std::function<std::string()> request;
        std::string name;
    };
    const Case cases[] = {
        { BCNCrashesUtil::crashesDir, "crashes" },
        { BCNCrashesUtil::logBufferDir, "crasheslogbuffer" },
        { BCNCrashesUtil::wrapperExceptionsDir, "crasheswrapperexceptions" },
    };
    for (const auto& c : cases) {
        const auto folder = BCNUtility::fullURLForPathComponent(c.name);
        std::filesystem::remove_all(folder);
        EXPECT_EQ(c.request(), c.name);
        EXPECT_TRUE(std::filesystem::is_directory(folder)) << c.name << " is made on the first request";

        std::filesystem::remove_all(folder);
        EXPECT_EQ(c.request(), c.name);
        EXPECT_FALSE(std::filesystem::exists(folder)) << c.name << " is made once, not on every request";
    }

    BCNCrashesUtil::resetDirectory();
    for (const auto& c : cases) {
        EXPECT_EQ(c.request(), c.name);
        EXPECT_TRUE(std::filesystem::is_directory(BCNUtility::fullURLForPathComponent(c.name))) << c.name << " is made again after a reset";
    }
}

TEST_F(TelemetryTest, TheCrashServiceFindsItsFoldersWhereTheCrashFoldersAre)
{
    EXPECT_EQ(std::filesystem::path(BCNCrashes::crashesDirectory()), BCNUtility::beaconDirectoryURL() / "crashes");
    EXPECT_EQ(std::filesystem::path(BCNCrashes::logBufferDirectory()), BCNUtility::beaconDirectoryURL() / "crasheslogbuffer");
    EXPECT_TRUE(std::filesystem::is_directory(BCNCrashes::crashesDirectory()));
    EXPECT_TRUE(std::filesystem::is_directory(BCNCrashes::logBufferDirectory()));
}
