#include "Platform/Foundation/UUID.h"

#include <gtest/gtest.h>

#include <unordered_set>

using foundation::UUID;

TEST(UUID, RandomOnesAreVersion4InUpperCaseCanonicalText)
{
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 32; ++i) {
        UUID uuid = UUID::random();
        std::string text = uuid.UUIDString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << text;
        EXPECT_EQ(UUID::fromString(text), uuid);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 32u);
}

TEST(UUID, ParsesCanonicalTextOnly)
{
    auto lower = UUID::fromString("7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8b7");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(lower->UUIDString(), "7D2C9E41-3A8B-4F60-B1E5-92C0A6D3F8B7");
    EXPECT_EQ(lower->bytes()[0], 0x7D);
    EXPECT_EQ(lower->bytes()[15], 0xB7);

    const char* bad[] = {
        "",
        "7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8b",     // short
        "7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8b70",   // long
        "7d2c9e413a8b4f60b1e592c0a6d3f8b7",        // no hyphens
        "7d2c9e4-13a8b-4f60-b1e5-92c0a6d3f8b7",    // misplaced hyphen
        "7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8bg",    // not hexadecimal
        "{7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8b}",
        "7d2c9e41-3a8b-4f60-b1e5+92c0a6d3f8b7",
    };
    for (const char* text : bad)
        EXPECT_FALSE(UUID::fromString(text).has_value()) << text;
}
