#include "MovaraKit/Support/Date+Movara.h"

#include <time.h>

#include <cmath>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"

namespace {

std::string localizedFromFramework(const std::string& key)
{
    auto bundle = mvr_movaraKitBundle();
    return bundle ? bundle->localizedStringForKey(key, "", "Localizable") : key;
}

std::string replacingPlaceholder(std::string format, const std::string& value)
{
    size_t at = format.find("%@");
    if (at != std::string::npos)
        format.replace(at, 2, value);
    return format;
}

// The largest calendar unit in the interval, spelled out ("1 month", "3 hours"), counted
// whole: at most one unit, as the platform's relative formatter gives it.
std::string spelledOutInterval(const foundation::Date& from, const foundation::Date& to)
{
    auto unit = [](long long n, const char* singular, const char* plural) {
        return std::to_string(n) + " " + (n == 1 ? singular : plural);
    };

    time_t a = static_cast<time_t>(std::floor(from.timeIntervalSince1970()));
    time_t b = static_cast<time_t>(std::floor(to.timeIntervalSince1970()));
    struct tm start {}, end {};
    if (::localtime_r(&a, &start) && ::localtime_r(&b, &end)) {
        long long months = (end.tm_year - start.tm_year) * 12LL + (end.tm_mon - start.tm_mon);
        auto clockOf = [](const struct tm& t) { return ((t.tm_mday * 24LL + t.tm_hour) * 60 + t.tm_min) * 60 + t.tm_sec; };
        if (months > 0 && clockOf(end) < clockOf(start))
            --months;
        if (months >= 12)
            return unit(months / 12, "year", "years");
        if (months >= 1)
            return unit(months, "month", "months");
    }
    long long seconds = static_cast<long long>(to.timeIntervalSince1970() - from.timeIntervalSince1970());
    if (seconds >= 7 * 86400)
        return unit(seconds / (7 * 86400), "week", "weeks");
    if (seconds >= 86400)
        return unit(seconds / 86400, "day", "days");
    if (seconds >= 3600)
        return unit(seconds / 3600, "hour", "hours");
    if (seconds >= 60)
        return unit(seconds / 60, "minute", "minutes");
    return unit(seconds, "second", "seconds");
}

foundation::DateFormatter makeFormatter(const char* format)
{
    foundation::DateFormatter formatter(format, foundation::TimeZone::timeZoneForSecondsFromGMT(0));
    formatter.setLocaleIdentifier("en_US_POSIX");
    return formatter;
}

} // namespace

const foundation::DateFormatter& mvr_rfc822Formatter()
{
    static const foundation::DateFormatter formatter = makeFormatter("EEE, dd MMM yyyy HH:mm:ss z");
    return formatter;
}

const foundation::DateFormatter& mvr_rfc3339Formatter()
{
    static const foundation::DateFormatter formatter = makeFormatter("yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'");
    return formatter;
}

std::optional<foundation::Date> mvr_dateFromRFC822(std::string_view text) { return mvr_rfc822Formatter().dateFromString(text); }

std::optional<foundation::Date> mvr_dateFromRFC3339(std::string_view text)
{
    return mvr_rfc3339Formatter().dateFromString(text);
}

std::string mvr_localizedStringRelativeToNow(const foundation::Date& date)
{
    foundation::Date now = foundation::Date::now();
    if (date < now)
        return replacingPlaceholder(localizedFromFramework("%@ ago"), spelledOutInterval(date, now));
    return localizedFromFramework("Now");
}
