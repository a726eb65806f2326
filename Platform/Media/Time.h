#pragma once
// Media time as the platform models it: an exact rational value/timescale with flags for the
// non-numeric times (invalid, indefinite, +/-infinity) and an epoch. Arithmetic is exact
// while it fits, and otherwise rounds and says so with hasBeenRounded. Plain values; any thread.

#include <cstdint>
#include <string>

namespace media {

enum TimeFlags : uint32_t {
    TimeFlagValid = 1u << 0,
    TimeFlagHasBeenRounded = 1u << 1,
    TimeFlagPositiveInfinity = 1u << 2,
    TimeFlagNegativeInfinity = 1u << 3,
    TimeFlagIndefinite = 1u << 4,
    TimeFlagImpliedValueMask = TimeFlagPositiveInfinity | TimeFlagNegativeInfinity | TimeFlagIndefinite,
};

enum class RoundingMethod {
    RoundHalfAwayFromZero = 1,
    RoundTowardZero = 2,
    RoundAwayFromZero = 3,
    QuickTime = 4, // toward zero when going to a coarser timescale, else half away from zero
    RoundTowardPositiveInfinity = 5,
    RoundTowardNegativeInfinity = 6,
    Default = RoundHalfAwayFromZero,
};

// The largest timescale a time can have; arithmetic that would need more rounds into it.
constexpr int32_t MaxTimescale = 0x7fffffff;

struct Time {
    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;
    int64_t epoch = 0;

    // A timescale <= 0 gives the invalid time.
    static Time make(int64_t value, int32_t timescale);
    static Time makeWithEpoch(int64_t value, int32_t timescale, int64_t epoch);
    // Rounds half away from zero into preferredTimescale (halved until the value fits);
    // NaN gives invalid, +/-inf the infinities.
    static Time makeWithSeconds(double seconds, int32_t preferredTimescale);

    static Time invalid() { return {}; }
    static Time zero() { return {0, 1, TimeFlagValid, 0}; }
    static Time indefinite() { return {0, 0, TimeFlagValid | TimeFlagIndefinite, 0}; }
    static Time positiveInfinity() { return {0, 0, TimeFlagValid | TimeFlagPositiveInfinity, 0}; }
    static Time negativeInfinity() { return {0, 0, TimeFlagValid | TimeFlagNegativeInfinity, 0}; }

    bool isValid() const { return (flags & TimeFlagValid) != 0; }
    bool isIndefinite() const { return isValid() && (flags & TimeFlagIndefinite); }
    bool isPositiveInfinity() const { return isValid() && (flags & TimeFlagPositiveInfinity); }
    bool isNegativeInfinity() const { return isValid() && (flags & TimeFlagNegativeInfinity); }
    // Valid and neither indefinite nor infinite: a real rational number.
    bool isNumeric() const { return isValid() && !(flags & TimeFlagImpliedValueMask); }
    bool hasBeenRounded() const { return isNumeric() && (flags & TimeFlagHasBeenRounded); }

    // NaN for invalid and indefinite, +/-INFINITY for the infinities.
    double seconds() const;
    Time convertScale(int32_t newTimescale, RoundingMethod method = RoundingMethod::Default) const;
    // "{value/timescale = seconds}", or "{INVALID}", "{INDEFINITE}", "{+INFINITY}", "{-INFINITY}".
    std::string description() const;
};

// Total order: -infinity < numeric times (by epoch, then value) < indefinite < +infinity < invalid.
// Two invalid times compare equal. Returns -1, 0 or 1.
int32_t compare(const Time& a, const Time& b);

// Sum and difference are exact in the least common multiple of the timescales when it fits,
// else in MaxTimescale with rounding flagged. Invalid operands, differing epochs and
// inf - inf give invalid; indefinite operands give indefinite; a value that cannot be held at
// all becomes +/-infinity.
Time add(const Time& a, const Time& b);
Time subtract(const Time& a, const Time& b);
// Products keep the operand's timescale, halving it (and flagging rounding) when needed.
Time multiply(const Time& t, int32_t multiplier);
Time multiplyByFloat64(const Time& t, double multiplier);
// t * multiplier / divisor; a zero divisor gives invalid.
Time multiplyByRatio(const Time& t, int32_t multiplier, int32_t divisor);
// By compare(); an invalid operand gives invalid for both.
Time minimum(const Time& a, const Time& b);
Time maximum(const Time& a, const Time& b);
Time absoluteValue(const Time& t);

inline bool operator==(const Time& a, const Time& b) { return compare(a, b) == 0; }
inline bool operator!=(const Time& a, const Time& b) { return compare(a, b) != 0; }
inline bool operator<(const Time& a, const Time& b) { return compare(a, b) < 0; }
inline bool operator<=(const Time& a, const Time& b) { return compare(a, b) <= 0; }
inline bool operator>(const Time& a, const Time& b) { return compare(a, b) > 0; }
inline bool operator>=(const Time& a, const Time& b) { return compare(a, b) >= 0; }
inline Time operator+(const Time& a, const Time& b) { return add(a, b); }
inline Time operator-(const Time& a, const Time& b) { return subtract(a, b); }

// A span of media time: [start, start + duration).
struct TimeRange {
    Time start;
    Time duration;

    static TimeRange make(const Time& start, const Time& duration) { return {start, duration}; }
    static TimeRange fromTimeToTime(const Time& start, const Time& end) { return {start, subtract(end, start)}; }
    static TimeRange invalid() { return {}; }
    static TimeRange zero() { return {Time::zero(), Time::zero()}; }

    // Start and duration valid, duration in epoch 0 and not negative.
    bool isValid() const;
    bool isIndefinite() const;
    bool isEmpty() const;
    Time end() const;
    // Half-open: start <= t < end.
    bool containsTime(const Time& t) const;
    bool containsTimeRange(const TimeRange& other) const;
    // Zero range when the two do not overlap; invalid when either is invalid.
    TimeRange intersection(const TimeRange& other) const;
    // The smallest range covering both; invalid when either is invalid.
    TimeRange unionWith(const TimeRange& other) const;
    std::string description() const;
};

// Same start and same duration (by compare()).
bool operator==(const TimeRange& a, const TimeRange& b);
inline bool operator!=(const TimeRange& a, const TimeRange& b) { return !(a == b); }

} // namespace media
