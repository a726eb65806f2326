#include "Platform/Media/Time.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

namespace media {

namespace {

using i128 = __int128;

constexpr i128 kInt64Min = std::numeric_limits<int64_t>::min();
constexpr i128 kInt64Max = std::numeric_limits<int64_t>::max();

bool fitsInt64(i128 v) { return v >= kInt64Min && v <= kInt64Max; }

// num / den (den > 0) rounded by `method`; `inexact` tells whether anything was dropped.
i128 roundedQuotient(i128 num, i128 den, RoundingMethod method, bool toCoarser, bool& inexact)
{
    i128 q = num / den;
    i128 r = num % den;
    inexact = r != 0;
    if (!inexact)
        return q;
    const int sign = num < 0 ? -1 : 1;
    const i128 absR = r < 0 ? -r : r;
    if (method == RoundingMethod::QuickTime)
        method = toCoarser ? RoundingMethod::RoundTowardZero : RoundingMethod::RoundHalfAwayFromZero;
    switch (method) {
    case RoundingMethod::RoundHalfAwayFromZero:
        if (2 * absR >= den)
            q += sign;
        break;
    case RoundingMethod::RoundTowardZero:
        break;
    case RoundingMethod::RoundAwayFromZero:
        q += sign;
        break;
    case RoundingMethod::RoundTowardPositiveInfinity:
        if (sign > 0)
            q += 1;
        break;
    case RoundingMethod::RoundTowardNegativeInfinity:
        if (sign < 0)
            q -= 1;
        break;
    case RoundingMethod::QuickTime:
        break;
    }
    return q;
}

// The time whose exact value is num / den seconds, expressed in `timescale`. When the value
// does not fit the timescale is halved until it does; a value too large even for timescale 1
// becomes an infinity, which is the only honest answer left.
Time fitRational(i128 num, i128 den, int32_t timescale, bool alreadyRounded, int64_t epoch)
{
    if (den < 0) {
        num = -num;
        den = -den;
    }
    bool rounded = alreadyRounded;
    for (;;) {
        bool inexact = false;
        i128 value = roundedQuotient(num * timescale, den, RoundingMethod::Default, false, inexact);
        if (fitsInt64(value)) {
            Time t{static_cast<int64_t>(value), timescale, TimeFlagValid, epoch};
            if (rounded || inexact)
                t.flags |= TimeFlagHasBeenRounded;
            return t;
        }
        if (timescale == 1)
            return num < 0 ? Time::negativeInfinity() : Time::positiveInfinity();
        timescale /= 2;
        rounded = true;
    }
}

// -infinity, numbers, indefinite, +infinity, invalid.
int orderClass(const Time& t)
{
    if (!t.isValid())
        return 4;
    if (t.flags & TimeFlagNegativeInfinity)
        return 0;
    if (t.flags & TimeFlagPositiveInfinity)
        return 3;
    if (t.flags & TimeFlagIndefinite)
        return 2;
    return 1;
}

uint32_t roundedFlag(const Time& t) { return t.flags & TimeFlagHasBeenRounded; }

Time addSigned(const Time& a, const Time& b, int bSign)
{
    if (!a.isValid() || !b.isValid())
        return Time::invalid();
    if (a.isIndefinite() || b.isIndefinite())
        return Time::indefinite();
    const bool aPos = a.isPositiveInfinity(), aNeg = a.isNegativeInfinity();
    bool bPos = b.isPositiveInfinity(), bNeg = b.isNegativeInfinity();
    if (bSign < 0)
        std::swap(bPos, bNeg);
    if ((aPos && bNeg) || (aNeg && bPos))
        return Time::invalid();
    if (aPos || bPos)
        return Time::positiveInfinity();
    if (aNeg || bNeg)
        return Time::negativeInfinity();
    if (a.epoch != b.epoch)
        return Time::invalid();

    const int64_t lcm = std::lcm<int64_t, int64_t>(a.timescale, b.timescale);
    const bool tooFine = lcm > MaxTimescale;
    const int32_t timescale = tooFine ? MaxTimescale : static_cast<int32_t>(lcm);
    const i128 num = static_cast<i128>(a.value) * b.timescale + bSign * static_cast<i128>(b.value) * a.timescale;
    const i128 den = static_cast<i128>(a.timescale) * b.timescale;
    // Rounding into MaxTimescale is only flagged when it actually dropped something.
    return fitRational(num, den, timescale, roundedFlag(a) || roundedFlag(b), a.epoch);
}

Time signedInfinity(bool negative)
{
    return negative ? Time::negativeInfinity() : Time::positiveInfinity();
}

} // namespace

Time Time::make(int64_t value, int32_t timescale)
{
    if (timescale <= 0)
        return invalid();
    return {value, timescale, TimeFlagValid, 0};
}

Time Time::makeWithEpoch(int64_t value, int32_t timescale, int64_t epoch)
{
    Time t = make(value, timescale);
    if (t.isValid())
        t.epoch = epoch;
    return t;
}

Time Time::makeWithSeconds(double seconds, int32_t preferredTimescale)
{
    if (std::isnan(seconds) || preferredTimescale <= 0)
        return invalid();
    if (std::isinf(seconds))
        return signedInfinity(seconds < 0);
    int32_t timescale = preferredTimescale;
    bool rounded = false;
    for (;;) {
        const long double exact = static_cast<long double>(seconds) * timescale;
        const long double r = std::roundl(exact); // half away from zero
        if (r >= -9223372036854775808.0L && r < 9223372036854775808.0L) {
            Time t{static_cast<int64_t>(r), timescale, TimeFlagValid, 0};
            if (rounded || r != exact)
                t.flags |= TimeFlagHasBeenRounded;
            return t;
        }
        if (timescale == 1)
            return signedInfinity(seconds < 0);
        timescale /= 2;
        rounded = true;
    }
}

double Time::seconds() const
{
    if (!isValid() || (flags & TimeFlagIndefinite))
        return std::numeric_limits<double>::quiet_NaN();
    if (flags & TimeFlagPositiveInfinity)
        return std::numeric_limits<double>::infinity();
    if (flags & TimeFlagNegativeInfinity)
        return -std::numeric_limits<double>::infinity();
    return static_cast<double>(static_cast<long double>(value) / timescale);
}

Time Time::convertScale(int32_t newTimescale, RoundingMethod method) const
{
    if (!isNumeric())
        return *this;
    if (newTimescale <= 0)
        return invalid();
    if (newTimescale == timescale)
        return *this;
    bool inexact = false;
    const i128 v = roundedQuotient(static_cast<i128>(value) * newTimescale, timescale, method,
                                   newTimescale < timescale, inexact);
    if (!fitsInt64(v))
        return signedInfinity(value < 0);
    Time t{static_cast<int64_t>(v), newTimescale, TimeFlagValid | roundedFlag(*this), epoch};
    if (inexact)
        t.flags |= TimeFlagHasBeenRounded;
    return t;
}

std::string Time::description() const
{
    if (!isValid())
        return "{INVALID}";
    if (flags & TimeFlagIndefinite)
        return "{INDEFINITE}";
    if (flags & TimeFlagPositiveInfinity)
        return "{+INFINITY}";
    if (flags & TimeFlagNegativeInfinity)
        return "{-INFINITY}";
    char buf[96];
    std::snprintf(buf, sizeof buf, "{%" PRId64 "/%d = %.3f%s}", value, timescale, seconds(),
                  hasBeenRounded() ? ", rounded" : "");
    return buf;
}

int32_t compare(const Time& a, const Time& b)
{
    const int ca = orderClass(a), cb = orderClass(b);
    if (ca != cb)
        return ca < cb ? -1 : 1;
    if (ca != 1)
        return 0;
    if (a.epoch != b.epoch)
        return a.epoch < b.epoch ? -1 : 1;
    const i128 l = static_cast<i128>(a.value) * b.timescale;
    const i128 r = static_cast<i128>(b.value) * a.timescale;
    return l < r ? -1 : (l > r ? 1 : 0);
}

Time add(const Time& a, const Time& b) { return addSigned(a, b, 1); }
Time subtract(const Time& a, const Time& b) { return addSigned(a, b, -1); }

Time multiply(const Time& t, int32_t multiplier)
{
    return multiplyByRatio(t, multiplier, 1);
}

Time multiplyByRatio(const Time& t, int32_t multiplier, int32_t divisor)
{
    if (!t.isValid() || divisor == 0)
        return Time::invalid();
    if (t.isIndefinite())
        return t;
    if (t.isPositiveInfinity() || t.isNegativeInfinity()) {
        // Infinity times zero has no meaningful value.
        if (multiplier == 0)
            return Time::invalid();
        const bool negative = t.isNegativeInfinity() != ((multiplier < 0) != (divisor < 0));
        return signedInfinity(negative);
    }
    const i128 num = static_cast<i128>(t.value) * multiplier;
    const i128 den = static_cast<i128>(t.timescale) * divisor;
    return fitRational(num, den, t.timescale, roundedFlag(t), t.epoch);
}

Time multiplyByFloat64(const Time& t, double multiplier)
{
    if (!t.isValid() || std::isnan(multiplier))
        return Time::invalid();
    if (t.isIndefinite())
        return t;
    if (t.isPositiveInfinity() || t.isNegativeInfinity()) {
        if (multiplier == 0)
            return Time::invalid();
        return signedInfinity(t.isNegativeInfinity() != (multiplier < 0));
    }
    if (std::isinf(multiplier)) {
        if (t.value == 0)
            return Time::invalid();
        return signedInfinity((t.value < 0) != (multiplier < 0));
    }
    int32_t timescale = t.timescale;
    bool rounded = roundedFlag(t) != 0;
    long double exact = static_cast<long double>(t.value) * multiplier;
    for (;;) {
        const long double r = std::roundl(exact);
        if (r >= -9223372036854775808.0L && r < 9223372036854775808.0L) {
            Time out{static_cast<int64_t>(r), timescale, TimeFlagValid, t.epoch};
            if (rounded || r != exact)
                out.flags |= TimeFlagHasBeenRounded;
            return out;
        }
        if (timescale == 1)
            return signedInfinity(exact < 0);
        // Halving an even timescale halves the value exactly; odd ones round anyway.
        exact = (timescale % 2 == 0) ? exact / 2 : exact * (timescale / 2) / timescale;
        timescale /= 2;
        rounded = true;
    }
}

Time minimum(const Time& a, const Time& b)
{
    if (!a.isValid() || !b.isValid())
        return Time::invalid();
    return compare(a, b) <= 0 ? a : b;
}

Time maximum(const Time& a, const Time& b)
{
    if (!a.isValid() || !b.isValid())
        return Time::invalid();
    return compare(a, b) >= 0 ? a : b;
}

Time absoluteValue(const Time& t)
{
    if (t.isNegativeInfinity())
        return Time::positiveInfinity();
    if (!t.isNumeric() || t.value >= 0)
        return t;
    return multiply(t, -1);
}

bool TimeRange::isValid() const
{
    return start.isValid() && duration.isValid() && duration.epoch == 0 && duration.value >= 0 &&
           !duration.isNegativeInfinity();
}

bool TimeRange::isIndefinite() const
{
    return isValid() && (start.isIndefinite() || duration.isIndefinite());
}

bool TimeRange::isEmpty() const
{
    return isValid() && compare(duration, Time::zero()) == 0;
}

Time TimeRange::end() const
{
    if (!isValid())
        return Time::invalid();
    return add(start, duration);
}

bool TimeRange::containsTime(const Time& t) const
{
    if (!isValid() || !t.isValid())
        return false;
    return compare(start, t) <= 0 && compare(t, end()) < 0;
}

bool TimeRange::containsTimeRange(const TimeRange& other) const
{
    if (!isValid() || !other.isValid())
        return false;
    return compare(start, other.start) <= 0 && compare(other.end(), end()) <= 0;
}

TimeRange TimeRange::intersection(const TimeRange& other) const
{
    if (!isValid() || !other.isValid())
        return invalid();
    const Time s = maximum(start, other.start);
    const Time e = minimum(end(), other.end());
    if (compare(e, s) < 0)
        return zero();
    return fromTimeToTime(s, e);
}

TimeRange TimeRange::unionWith(const TimeRange& other) const
{
    if (!isValid() || !other.isValid())
        return invalid();
    return fromTimeToTime(minimum(start, other.start), maximum(end(), other.end()));
}

std::string TimeRange::description() const
{
    return "{" + start.description() + ", " + duration.description() + "}";
}

bool operator==(const TimeRange& a, const TimeRange& b)
{
    return compare(a.start, b.start) == 0 && compare(a.duration, b.duration) == 0;
}

} // namespace media
