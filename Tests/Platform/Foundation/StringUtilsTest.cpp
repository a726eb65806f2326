#include "Platform/Foundation/StringUtils.h"

#include <gtest/gtest.h>

using foundation::ComparisonResult;

namespace {

const char* name(ComparisonResult r)
{
    switch (r) {
    case ComparisonResult::OrderedAscending:
        return "ascending";
    case ComparisonResult::OrderedSame:
        return "same";
    case ComparisonResult::OrderedDescending:
        return "descending";
    }
    return "?";
}

ComparisonResult reversed(ComparisonResult r)
{
    return ComparisonResult(-int(r));
}

} // namespace

TEST(StringUtils, CountsUserPerceivedCharactersAndUTF16Units)
{
    struct Case {
        const char* label;
        const char* text;
        size_t graphemes;
        size_t utf16;
    };
    const Case cases[] = {
        {"empty", "", 0, 0},
        {"ASCII", "abc", 3, 3},
        {"e + combining acute", "e\xCC\x81", 1, 2},
        {"two combining marks", "a\xCC\x88\xCC\x81", 1, 3},
        {"CR LF", "\r\n", 1, 2},
        {"LF LF", "\n\n", 2, 2},
        {"LF CR", "\n\r", 2, 2},
        {"two flags", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 2, 8},
        {"flag and a lone indicator", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9", 2, 6},
        {"family ZWJ sequence",
         "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6", 1, 11},
        {"heart with variation selector", "\xE2\x9D\xA4\xEF\xB8\x8F", 1, 2},
        {"thumbs up with skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1, 4},
        {"emoji, skin tone, ZWJ, emoji", "\xF0\x9F\x91\xA9\xF0\x9F\x8F\xBD\xE2\x80\x8D\xF0\x9F\x92\xBB", 1, 7},
        {"ZWJ between letters does not join them", "a\xE2\x80\x8D" "b", 2, 3},
        {"Hangul syllable", "\xED\x95\x9C", 1, 1},
        {"Hangul jamo L V T", "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", 1, 3},
        {"Tamil spacing mark", "\xE0\xAE\xA8\xE0\xAE\xBF", 1, 2},
        {"Arabic prepended number sign", "\xD8\x80" "1", 1, 2},
        {"Devanagari conjunct KSSA", "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7", 1, 3},
        {"Tamil virama does not join consonants", "\xE0\xAE\x95\xE0\xAF\x8D\xE0\xAE\xB7", 2, 3},
        {"control between letters", "a\tb", 3, 3},
        {"invalid bytes count one each", "a\xFF\xFE" "b", 4, 4},
        {"truncated sequence", "a\xE2\x82", 3, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(foundation::graphemeCount(c.text), c.graphemes) << c.label;
        EXPECT_EQ(foundation::utf16Length(c.text), c.utf16) << c.label;
    }
}

TEST(StringUtils, ValidatesUTF8)
{
    const std::pair<const char*, bool> cases[] = {
        {"", true},
        {"a\xE2\x82\xAC\xF0\x9F\x98\x80", true},
        {"\xEF\xBF\xBD", true},       // a real replacement character
        {"\xC0\xAF", false},          // overlong
        {"\xED\xA0\x80", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xE2\x82", false},          // truncated
        {"\x80", false},              // stray continuation byte
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(foundation::isValidUTF8(text), valid) << text;
}

TEST(StringUtils, EncodesAndDecodesCodePointsAtEveryLengthBoundary)
{
    for (char32_t cp : {0x0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF}) {
        std::string text = "a";
        foundation::appendUTF8(text, cp);
        std::size_t pos = 1;
        const auto decoded = foundation::decodeUTF8(text, pos);
        ASSERT_TRUE(decoded) << std::hex << std::uint32_t(cp);
        EXPECT_EQ(std::uint32_t(*decoded), std::uint32_t(cp));
        EXPECT_EQ(pos, text.size()) << std::hex << std::uint32_t(cp);
        EXPECT_TRUE(foundation::isValidUTF8(text)) << std::hex << std::uint32_t(cp);
    }
    // A failed decode leaves the position where it was, so the caller can report or skip it.
    for (std::string_view bad : {"\xC0\xAF", "\xE2\x82", "\xED\xA0\x80", ""}) {
        std::size_t pos = 0;
        EXPECT_FALSE(foundation::decodeUTF8(bad, pos));
        EXPECT_EQ(pos, 0u);
    }
}

TEST(StringUtils, TrimsWhitespaceAndOptionallyNewlines)
{
    EXPECT_EQ(foundation::trimmingWhitespace(" \t hello world \n"), "hello world \n");
    EXPECT_EQ(foundation::trimmingWhitespaceAndNewlines(" \t hello world \r\n"), "hello world");
    EXPECT_EQ(foundation::trimmingWhitespaceAndNewlines("\xC2\xA0x y\xE3\x80\x80"), "x y"); // no-break and ideographic spaces
    EXPECT_EQ(foundation::trimmingWhitespaceAndNewlines(" \n\t "), "");
    EXPECT_EQ(foundation::trimmingWhitespace("caf\xC3\xA9"), "caf\xC3\xA9");
}

TEST(StringUtils, NaturalOrderOfFileNames)
{
    struct Case {
        const char* a;
        const char* b;
        ComparisonResult expected;
    };
    const auto Asc = ComparisonResult::OrderedAscending;
    const auto Same = ComparisonResult::OrderedSame;
    const Case cases[] = {
        {"img2.jpg", "img10.jpg", Asc},
        {"IMG_0009.JPG", "img_0010.jpg", Asc},
        {"img2", "IMG2", Same},
        {"img02", "img2", Same},
        {"x1.2", "x1.10", Asc},
        {"a99999999999999999999999", "a100000000000000000000000", Asc}, // beyond 64-bit integers
        {"apple", "Banana", Asc},
        {"file", "file1", Asc},
        {"", "a", Asc},
        {"", "", Same},
        {"resume", "r\xC3\xA9sum\xC3\xA9", Asc},       // the accent decides only at the end
        {"r\xC3\xA9sum\xC3\xA9", "resumf", Asc},       // a letter difference outranks it
        {"\xC3\x89" "cole", "ecole", ComparisonResult::OrderedDescending},
        {"_draft", "1draft", Asc},                      // punctuation, then digits, then letters
        {"9lives", "alpha", Asc},
        {"Frame 9", "Frame 10", Asc},
    };
    for (const auto& c : cases) {
        auto forward = foundation::localizedStandardCompare(c.a, c.b);
        EXPECT_EQ(forward, c.expected) << c.a << " vs " << c.b << ": " << name(forward);
        EXPECT_EQ(foundation::localizedStandardCompare(c.b, c.a), reversed(c.expected)) << c.b << " vs " << c.a;
    }
}

TEST(StringUtils, CaseInsensitiveCompareFoldsBeyondASCII)
{
    const std::tuple<const char*, const char*, ComparisonResult> cases[] = {
        {"JPEG", "jpeg", ComparisonResult::OrderedSame},
        {"\xC3\x89" "COLE", "\xC3\xA9" "cole", ComparisonResult::OrderedSame},        // É / é
        {"\xCE\xA3", "\xCF\x82", ComparisonResult::OrderedSame},                      // Σ / final ς
        {"\xD0\x96", "\xD0\xB6", ComparisonResult::OrderedSame},                      // Cyrillic Ж / ж
        {"a", "B", ComparisonResult::OrderedAscending},
        {"abc", "ab", ComparisonResult::OrderedDescending},
    };
    for (const auto& [a, b, expected] : cases) {
        EXPECT_EQ(foundation::caseInsensitiveCompare(a, b), expected) << a << " vs " << b;
        EXPECT_EQ(foundation::caseInsensitiveCompare(b, a), reversed(expected)) << b << " vs " << a;
    }
}
