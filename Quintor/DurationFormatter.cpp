#include "Quintor/DurationFormatter.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <langinfo.h>
#include <locale.h>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/Observable.h"

namespace {

std::string padded(std::string digits, std::size_t width)
{
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One part of a duration: a plain decimal number written with `separator`, nothing before or
// after it. Anything else (also a part that starts with white space) reads as 0, so that a
// half-typed field never refuses the whole text. Only the magnitude counts.
double magnitudeOfPart(std::string_view part, std::string_view separator)
{
    std::string number; // the same number spelled for from_chars
    std::size_t i = 0;
    if (i < part.size() && (part[i] == '+' || part[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < part.size() && isDigit(part[i]); ++i, ++digits)
        number += part[i];
    if (!separator.empty() && part.substr(i, separator.size()) == separator) {
        i += separator.size();
        number += '.';
        for (; i < part.size() && isDigit(part[i]); ++i, ++digits)
            number += part[i];
    }
    if (digits == 0)
        return 0;
    if (i < part.size() && (part[i] == 'e' || part[i] == 'E')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < part.size() && (part[j] == '+' || part[j] == '-'))
            exponent += part[j++];
        const std::size_t exponentStart = j;
        for (; j < part.size() && isDigit(part[j]); ++j)
            exponent += part[j];
        if (j == exponentStart)
            return 0;
        number += exponent;
        i = j;
    }
    if (i != part.size())
        return 0;
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small reads as 0; too large is kept as infinity for the caller to refuse.
        return number.find("e-") != std::string::npos ? 0.0 : HUGE_VAL;
    }
    if (result.ec != std::errc() || result.ptr != number.data() + number.size())
        return 0;
    return std::fabs(value);
}

} // namespace

std::shared_ptr<DurationFormatter> DurationFormatter::init()
{
    return std::shared_ptr<DurationFormatter>(new DurationFormatter());
}

void DurationFormatter::setDecimalSeparator(std::string separator)
{
    m_decimalSeparator = separator.empty() ? std::string(".") : std::move(separator);
}

std::string DurationFormatter::currentLocaleDecimalSeparator()
{
    locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
    if (!locale)
        return ".";
    const char* radix = ::nl_langinfo_l(RADIXCHAR, locale);
    std::string separator = radix && *radix ? radix : ".";
    ::freelocale(locale);
    return separator;
}

std::optional<std::string> DurationFormatter::stringForObjectValue(const std::any& object) const
{
    if (!object.has_value())
        return std::nullopt;
    double x = 0;
    try {
        x = foundation::anyTo<double>(object);
    } catch (const std::bad_any_cast&) {
        return std::nullopt;
    }
    if (!std::isfinite(x))
        return std::nullopt;

    const double magnitude = std::fabs(x);
    double minutes = std::floor(magnitude / 60.0);
    const double remainder = std::fmax(0.0, magnitude - minutes * 60.0);
    // Rounded to the millisecond as a whole, so that 119.9996 shows as 02:00.000 rather than
    // the impossible 01:60.000 that rounding the seconds alone would give.
    double milliseconds = std::nearbyint(remainder * 1000.0);
    if (milliseconds >= 60000.0) {
        milliseconds -= 60000.0;
        minutes += 1.0;
    }
    const long wholeMilliseconds = static_cast<long>(milliseconds);

    char minuteDigits[400];
    std::snprintf(minuteDigits, sizeof minuteDigits, "%.0f", minutes);
    std::string text = x < 0 && (minutes > 0 || wholeMilliseconds > 0) ? "-" : "";
    text += padded(minuteDigits, 2);
    text += ':';
    text += padded(std::to_string(wholeMilliseconds / 1000), 2);
    text += m_decimalSeparator;
    text += padded(std::to_string(wholeMilliseconds % 1000), 3);
    return text;
}

bool DurationFormatter::getObjectValue(std::any* object, const std::string& string, std::string* errorDescription) const
{
    if (!object)
        return false;

    std::vector<std::string_view> parts;
    const std::string_view text(string);
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }

    double seconds = 0;
    double unit = 1;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        const double magnitude = magnitudeOfPart(*it, m_decimalSeparator);
        // Zero parts are skipped: far to the left the unit overflows, and 0 times infinity
        // would turn the whole duration into not-a-number.
        if (magnitude != 0)
            seconds += magnitude * unit;
        unit *= 60.0;
    }
    if (!std::isfinite(seconds)) {
        if (errorDescription)
            *errorDescription = foundation::localized("The duration is too long.", "error description");
        return false;
    }
    *object = seconds;
    return true;
}

std::optional<std::string> frameRateString(double fps, const std::string& decimalSeparator)
{
    if (!std::isfinite(fps))
        return std::nullopt;
    // Wide enough for the largest double in fixed notation.
    char text[400];
    std::snprintf(text, sizeof text, "%.3f", fps);
    std::string s = text;
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s == "-0")
        s = "0";
    const auto dot = s.find('.');
    if (dot != std::string::npos)
        s.replace(dot, 1, decimalSeparator);
    return s;
}

std::shared_ptr<FrameRateFormatter> FrameRateFormatter::init()
{
    return std::shared_ptr<FrameRateFormatter>(new FrameRateFormatter());
}

std::optional<std::string> FrameRateFormatter::stringForObjectValue(const std::any& object) const
{
    if (!object.has_value())
        return std::nullopt;
    try {
        return frameRateString(foundation::anyTo<double>(object), m_decimalSeparator);
    } catch (const std::bad_any_cast&) {
        return std::nullopt;
    }
}

bool FrameRateFormatter::getObjectValue(std::any* object, const std::string& string, std::string*) const
{
    if (!object)
        return false;
    std::string_view text = string;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    std::string number;
    std::size_t i = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        number += text[i];
    const bool separated = text.substr(i, 1) == "." || (!m_decimalSeparator.empty() && text.substr(i, m_decimalSeparator.size()) == m_decimalSeparator);
    if (separated) {
        i += text[i] == '.' ? 1 : m_decimalSeparator.size();
        number += '.';
        for (; i < text.size() && isDigit(text[i]); ++i)
            number += text[i];
    }
    double rate = 0;
    if (std::from_chars(number.data(), number.data() + number.size(), rate).ec != std::errc())
        rate = 0;
    *object = rate;
    return true;
}
