#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <limits>
#include <string>

#include "Quintor/DurationFormatter.h"

namespace {

std::shared_ptr<DurationFormatter> formatter(const std::string& separator)
{
    auto f = DurationFormatter::init();
    f->setDecimalSeparator(separator);
    return f;
}

double read(const DurationFormatter& f, const std::string& text)
{
    std::any value;
    std::string error;
    EXPECT_TRUE(f.getObjectValue(&value, text, &error)) << text;
    EXPECT_TRUE(error.empty()) << text;
    const double* seconds = std::any_cast<double>(&value);
    EXPECT_NE(seconds, nullptr) << text;
    return seconds ? *seconds : std::nan("");
}

} // namespace

TEST(DurationFormatter, FormatsMinutesSecondsAndMilliseconds)
{
    struct Case { std::any value; const char* dot; const char* comma; };
    const Case cases[] = {
        { 75.5, "01:15.500", "01:15,500" },
        { 5, "00:05.000", "00:05,000" },
        { 3723.25, "62:03.250", "62:03,250" }, // minutes are not split into hours
        { 59.9, "00:59.900", "00:59,900" },
        { 60.0, "01:00.000", "01:00,000" },
        { 0.0, "00:00.000", "00:00,000" },
        { 6000.0f, "100:00.000", "100:00,000" },
        { 119.9996, "02:00.000", "02:00,000" }, // rounding carries into the minutes, never "01:60.000"
        { 0.0004, "00:00.000", "00:00,000" },
        { -75.5, "-01:15.500", "-01:15,500" },
        { 1234567, "20576:07.000", "20576:07,000" }, // no grouping
    };
    const auto dot = formatter(".");
    const auto comma = formatter(",");
    for (const auto& c : cases) {
        EXPECT_EQ(dot->stringForObjectValue(c.value), c.dot);
        EXPECT_EQ(comma->stringForObjectValue(c.value), c.comma);
    }
}

TEST(DurationFormatter, ShowsNothingForWhatIsNotAFiniteNumber)
{
    const auto f = formatter(".");
    for (const std::any& value : { std::any(), std::any(std::string("75.5")), std::any(std::nan("")),
                                   std::any(std::numeric_limits<double>::infinity()) })
        EXPECT_EQ(f->stringForObjectValue(value), std::nullopt);
    EXPECT_EQ(f->stringForObjectValue(std::any(1e300))->substr(0, 4), "1666"); // huge but finite: still a text
}

TEST(DurationFormatter, ReadsColonSeparatedPartsAsPowersOfSixty)
{
    struct Case { const char* text; double dot; double comma; };
    const Case cases[] = {
        { "1:30", 90, 90 },
        { "1:02:03.5", 3723.5, 3720 }, // with a comma separator "03.5" has junk after 03: the part is 0
        { "1:02:03,5", 3720, 3723.5 },
        { "01:15,500", 60, 75.5 },
        { "01:15.500", 75.5, 60 },
        { "45", 45, 45 },
        { "abc", 0, 0 },
        { "", 0, 0 },
        { "1:", 60, 60 },
        { ":30", 30, 30 },
        { "-1:30", 90, 90 }, // only magnitudes count
        { "1:-30", 90, 90 },
        { "+2", 2, 2 },
        { " 5", 0, 0 },
        { "5 ", 0, 0 },
        { "\n5", 0, 0 },
        { "1:5s", 60, 60 },
        { "1.5e1", 15, 0 }, // exponents are part of a decimal number
        { ".5", 0.5, 0 },
        { "5.", 5, 0 },
        { "1e", 0, 0 },
        { "inf", 0, 0 },
        { "nan", 0, 0 },
        { "0x10", 0, 0 },
        { "1e-400", 0, 0 },
    };
    const auto dot = formatter(".");
    const auto comma = formatter(",");
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(read(*dot, c.text), c.dot) << c.text;
        EXPECT_DOUBLE_EQ(read(*comma, c.text), c.comma) << c.text;
    }
}

TEST(DurationFormatter, RoundTripsWhatItShowsInEitherSeparator)
{
    for (const char* separator : { ".", ",", "\u066b" }) {
        const auto f = formatter(separator);
        for (double seconds : { 0.0, 0.001, 5.0, 59.9, 60.0, 75.5, 3723.25, 86399.999 }) {
            const auto text = f->stringForObjectValue(seconds);
            ASSERT_TRUE(text);
            EXPECT_NEAR(read(*f, *text), seconds, 1e-9) << *text;
        }
    }
}

TEST(DurationFormatter, RefusesOnlyAMissingPlaceOrAnEndlessSum)
{
    const auto f = formatter(".");
    std::string error;
    EXPECT_FALSE(f->getObjectValue(nullptr, "1:30", &error));

    // Far-left zero parts must not turn the sum into not-a-number.
    std::string zeros;
    for (int i = 0; i < 300; ++i)
        zeros += "0:";
    EXPECT_DOUBLE_EQ(read(*f, zeros + "7"), 7);

    std::any value = 42.0;
    EXPECT_FALSE(f->getObjectValue(&value, "1" + zeros + "7", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_DOUBLE_EQ(std::any_cast<double>(value), 42.0); // the caller's value is left alone
    EXPECT_FALSE(f->getObjectValue(&value, "1e999", nullptr));
}

TEST(DurationFormatter, FrameRateTextDropsTrailingZerosAndUsesTheSeparator)
{
    const struct {
        double fps;
        const char* separator;
        std::optional<std::string> text;
    } cases[] = {
        { 30.0, ".", "30" },
        { 29.97, ",", "29,97" },
        { 23.976023, ".", "23.976" },
        { -0.0001, ".", "0" },
        { 1e40, ".", "10000000000000000303786028427003666890752" },
        { std::numeric_limits<double>::quiet_NaN(), ".", std::nullopt },
        { std::numeric_limits<double>::infinity(), ".", std::nullopt },
    };
    for (const auto& c : cases)
        EXPECT_EQ(frameRateString(c.fps, c.separator), c.text) << c.fps;
}

namespace {

TEST(FrameRateFormatter, ReadsTheNumberTheTextBeginsWithAndShowsWhatFits)
{
    auto formatter = FrameRateFormatter::init();
    const struct {
        const char* typed;
        double rate;
    } cases[] = {
        { "12", 12.0 },
        { "  29.97 fps", 29.97 },
        { "54.857142857142854", 54.857142857142854 },
        { "fast", 0.0 },
        { "", 0.0 },
    };
    for (const auto& c : cases) {
        std::any value;
        ASSERT_TRUE(formatter->getObjectValue(&value, c.typed, nullptr)) << c.typed;
        EXPECT_DOUBLE_EQ(std::any_cast<double>(value), c.rate) << c.typed;
    }
    EXPECT_EQ(formatter->stringForObjectValue(54.857142857142854).value_or("").size(), 6u);
    EXPECT_FALSE(formatter->stringForObjectValue(std::string("30")));
}

} // namespace
