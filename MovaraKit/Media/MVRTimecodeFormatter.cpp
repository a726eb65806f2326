#include "MovaraKit/Media/MVRTimecodeFormatter.h"

#include <cmath>
#include <cstdio>

std::optional<std::string> MVRTimecodeFormatter::stringForObjectValue(const std::any& value) const
{
    if (const auto* time = std::any_cast<media::Time>(&value))
        return stringForTime(*time);
    return std::nullopt;
}

std::string MVRTimecodeFormatter::stringForTime(const media::Time& time) const
{
    if (!time.isValid())
        return "invalid";
    if (time.isIndefinite())
        return "indefinite";
    if (time.isNegativeInfinity())
        return "-infinity";
    if (time.isPositiveInfinity())
        return "+infinity";

    // Times before zero are shown with a sign rather than pushed through an unsigned
    // conversion (which would print garbage); times too large for the counter saturate.
    double x = time.seconds();
    const bool negative = x < 0;
    x = std::fabs(x);
    constexpr double kMaxWhole = 1e18;
    const unsigned long long whole = x >= kMaxWhole ? static_cast<unsigned long long>(kMaxWhole)
                                                    : static_cast<unsigned long long>(x);
    const unsigned long long seconds = whole % 60;
    const unsigned long long minutes = whole / 60;
    const double frameValue = double(m_frameRate) * (std::fmod(x, 60.0) - double(seconds));
    const unsigned long long frames =
        std::isfinite(frameValue) && frameValue > 0 ? static_cast<unsigned long long>(frameValue) : 0;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s%02llu:%02llu:%02llu", negative ? "-" : "", minutes, seconds, frames);
    return buf;
}
