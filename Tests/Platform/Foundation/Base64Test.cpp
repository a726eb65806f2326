#include "Platform/Foundation/Base64.h"

#include <gtest/gtest.h>

using namespace foundation;

namespace {

std::optional<std::string> decodeText(std::string_view text, unsigned options = Base64DecodingNoOptions)
{
    auto bytes = base64Decode(text, options);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

} // namespace

TEST(Base64, EncodesAndDecodesTheStandardVectors)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"user:p\xC3\xA4ss", "dXNlcjpww6Rzcw=="},
        {"\xFB\xFF", "+/8="},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(base64Encode(std::string_view(plain)), encoded);
        EXPECT_EQ(decodeText(encoded), plain) << encoded;
    }
}

TEST(Base64, BreaksLinesAsAskedAndReadsThemBackWhenToldToIgnoreThem)
{
    std::vector<std::uint8_t> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(i);
    const std::string whole = base64Encode(bytes);
    ASSERT_EQ(whole.size(), 344u);
    EXPECT_EQ(whole.find_first_of("\r\n"), std::string::npos);

    struct Case {
        unsigned options;
        size_t lineLength;
        std::string ending;
    };
    const Case cases[] = {
        {Base64Encoding64CharacterLineLength, 64, "\r\n"},
        {Base64Encoding76CharacterLineLength, 76, "\r\n"},
        {Base64Encoding64CharacterLineLength | Base64EncodingEndLineWithLineFeed, 64, "\n"},
        {Base64Encoding76CharacterLineLength | Base64EncodingEndLineWithCarriageReturn, 76, "\r"},
    };
    for (const auto& c : cases) {
        std::string text = base64Encode(bytes, c.options);
        std::string rejoined;
        size_t start = 0;
        while (true) {
            size_t end = text.find(c.ending, start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (end != std::string::npos) {
                EXPECT_EQ(line.size(), c.lineLength) << c.options;
            }
            EXPECT_LE(line.size(), c.lineLength);
            rejoined += line;
            if (end == std::string::npos)
                break;
            start = end + c.ending.size();
        }
        EXPECT_EQ(rejoined, whole) << c.options;
        EXPECT_FALSE(base64Decode(text).has_value()) << "line breaks are not Base64";
        EXPECT_EQ(base64Decode(text, Base64DecodingIgnoreUnknownCharacters), bytes) << c.options;
    }
}

TEST(Base64, RefusesMalformedText)
{
    const char* cases[] = {
        "Z",         // not a whole group
        "Zg=",       // missing padding
        "Zg",        // no padding at all
        "Zg=a",      // data after padding
        "=Zg=",      // padding first
        "Z===",      // too much padding
        "Zg==Zm8=",  // a second group after the padded one
        "Zm9v!",     // outside the alphabet
        "Zm9v YmFy", // a space
        "Zm9v-_==",  // the URL-safe alphabet is another encoding
    };
    for (const char* text : cases)
        EXPECT_FALSE(base64Decode(text).has_value()) << text;

    // Ignoring unknown characters skips them but does not excuse bad structure.
    EXPECT_EQ(decodeText("Zm 9v\r\nYmFy", Base64DecodingIgnoreUnknownCharacters), "foobar");
    EXPECT_EQ(decodeText("Zg==\n", Base64DecodingIgnoreUnknownCharacters), "f");
    EXPECT_FALSE(base64Decode("Zg==Zg==", Base64DecodingIgnoreUnknownCharacters).has_value());
    EXPECT_FALSE(base64Decode("Zg=", Base64DecodingIgnoreUnknownCharacters).has_value());
}
