#include <gtest/gtest.h>

#include <unistd.h>

#include "MovaraAppKit/CrashReporter/MVCrashHostInfo.h"

TEST(MVCrashHostInfo, ReleaseTextsGiveVersionTriples)
{
    struct Case {
        const char* release;
        std::uint64_t major, minor, revision;
    };
    const Case cases[] = {
        { "19.6.0", 19, 6, 0 }, { "20.1", 20, 1, 0 }, { "6.1.0-13-amd64", 6, 1, 0 }, { "abc", 0, 0, 0 }, { "", 0, 0, 0 },
    };
    for (const auto& c : cases) {
        auto info = MVCrashHostInfo::initWithRelease(c.release);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->darwinVersion().major, c.major) << c.release;
        EXPECT_EQ(info->darwinVersion().minor, c.minor) << c.release;
        EXPECT_EQ(info->darwinVersion().revision, c.revision) << c.release;
    }
    ASSERT_TRUE(MVCrashHostInfo::currentHostInfo());
    EXPECT_GT(MVCrashHostInfo::currentHostInfo()->darwinVersion().major, 0u);
}

TEST(MVCrashHostInfo, ValidUtf8Prefixes)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::size_t max, expected;
    };
    const Case cases[] = {
        { { 0x61, 0x62, 0x63 }, 2, 2 },
        { { 0x61, 0xC3, 0xA9, 0x62 }, 4, 4 },
        { { 0x61, 0xC3, 0x28 }, 3, 1 },
        { { 0x61, 0xE2, 0x82 }, 3, 1 },
        { { 0xEF, 0xBB, 0xBF, 0x61 }, 4, 4 },
        { { 0x61, 0x00, 0x62 }, 3, 1 },
        { { 0x80, 0x61 }, 2, 0 },
        { { 0x61, 0xF8 }, 2, 1 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(mvcrash_sysctl_valid_utf8_bytes_max(c.bytes.data(), c.max), c.expected);
    EXPECT_EQ(mvcrash_sysctl_valid_utf8_bytes("h\xC3\xA9llo"), 6u);
}

TEST(MVCrashProcessInfo, FactsOfThisProcessAndItsParent)
{
    auto self = MVCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->processID(), ::getpid());
    EXPECT_EQ(self->parentProcessID(), ::getppid());
    ASSERT_TRUE(self->processName());
    EXPECT_LE(self->processName()->size(), 16u);
    EXPECT_GT(self->startSeconds(), 1600000000);
    EXPECT_TRUE(MVCrashProcessInfo::initWithProcessID(::getppid()));
    EXPECT_FALSE(MVCrashProcessInfo::initWithProcessID(0x3FFFFFFF));
}
