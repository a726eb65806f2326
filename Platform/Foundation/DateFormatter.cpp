#include "Platform/Foundation/DateFormatter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>

namespace foundation {

namespace {

// en_US_POSIX week rules.
constexpr int FirstWeekday = 0; // Sunday
constexpr int MinimalDaysInFirstWeek = 1;

// About a million years either way: far beyond any real date, well inside 64-bit arithmetic.
constexpr double LargestSeconds = 3.0e13;

constexpr std::array<const char*, 12> MonthNames = {"January", "February", "March",     "April",   "May",      "June",
                                                    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<const char*, 12> MonthShortNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> WeekdayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                     "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 7> WeekdayShortNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> WeekdayTwoLetterNames = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};

long long floorDiv(long long a, long long b)
{
    long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
long long daysFromCivil(long long y, int m, int d)
{
    y -= m <= 2;
    long long era = floorDiv(y, 400);
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(long long z, long long& y, int& m, int& d)
{
    z += 719468;
    long long era = floorDiv(z, 146097);
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

bool isLeapYear(long long y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(long long y, int m)
{
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : Days[m - 1];
}

int weekdayOf(long long days) // 0 is Sunday
{
    return int(((days + 4) % 7 + 7) % 7);
}

long long firstDayOfWeekYear(long long weekYear)
{
    long long jan1 = daysFromCivil(weekYear, 1, 1);
    int offset = (weekdayOf(jan1) - FirstWeekday + 7) % 7;
    long long start = jan1 - offset;
    if (7 - offset < MinimalDaysInFirstWeek)
        start += 7;
    return start;
}

void weekOfYear(long long days, long long year, long long& weekYear, int& week)
{
    if (days >= firstDayOfWeekYear(year + 1))
        weekYear = year + 1;
    else if (days < firstDayOfWeekYear(year))
        weekYear = year - 1;
    else
        weekYear = year;
    week = int((days - firstDayOfWeekYear(weekYear)) / 7 + 1);
}

int offsetFromCLibrary(long long seconds)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return 0;
    return int(tm.tm_gmtoff);
}

std::string padded(long long value, int width)
{
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (int(digits.size()) < width)
        digits.insert(0, size_t(width) - digits.size(), '0');
    return value < 0 ? '-' + digits : digits;
}

bool isPatternLetter(char c)
{
    return std::string_view("GyYMLdDEecahHkKmsSwZzXx").find(c) != std::string_view::npos;
}

std::vector<DateFormatter::Token> tokenize(std::string_view format)
{
    std::vector<DateFormatter::Token> tokens;
    auto addLiteral = [&](std::string_view text) {
        if (text.empty())
            return;
        if (tokens.empty() || tokens.back().letter != 0)
            tokens.push_back({});
        tokens.back().literal += text;
    };
    for (size_t i = 0; i < format.size();) {
        char c = format[i];
        if (c == '\'') {
            if (i + 1 < format.size() && format[i + 1] == '\'') {
                addLiteral("'");
                i += 2;
                continue;
            }
            // Quoted text up to the closing quote; '' inside stands for one quote. An
            // unterminated quote runs to the end, as the platform reads it.
            ++i;
            std::string text;
            while (i < format.size()) {
                if (format[i] == '\'') {
                    if (i + 1 < format.size() && format[i + 1] == '\'') {
                        text += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += format[i++];
            }
            addLiteral(text);
        } else if (isPatternLetter(c)) {
            size_t j = i;
            while (j < format.size() && format[j] == c)
                ++j;
            tokens.push_back({c, int(j - i), {}});
            i = j;
        } else {
            addLiteral(format.substr(i, 1));
            ++i;
        }
    }
    return tokens;
}

// "+hh:mm", "+hhmm" or "+hh" with the sign always written.
std::string offsetText(int offset, bool colon, bool minutesOptional)
{
    int minutes = std::abs(offset) / 60;
    std::string s = offset < 0 ? "-" : "+";
    s += padded(minutes / 60, 2);
    if (minutesOptional && minutes % 60 == 0)
        return s;
    if (colon)
        s += ':';
    s += padded(minutes % 60, 2);
    return s;
}

std::string gmtText(int offset, bool longForm)
{
    if (offset == 0)
        return "GMT";
    int minutes = std::abs(offset) / 60;
    std::string s = offset < 0 ? "GMT-" : "GMT+";
    if (longForm)
        return s + padded(minutes / 60, 2) + ':' + padded(minutes % 60, 2);
    s += std::to_string(minutes / 60);
    if (minutes % 60)
        s += ':' + padded(minutes % 60, 2);
    return s;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool matchesIgnoringCase(std::string_view text, size_t pos, std::string_view word)
{
    if (text.size() - pos < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (asciiLower(text[pos + i]) != asciiLower(word[i]))
            return false;
    return true;
}

struct Parsed {
    std::optional<long long> year;
    bool yearTwoDigits = false;
    std::optional<long long> weekYear;
    bool weekYearTwoDigits = false;
    std::optional<bool> beforeChrist;
    std::optional<int> month;
    std::optional<int> day;
    std::optional<int> dayOfYear;
    std::optional<int> weekday; // 0 is Sunday
    std::optional<int> week;
    std::optional<bool> pm;
    std::optional<int> hour24;
    std::optional<int> hour12; // 0...11 once read
    std::optional<int> minute;
    std::optional<int> second;
    double fraction = 0;
    std::optional<int> offset;
};

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) { }

    bool atEnd() const { return m_pos == m_text.size(); }
    std::string_view text() const { return m_text; }

    bool literal(std::string_view s)
    {
        if (m_text.substr(m_pos, s.size()) != s)
            return false;
        m_pos += s.size();
        return true;
    }

    std::optional<long long> digits(int minimum, int maximum)
    {
        size_t start = m_pos;
        long long value = 0;
        while (m_pos < m_text.size() && int(m_pos - start) < maximum && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
            value = value * 10 + (m_text[m_pos++] - '0');
        if (int(m_pos - start) < minimum) {
            m_pos = start;
            return std::nullopt;
        }
        return value;
    }

    template <size_t N>
    std::optional<int> name(const std::array<const char*, N>& names)
    {
        // Longest first, so that a long name is not cut at a shorter one that starts it.
        int best = -1;
        size_t bestLength = 0;
        for (size_t i = 0; i < N; ++i) {
            std::string_view n = names[i];
            if (n.size() > bestLength && matchesIgnoringCase(m_text, m_pos, n))
                best = int(i), bestLength = n.size();
        }
        if (best < 0)
            return std::nullopt;
        m_pos += bestLength;
        return best;
    }

    bool word(std::string_view w)
    {
        if (!matchesIgnoringCase(m_text, m_pos, w))
            return false;
        m_pos += w.size();
        return true;
    }

    std::optional<int> sign()
    {
        if (literal("+"))
            return 1;
        if (literal("-"))
            return -1;
        return std::nullopt;
    }

    // hh[[:]mm] after a sign; `colon` is required, refused or either.
    enum class Colon { Required, Refused, Either };
    std::optional<int> signedOffset(Colon colon, bool minutesOptional, bool oneDigitHours = false)
    {
        size_t start = m_pos;
        auto s = sign();
        auto hours = s ? digits(oneDigitHours ? 1 : 2, 2) : std::nullopt;
        if (!hours || *hours > 23) {
            m_pos = start;
            return std::nullopt;
        }
        size_t afterHours = m_pos;
        std::optional<long long> minutes;
        if (colon != Colon::Refused && literal(":"))
            minutes = digits(2, 2);
        else if (colon != Colon::Required)
            minutes = digits(2, 2);
        if (!minutes || *minutes > 59) {
            if (!minutesOptional) {
                m_pos = start;
                return std::nullopt;
            }
            m_pos = afterHours;
            minutes = 0;
        }
        return *s * int(*hours * 3600 + *minutes * 60);
    }

    size_t m_pos = 0;

private:
    std::string_view m_text;
};

// The zone of a parsed text, in the forms each pattern letter writes (and the names of UTC).
std::optional<int> parseZone(Parser& p, char letter, int count)
{
    using Colon = Parser::Colon;
    auto universal = [&]() -> bool { return p.word("GMT") || p.word("UTC") || p.word("UT"); };
    auto gmtForm = [&]() -> std::optional<int> {
        size_t start = p.m_pos;
        if (!universal())
            return std::nullopt;
        if (auto offset = p.signedOffset(Colon::Either, true, true))
            return offset;
        // A sign that leads nowhere is not part of a zone.
        if (p.m_pos < p.text().size() && (p.text()[p.m_pos] == '+' || p.text()[p.m_pos] == '-')) {
            p.m_pos = start;
            return std::nullopt;
        }
        return 0;
    };
    switch (letter) {
    case 'Z':
        if (count <= 3) {
            if (auto offset = p.signedOffset(Colon::Refused, false))
                return offset;
            if (universal())
                return 0;
            return std::nullopt;
        }
        if (count == 4)
            return gmtForm();
        if (p.literal("Z"))
            return 0;
        return p.signedOffset(Colon::Required, false);
    case 'z': {
        if (auto offset = gmtForm())
            return offset;
        // The North American zone names that mail and web dates use.
        static constexpr std::pair<const char*, int> Names[] = {
            {"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7},
        };
        for (const auto& [name, hours] : Names)
            if (p.word(name))
                return hours * 3600;
        return std::nullopt;
    }
    case 'X':
    case 'x': {
        if (letter == 'X' && p.literal("Z"))
            return 0;
        Colon colon = (count == 3 || count == 5) ? Colon::Required : Colon::Refused;
        return p.signedOffset(colon, count == 1);
    }
    }
    return std::nullopt;
}

bool parseField(Parser& p, const DateFormatter::Token& t, Parsed& r)
{
    const int n = t.count;
    // Width of a numeric field: one letter reads one or more digits up to `widest`, more
    // letters need exactly that many digits (years: at least that many).
    auto number = [&](int widest) { return n == 1 ? p.digits(1, widest) : p.digits(n, n); };
    auto yearNumber = [&]() { return n == 2 ? p.digits(2, 2) : p.digits(n, std::max(n, 9)); };
    switch (t.letter) {
    case 'G': {
        static constexpr std::array<const char*, 2> Short = {"BC", "AD"};
        static constexpr std::array<const char*, 2> Long = {"Before Christ", "Anno Domini"};
        static constexpr std::array<const char*, 2> Narrow = {"B", "A"};
        auto era = n <= 3 ? p.name(Short) : n == 4 ? p.name(Long) : p.name(Narrow);
        if (!era)
            return false;
        r.beforeChrist = *era == 0;
        return true;
    }
    case 'y':
    case 'Y': {
        size_t before = p.m_pos;
        auto v = yearNumber();
        if (!v)
            return false;
        (t.letter == 'y' ? r.year : r.weekYear) = *v;
        // Two digits (for "yy", or written so for "y") name a year near the present.
        (t.letter == 'y' ? r.yearTwoDigits : r.weekYearTwoDigits) = n == 2 || (n == 1 && p.m_pos - before == 2);
        return true;
    }
    case 'M':
    case 'L': {
        std::optional<int> month;
        if (n <= 2) {
            if (auto v = number(2))
                month = int(*v);
        } else if (n == 3) {
            if (auto i = p.name(MonthShortNames))
                month = *i + 1;
        } else if (n == 4) {
            if (auto i = p.name(MonthNames))
                month = *i + 1;
        } else {
            return false; // a single letter is not enough to know the month
        }
        if (!month || *month < 1 || *month > 12)
            return false;
        r.month = month;
        return true;
    }
    case 'd': {
        auto v = number(2);
        if (!v || *v < 1 || *v > 31)
            return false;
        r.day = int(*v);
        return true;
    }
    case 'D': {
        auto v = number(3);
        if (!v || *v < 1 || *v > 366)
            return false;
        r.dayOfYear = int(*v);
        return true;
    }
    case 'E':
    case 'e':
    case 'c': {
        if (t.letter != 'E' && n <= 2) {
            auto v = number(1);
            if (!v || *v < 1 || *v > 7)
                return false;
            r.weekday = int((*v - 1 + FirstWeekday) % 7);
            return true;
        }
        std::optional<int> wd = n <= 3 ? p.name(WeekdayShortNames)
            : n == 4                   ? p.name(WeekdayNames)
            : n == 6                   ? p.name(WeekdayTwoLetterNames)
                                       : std::nullopt;
        if (!wd)
            return false;
        r.weekday = wd;
        return true;
    }
    case 'a': {
        static constexpr std::array<const char*, 2> Marks = {"AM", "PM"};
        auto mark = p.name(Marks);
        if (!mark)
            return false;
        r.pm = *mark == 1;
        return true;
    }
    case 'H':
    case 'k': {
        auto v = number(2);
        if (!v)
            return false;
        if (t.letter == 'H' ? *v > 23 : (*v < 1 || *v > 24))
            return false;
        r.hour24 = int(*v % 24);
        return true;
    }
    case 'h':
    case 'K': {
        auto v = number(2);
        if (!v)
            return false;
        if (t.letter == 'h' ? (*v < 1 || *v > 12) : *v > 11)
            return false;
        r.hour12 = int(*v % 12);
        return true;
    }
    case 'm':
    case 's': {
        auto v = number(2);
        if (!v || *v > 59)
            return false;
        (t.letter == 'm' ? r.minute : r.second) = int(*v);
        return true;
    }
    case 'S': {
        auto v = p.digits(n, n);
        if (!v)
            return false;
        r.fraction = double(*v) / std::pow(10.0, n);
        return true;
    }
    case 'w': {
        auto v = number(2);
        if (!v || *v < 1 || *v > 53)
            return false;
        r.week = int(*v);
        return true;
    }
    case 'Z':
    case 'z':
    case 'X':
    case 'x': {
        auto offset = parseZone(p, t.letter, n);
        if (!offset)
            return false;
        r.offset = offset;
        return true;
    }
    }
    return false;
}

// Two-digit years fall within the 80 years before and 20 years after the present year.
long long expandTwoDigitYear(long long twoDigits)
{
    long long y = 0;
    int m = 0, d = 0;
    civilFromDays(floorDiv(static_cast<long long>(Date::now().timeIntervalSince1970()), 86400), y, m, d);
    long long start = y - 80;
    long long candidate = floorDiv(start, 100) * 100 + twoDigits;
    return candidate < start ? candidate + 100 : candidate;
}

} // namespace

// MARK: - TimeZone

TimeZone TimeZone::timeZoneForSecondsFromGMT(int seconds)
{
    return TimeZone(false, std::clamp(seconds, -86400, 86400));
}

int TimeZone::secondsFromGMTForDate(const Date& date) const
{
    if (!m_local)
        return m_offset;
    double t = date.timeIntervalSince1970();
    if (!std::isfinite(t) || std::abs(t) > LargestSeconds)
        return 0;
    return offsetFromCLibrary(static_cast<long long>(std::floor(t)));
}

int TimeZone::secondsFromGMTForLocalTime(long long wallSeconds) const
{
    if (!m_local)
        return m_offset;
    // The offset at the instant the wall time names; in a daylight-saving gap, where no
    // instant has that wall time, the offset before the change.
    int first = offsetFromCLibrary(wallSeconds);
    int second = offsetFromCLibrary(wallSeconds - first);
    if (second == first)
        return first;
    int third = offsetFromCLibrary(wallSeconds - second);
    return third == second ? second : first;
}

// MARK: - DateFormatter

DateFormatter::DateFormatter(std::string_view format, TimeZone timeZone)
    : m_timeZone(timeZone)
{
    setDateFormat(format);
}

void DateFormatter::setDateFormat(std::string_view format)
{
    m_format = std::string(format);
    m_tokens = tokenize(format);
}

std::string DateFormatter::stringFromDate(const Date& date) const
{
    double t = date.timeIntervalSince1970();
    if (!std::isfinite(t) || std::abs(t) > LargestSeconds)
        return {};
    // Whole microseconds, rounded, so that a value read from text (x.123) does not come back
    // as x.122999 and print one millisecond early.
    double whole = std::floor(t);
    long long seconds = static_cast<long long>(whole);
    long long micros = std::llround((t - whole) * 1e6);
    if (micros >= 1000000)
        seconds += 1, micros -= 1000000;

    const int offset = m_timeZone.secondsFromGMTForDate(Date::dateWithTimeIntervalSince1970(double(seconds)));
    const long long local = seconds + offset;
    const long long days = floorDiv(local, 86400);
    const long long secondOfDay = local - days * 86400;
    long long year = 0;
    int month = 0, day = 0;
    civilFromDays(days, year, month, day);
    const int hour = int(secondOfDay / 3600);
    const int minute = int(secondOfDay / 60 % 60);
    const int second = int(secondOfDay % 60);
    const int weekday = weekdayOf(days);
    const long long yearOfEra = year > 0 ? year : 1 - year;

    std::string out;
    for (const Token& token : m_tokens) {
        const int n = token.count;
        switch (token.letter) {
        case 0:
            out += token.literal;
            break;
        case 'G':
            out += n <= 3 ? (year > 0 ? "AD" : "BC") : n == 4 ? (year > 0 ? "Anno Domini" : "Before Christ") : (year > 0 ? "A" : "B");
            break;
        case 'y':
            out += n == 2 ? padded(yearOfEra % 100, 2) : padded(yearOfEra, n);
            break;
        case 'Y': {
            long long weekYear = 0;
            int week = 0;
            weekOfYear(days, year, weekYear, week);
            out += n == 2 ? padded(((weekYear % 100) + 100) % 100, 2) : padded(weekYear, n);
            break;
        }
        case 'M':
        case 'L':
            out += n <= 2 ? padded(month, n) : n == 3 ? MonthShortNames[month - 1] : n == 4 ? MonthNames[month - 1] : std::string(1, MonthNames[month - 1][0]);
            break;
        case 'd':
            out += padded(day, n);
            break;
        case 'D':
            out += padded(days - daysFromCivil(year, 1, 1) + 1, n);
            break;
        case 'e':
        case 'c':
            if (n <= 2) {
                out += padded((weekday - FirstWeekday + 7) % 7 + 1, n);
                break;
            }
            [[fallthrough]];
        case 'E':
            out += n <= 3 ? WeekdayShortNames[weekday] : n == 4 ? WeekdayNames[weekday] : n == 6 ? WeekdayTwoLetterNames[weekday] : std::string(1, WeekdayNames[weekday][0]);
            break;
        case 'a':
            out += hour < 12 ? "AM" : "PM";
            break;
        case 'h':
            out += padded(hour % 12 == 0 ? 12 : hour % 12, n);
            break;
        case 'H':
            out += padded(hour, n);
            break;
        case 'k':
            out += padded(hour == 0 ? 24 : hour, n);
            break;
        case 'K':
            out += padded(hour % 12, n);
            break;
        case 'm':
            out += padded(minute, n);
            break;
        case 's':
            out += padded(second, n);
            break;
        case 'S': {
            // Truncated, not rounded, like a clock: 0.9999 is still in the same second.
            long long digits = n <= 6 ? micros / static_cast<long long>(std::pow(10, 6 - n)) : micros;
            std::string text = padded(digits, std::min(n, 6));
            if (n > 6)
                text.append(size_t(n - 6), '0');
            out += text;
            break;
        }
        case 'w': {
            long long weekYear = 0;
            int week = 0;
            weekOfYear(days, year, weekYear, week);
            out += padded(week, n);
            break;
        }
        case 'Z':
            out += n <= 3 ? offsetText(offset, false, false) : n == 4 ? gmtText(offset, true) : offset == 0 ? "Z" : offsetText(offset, true, false);
            break;
        case 'z':
            out += gmtText(offset, n == 4);
            break;
        case 'X':
        case 'x':
            if (token.letter == 'X' && offset == 0)
                out += 'Z';
            else
                out += offsetText(offset, n == 3 || n == 5, n == 1);
            break;
        }
    }
    return out;
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const
{
    Parser p(text);
    Parsed r;
    for (const Token& token : m_tokens) {
        if (token.letter == 0) {
            if (!p.literal(token.literal))
                return std::nullopt;
        } else if (!parseField(p, token, r)) {
            return std::nullopt;
        }
    }
    if (!p.atEnd())
        return std::nullopt;

    auto resolveYear = [&](std::optional<long long> value, bool twoDigits) -> std::optional<long long> {
        if (!value)
            return std::nullopt;
        long long y = twoDigits ? expandTwoDigitYear(*value) : *value;
        if (r.beforeChrist.value_or(false))
            y = 1 - y;
        return y;
    };
    const auto year = resolveYear(r.year, r.yearTwoDigits);
    const auto weekYear = resolveYear(r.weekYear, r.weekYearTwoDigits);
    if ((r.year && *r.year == 0 && !r.yearTwoDigits) || (r.weekYear && *r.weekYear == 0 && !r.weekYearTwoDigits))
        return std::nullopt; // there is no year 0 of an era

    long long days = 0;
    if (r.month || r.day || (!r.dayOfYear && !r.week)) {
        const int month = r.month.value_or(1);
        const int day = r.day.value_or(1);
        if (year || !weekYear) {
            const long long y = year.value_or(1970);
            if (day > daysInMonth(y, month))
                return std::nullopt;
            days = daysFromCivil(y, month, day);
        } else {
            // A week-based year with a month and day: a date with that month and day whose
            // week-based year it is. Only days near New Year differ from the calendar; where two
            // qualify (2021-12-29 and 2022-12-29 are both in week-year 2022) the one in the same
            // calendar year is taken.
            bool found = false;
            for (long long y : {*weekYear, *weekYear - 1, *weekYear + 1}) {
                if (day > daysInMonth(y, month))
                    continue;
                long long candidate = daysFromCivil(y, month, day);
                long long wy = 0;
                int week = 0;
                weekOfYear(candidate, y, wy, week);
                if (wy == *weekYear) {
                    days = candidate, found = true;
                    break;
                }
            }
            if (!found)
                return std::nullopt;
        }
    } else if (r.dayOfYear) {
        const long long y = year.value_or(weekYear.value_or(1970));
        if (*r.dayOfYear > (isLeapYear(y) ? 366 : 365))
            return std::nullopt;
        days = daysFromCivil(y, 1, 1) + *r.dayOfYear - 1;
    } else {
        const long long wy = weekYear.value_or(year.value_or(1970));
        const int dayInWeek = (r.weekday.value_or(FirstWeekday) - FirstWeekday + 7) % 7;
        days = firstDayOfWeekYear(wy) + (*r.week - 1) * 7 + dayInWeek;
        long long y = 0, check = 0;
        int m = 0, d = 0, week = 0;
        civilFromDays(days, y, m, d);
        weekOfYear(days, y, check, week);
        if (check != wy)
            return std::nullopt; // week 53 of a year that has 52
    }

    int hour = 0;
    if (r.hour24)
        hour = *r.hour24;
    else if (r.hour12)
        hour = *r.hour12 + (r.pm.value_or(false) ? 12 : 0);
    const long long local = days * 86400 + hour * 3600 + r.minute.value_or(0) * 60 + r.second.value_or(0);
    const int offset = r.offset ? *r.offset : m_timeZone.secondsFromGMTForLocalTime(local);
    const double seconds = double(local - offset) + r.fraction;
    if (std::abs(seconds) > LargestSeconds)
        return std::nullopt;
    return Date::dateWithTimeIntervalSince1970(seconds);
}

} // namespace foundation
