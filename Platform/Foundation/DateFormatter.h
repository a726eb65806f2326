#pragma once
// Fixed-pattern date formatting and parsing with the platform's pattern letters and the
// en_US_POSIX locale's English names and week rules (weeks start on Sunday; week 1 holds
// January 1). Configure a formatter, then share it: its const members are safe from any thread.
//
// Supported letters: G y Y M L d D E e c a h H k K m s S w Z z X x, quoted literals ('T', ''
// for a quote). Other letters are taken as literal text. Note "yyyy" is the calendar year and
// "YYYY" the week-based year, which differs around New Year (2019-12-30 is in week-year 2020).
// Parsing is strict: the whole text must match, a field written with two or more letters
// needs that many digits, and out-of-range values (February 30, hour 24) are refused.

#include "Platform/Foundation/Date.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

// A time zone: UTC, a fixed offset from GMT, or the system's zone (TZ, /etc/localtime), whose
// offsets come from the C library and so follow its daylight-saving rules.
class TimeZone {
public:
    static TimeZone utc() { return TimeZone(false, 0); }
    static TimeZone local() { return TimeZone(true, 0); }
    // Offsets beyond a day either way are clamped to a day.
    static TimeZone timeZoneForSecondsFromGMT(int seconds);

    bool isLocal() const { return m_local; }
    int secondsFromGMTForDate(const Date& date) const;
    // The offset in effect at a wall-clock time (seconds since 1970 read as if in UTC).
    int secondsFromGMTForLocalTime(long long wallSeconds) const;

    bool operator==(const TimeZone&) const = default;

private:
    TimeZone(bool local, int offset) : m_local(local), m_offset(offset) { }
    bool m_local = false;
    int m_offset = 0;
};

class DateFormatter {
public:
    // Milliseconds in UTC with a literal Z, as in 2024-03-05T14:07:09.123Z.
    static constexpr const char* ISO8601MillisecondsFormat = "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'";
    static constexpr const char* RFC822Format = "EEE, dd MMM yyyy HH:mm:ss Z";
    static constexpr const char* RFC3339Format = "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'";

    // The local time zone and an empty format.
    DateFormatter() = default;
    explicit DateFormatter(std::string_view format, TimeZone timeZone = TimeZone::local());

    // Formatters for the fixed formats above, all in UTC.
    static DateFormatter ISO8601Milliseconds() { return DateFormatter(ISO8601MillisecondsFormat, TimeZone::utc()); }
    static DateFormatter RFC822() { return DateFormatter(RFC822Format, TimeZone::utc()); }
    static DateFormatter RFC3339() { return DateFormatter(RFC3339Format, TimeZone::utc()); }

    const std::string& dateFormat() const { return m_format; }
    void setDateFormat(std::string_view format);
    const TimeZone& timeZone() const { return m_timeZone; }
    void setTimeZone(const TimeZone& timeZone) { m_timeZone = timeZone; }
    // Kept for callers that set it; names and week rules are always en_US_POSIX's.
    const std::string& localeIdentifier() const { return m_locale; }
    void setLocaleIdentifier(std::string identifier) { m_locale = std::move(identifier); }

    // Empty for a date too far from the present to have a calendar year (beyond a million
    // years) or not a number.
    std::string stringFromDate(const Date& date) const;
    // None unless the whole text matches the format with valid values.
    std::optional<Date> dateFromString(std::string_view text) const;

    struct Token {
        char letter = 0; // 0 for literal text
        int count = 0;
        std::string literal;
    };

private:
    std::string m_format;
    std::vector<Token> m_tokens;
    TimeZone m_timeZone = TimeZone::local();
    std::string m_locale = "en_US_POSIX";
};

} // namespace foundation
