#include "Platform/Foundation/DateFormatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

using foundation::Date;
using foundation::DateFormatter;
using foundation::TimeZone;

namespace {

// 2019-03-05T14:07:09Z, a Tuesday.
constexpr double March5 = 1551794829.0;

Date at(double seconds)
{
    return Date::dateWithTimeIntervalSince1970(seconds);
}

double daysFrom1970(int y, int m, int d)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    return double(timegm(&tm));
}

// Sets the process's time zone for one test and puts the old one back.
class ScopedTZ {
public:
    explicit ScopedTZ(const char* tz)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

} // namespace

TEST(DateFormatter, FixedFormatsWriteAndReadTheSameInstant)
{
    struct Case {
        DateFormatter formatter;
        double seconds;
        const char* text;
    };
    const Case cases[] = {
        {DateFormatter::ISO8601Milliseconds(), 1709647629.123, "2024-03-05T14:07:09.123Z"},
        {DateFormatter::ISO8601Milliseconds(), 0, "1970-01-01T00:00:00.000Z"},
        {DateFormatter::ISO8601Milliseconds(), -0.5, "1969-12-31T23:59:59.500Z"},
        {DateFormatter::ISO8601Milliseconds(), daysFrom1970(2020, 2, 29), "2020-02-29T00:00:00.000Z"},
        {DateFormatter::RFC822(), March5, "Tue, 05 Mar 2019 14:07:09 +0000"},
        {DateFormatter::RFC3339(), March5, "2019-03-05T14:07:09Z"},
        {DateFormatter("EEE, dd MMM yyyy HH:mm:ss z", TimeZone::utc()), March5, "Tue, 05 Mar 2019 14:07:09 GMT"},
        {DateFormatter("yyyy-MM-dd HH:mm:ss ZZZZZ", TimeZone::timeZoneForSecondsFromGMT(-8 * 3600)), March5,
         "2019-03-05 06:07:09 -08:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.formatter.stringFromDate(at(c.seconds)), c.text);
        auto parsed = c.formatter.dateFromString(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_NEAR(parsed->timeIntervalSince1970(), c.seconds, 1e-6) << c.text;
    }
}

TEST(DateFormatter, EveryPatternLetterWritesWhatThePlatformWrites)
{
    // 2019-03-05T19:37:09.123 at +05:30, a Tuesday in week 10.
    const TimeZone india = TimeZone::timeZoneForSecondsFromGMT(5 * 3600 + 1800);
    const std::pair<const char*, const char*> cases[] = {
        {"G GGGG", "AD Anno Domini"},
        {"y yy yyyy yyyyy", "2019 19 2019 02019"},
        {"Y YYYY", "2019 2019"},
        {"M MM MMM MMMM MMMMM", "3 03 Mar March M"},
        {"L LL", "3 03"},
        {"d dd D DDD", "5 05 64 064"},
        {"E EEE EEEE EEEEE EEEEEE", "Tue Tue Tuesday T Tu"},
        {"e ee eee c", "3 03 Tue 3"},
        {"a h hh H HH k K", "PM 7 07 19 19 19 7"},
        {"m mm s ss", "37 37 9 09"},
        {"S SS SSS SSSS", "1 12 123 1230"},
        {"w ww", "10 10"},
        {"Z ZZZZ ZZZZZ", "+0530 GMT+05:30 +05:30"},
        {"z zzzz", "GMT+5:30 GMT+05:30"},
        {"X XX XXX x xxx", "+0530 +0530 +05:30 +0530 +05:30"},
        {"'o''clock' h", "o'clock 7"},
        {"''", "'"},
        {"yyyy-MM-dd'T'HH:mm", "2019-03-05T19:37"},
        {"'Week' w, EEEE!", "Week 10, Tuesday!"},
    };
    for (const auto& [format, expected] : cases) {
        DateFormatter f(format, india);
        EXPECT_EQ(f.stringFromDate(at(March5 + 0.123)), expected) << format;
    }
}

TEST(DateFormatter, HoursAroundMidnightAndNoon)
{
    const DateFormatter f("HH h a k K", TimeZone::utc());
    const std::pair<double, const char*> cases[] = {
        {daysFrom1970(2019, 3, 5) + 30 * 60, "00 12 AM 24 0"},
        {daysFrom1970(2019, 3, 5) + 12 * 3600 + 30 * 60, "12 12 PM 12 0"},
        {daysFrom1970(2019, 3, 5) + 23 * 3600, "23 11 PM 23 11"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(f.stringFromDate(at(seconds)), text);

    const DateFormatter twelveHour("yyyy-MM-dd hh:mm a", TimeZone::utc());
    EXPECT_EQ(twelveHour.dateFromString("2019-03-05 12:30 AM"), at(daysFrom1970(2019, 3, 5) + 30 * 60));
    EXPECT_EQ(twelveHour.dateFromString("2019-03-05 12:30 pm"), at(daysFrom1970(2019, 3, 5) + 12.5 * 3600));
    EXPECT_EQ(twelveHour.dateFromString("2019-03-05 07:00 PM"), at(daysFrom1970(2019, 3, 5) + 19 * 3600));
    EXPECT_FALSE(twelveHour.dateFromString("2019-03-05 13:00 PM").has_value());
    EXPECT_FALSE(twelveHour.dateFromString("2019-03-05 00:00 AM").has_value());
}

TEST(DateFormatter, CalendarYearAndWeekBasedYearDifferAroundNewYear)
{
    struct Case {
        int y, m, d;
        const char* calendar;  // yyyy-MM-dd
        const char* weekBased; // YYYY-MM-dd (week-ww)
    };
    const Case cases[] = {
        {2019, 12, 28, "2019-12-28", "2019-12-28 (52)"}, // Saturday
        {2019, 12, 29, "2019-12-29", "2020-12-29 (1)"},  // Sunday of the week that holds 1 January
        {2019, 12, 31, "2019-12-31", "2020-12-31 (1)"},
        {2020, 1, 1, "2020-01-01", "2020-01-01 (1)"},
        {2020, 12, 31, "2020-12-31", "2021-12-31 (1)"},
        {2022, 1, 1, "2022-01-01", "2022-01-01 (1)"}, // a Saturday: week 1 is one day long
        {2022, 12, 31, "2022-12-31", "2022-12-31 (53)"},
    };
    const DateFormatter calendar("yyyy-MM-dd", TimeZone::utc());
    const DateFormatter weekBased("YYYY-MM-dd (w)", TimeZone::utc());
    const DateFormatter weekBasedDate("YYYY-MM-dd", TimeZone::utc());
    for (const auto& c : cases) {
        Date date = at(daysFrom1970(c.y, c.m, c.d));
        EXPECT_EQ(calendar.stringFromDate(date), c.calendar);
        EXPECT_EQ(weekBased.stringFromDate(date), c.weekBased);
        EXPECT_EQ(calendar.dateFromString(c.calendar), date);
        // Read back with the week-based year, the text names the same day, not a year later.
        EXPECT_EQ(weekBasedDate.dateFromString(std::string(c.weekBased).substr(0, 10)), date) << c.weekBased;
    }
}

TEST(DateFormatter, WeekBasedPatternsRoundTripEveryDayNearNewYear)
{
    const DateFormatter byDate("YYYY-MM-dd", TimeZone::utc());
    const DateFormatter byWeek("YYYY-'W'ww-e", TimeZone::utc());
    for (int year = 2015; year <= 2028; ++year) {
        for (int offset = -10; offset <= 10; ++offset) {
            Date day = at(daysFrom1970(year, 1, 1) + offset * 86400.0);
            // Week-year, month and day can name two days (2021-12-29 and 2022-12-29 are both
            // in week-year 2022); what is read back must at least be written the same way.
            std::string text = byDate.stringFromDate(day);
            auto read = byDate.dateFromString(text);
            ASSERT_TRUE(read.has_value()) << text;
            EXPECT_EQ(byDate.stringFromDate(*read), text);
            EXPECT_EQ(byWeek.dateFromString(byWeek.stringFromDate(day)), day) << byWeek.stringFromDate(day);
        }
    }
    EXPECT_FALSE(byWeek.dateFromString("2019-W53-1").has_value()); // 2019 has 52 weeks
}

TEST(DateFormatter, ParsingRefusesTextThatDoesNotMatch)
{
    const DateFormatter iso = DateFormatter::ISO8601Milliseconds();
    const DateFormatter rfc3339 = DateFormatter::RFC3339();
    const DateFormatter rfc822 = DateFormatter::RFC822();
    const std::pair<const DateFormatter*, const char*> cases[] = {
        {&iso, ""},
        {&iso, "2019-03-05T14:07:09.12Z"},   // two fractional digits for three
        {&iso, "2019-03-05T14:07:09.1234Z"}, // four
        {&iso, "2019-3-05T14:07:09.123Z"},   // one month digit for two
        {&iso, "2019-02-30T00:00:00.000Z"},
        {&iso, "2019-02-29T00:00:00.000Z"}, // not a leap year
        {&iso, "2019-13-01T00:00:00.000Z"},
        {&iso, "2019-00-01T00:00:00.000Z"},
        {&iso, "2019-03-00T00:00:00.000Z"},
        {&iso, "2019-03-05T24:00:00.000Z"},
        {&iso, "2019-03-05T14:60:00.000Z"},
        {&iso, "2019-03-05T14:07:60.000Z"},
        {&iso, "2019-03-05T14:07:09.123Z "}, // trailing text
        {&iso, "2019-03-05 14:07:09.123Z"},  // space for the literal T
        {&iso, "2019-03-05T14:07:09.123"},
        {&iso, "0000-01-01T00:00:00.000Z"},  // no year 0
        {&rfc3339, "2019-03-05T14:07:09.5Z"},
        {&rfc3339, "2019-03-05T14:07:09+00:00"},
        {&rfc3339, "2019:03:05 14:07:09"},
        {&rfc822, "Tue, 05 Mar 2019 14:07:09"},
        {&rfc822, "Tue, 5 Mar 2019 14:07:09 +0000"},
        {&rfc822, "Tux, 05 Mar 2019 14:07:09 +0000"},
        {&rfc822, "Tue, 05 Mrz 2019 14:07:09 +0000"},
        {&rfc822, "Tue, 05 Mar 2019 14:07:09 +00:00"},
        {&rfc822, "Tue, 05 Mar 2019 14:07:09 +2400"},
        {&rfc822, "Tue, 05 Mar 2019 14:07:09 +0060"},
    };
    for (const auto& [formatter, text] : cases)
        EXPECT_FALSE(formatter->dateFromString(text).has_value()) << formatter->dateFormat() << " / " << text;
}

TEST(DateFormatter, ReadsZonesInTheirWrittenForms)
{
    const DateFormatter named("EEE, dd MMM yyyy HH:mm:ss z", TimeZone::utc());
    const DateFormatter numeric("yyyy-MM-dd HH:mm:ss Z", TimeZone::utc());
    const DateFormatter iso("yyyy-MM-dd'T'HH:mm:ssXXX", TimeZone::utc());
    const std::tuple<const DateFormatter*, const char*, double> cases[] = {
        {&named, "Tue, 05 Mar 2019 14:07:09 GMT", March5},
        {&named, "Tue, 05 Mar 2019 14:07:09 UTC", March5},
        {&named, "tue, 05 mar 2019 14:07:09 gmt", March5}, // names in any case
        {&named, "Tue, 05 Mar 2019 06:07:09 PST", March5},
        {&named, "Tue, 05 Mar 2019 15:07:09 GMT+1", March5},
        {&named, "Tue, 05 Mar 2019 19:37:09 GMT+05:30", March5},
        {&numeric, "2019-03-05 06:07:09 -0800", March5},
        {&numeric, "2019-03-05 14:07:09 GMT", March5},
        {&iso, "2019-03-05T14:07:09Z", March5},
        {&iso, "2019-03-05T16:07:09+02:00", March5},
    };
    for (const auto& [formatter, text, seconds] : cases) {
        auto parsed = formatter->dateFromString(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->timeIntervalSince1970(), seconds) << text;
    }
    // A weekday that does not match the date is the writer's slip; the date itself stands.
    EXPECT_EQ(named.dateFromString("Mon, 05 Mar 2019 14:07:09 GMT"), at(March5));
    EXPECT_FALSE(iso.dateFromString("2019-03-05T16:07:09+0200").has_value());
}

TEST(DateFormatter, TextWithoutAZoneIsReadInTheFormattersZone)
{
    DateFormatter f("yyyy-MM-dd HH:mm:ss", TimeZone::timeZoneForSecondsFromGMT(3600));
    EXPECT_EQ(f.dateFromString("2019-03-05 15:07:09"), at(March5));
    f.setTimeZone(TimeZone::utc());
    EXPECT_EQ(f.dateFromString("2019-03-05 15:07:09"), at(March5 + 3600));
}

TEST(DateFormatter, LocalZoneFollowsDaylightSavingTime)
{
    ScopedTZ tz("EST5EDT,M3.2.0,M11.1.0");
    const DateFormatter f("yyyy-MM-dd HH:mm Z", TimeZone::local());
    EXPECT_EQ(f.stringFromDate(at(daysFrom1970(2019, 7, 1) + 12 * 3600)), "2019-07-01 08:00 -0400");
    EXPECT_EQ(f.stringFromDate(at(daysFrom1970(2019, 1, 1) + 12 * 3600)), "2019-01-01 07:00 -0500");

    const DateFormatter wall("yyyy-MM-dd HH:mm", TimeZone::local());
    EXPECT_EQ(wall.dateFromString("2019-07-01 08:00"), at(daysFrom1970(2019, 7, 1) + 12 * 3600));
    EXPECT_EQ(wall.dateFromString("2019-01-01 07:00"), at(daysFrom1970(2019, 1, 1) + 12 * 3600));
    // 02:30 on the day clocks spring forward never happens; it is read with the offset before.
    EXPECT_EQ(wall.dateFromString("2019-03-10 02:30"), at(daysFrom1970(2019, 3, 10) + 7.5 * 3600));
    // 01:30 on the day they fall back happens twice; the first is taken.
    EXPECT_EQ(wall.dateFromString("2019-11-03 01:30"), at(daysFrom1970(2019, 11, 3) + 5.5 * 3600));
}

TEST(DateFormatter, FractionsAreTruncatedWithoutFloatingPointNoise)
{
    const DateFormatter f("HH:mm:ss.SSS", TimeZone::utc());
    const std::pair<double, const char*> cases[] = {
        {March5 + 0.123, "14:07:09.123"}, // 0.123 is not exact in binary; it must not print as .122
        {March5 + 0.9999, "14:07:09.999"},
        {March5 + 0.0005, "14:07:09.000"},
        {March5 + 0.9999999, "14:07:10.000"}, // within a microsecond of the next second
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(f.stringFromDate(at(seconds)), text);

    // Every millisecond read from text comes back as written.
    const DateFormatter iso = DateFormatter::ISO8601Milliseconds();
    for (int ms = 0; ms < 1000; ms += 7) {
        std::string text = "2024-03-05T14:07:09." + std::string(ms < 10 ? "00" : ms < 100 ? "0" : "") + std::to_string(ms) + "Z";
        auto date = iso.dateFromString(text);
        ASSERT_TRUE(date.has_value()) << text;
        EXPECT_EQ(iso.stringFromDate(*date), text);
    }
}

TEST(DateFormatter, TwoDigitYearsAreNearThePresent)
{
    const DateFormatter f("yy-MM-dd", TimeZone::utc());
    EXPECT_EQ(f.dateFromString("19-03-05"), at(daysFrom1970(2019, 3, 5)));
    EXPECT_EQ(f.dateFromString("99-03-05"), at(daysFrom1970(1999, 3, 5)));
    const DateFormatter single("y-M-d", TimeZone::utc());
    EXPECT_EQ(single.dateFromString("19-3-5"), at(daysFrom1970(2019, 3, 5)));
    EXPECT_EQ(single.dateFromString("2019-3-5"), at(daysFrom1970(2019, 3, 5)));
}

TEST(DateFormatter, DatesWithoutACalendarYearFormatAsEmptyText)
{
    const DateFormatter f = DateFormatter::ISO8601Milliseconds();
    EXPECT_EQ(f.stringFromDate(at(std::numeric_limits<double>::quiet_NaN())), "");
    EXPECT_EQ(f.stringFromDate(at(std::numeric_limits<double>::infinity())), "");
    EXPECT_EQ(f.stringFromDate(at(1e300)), "");
    EXPECT_EQ(f.stringFromDate(Date::distantFuture()), "4001-01-01T00:00:00.000Z");
    EXPECT_FALSE(f.dateFromString("999999999-01-01T00:00:00.000Z").has_value());
}
