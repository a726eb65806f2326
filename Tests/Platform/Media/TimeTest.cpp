#include "Platform/Media/Time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace media;

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

Time T(int64_t v, int32_t ts) { return Time::make(v, ts); }

// Checks the exact representation, not just numeric equality: the timescale a result lands in
// is part of the contract (writers store it in files).
void expectExact(const Time& actual, const Time& expected, const char* what)
{
    EXPECT_EQ(actual.flags, expected.flags) << what << ": " << actual.description();
    if (expected.isNumeric()) {
        EXPECT_EQ(actual.value, expected.value) << what << ": " << actual.description();
        EXPECT_EQ(actual.timescale, expected.timescale) << what << ": " << actual.description();
    }
}

Time rounded(Time t)
{
    t.flags |= TimeFlagHasBeenRounded;
    return t;
}

} // namespace

TEST(Time, MakeRejectsNonPositiveTimescales)
{
    EXPECT_FALSE(T(1, 0).isValid());
    EXPECT_FALSE(T(1, -600).isValid());
    EXPECT_TRUE(T(0, 1).isNumeric());
    EXPECT_TRUE(std::isnan(Time::invalid().seconds()));
    EXPECT_TRUE(std::isnan(Time::indefinite().seconds()));
    EXPECT_EQ(Time::positiveInfinity().seconds(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(Time::negativeInfinity().seconds(), -std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(T(20, 600).seconds(), 20.0 / 600.0);
}

TEST(Time, MakeWithSecondsRoundsToNearestAndHalvesTheTimescaleWhenNeeded)
{
    struct Case {
        double seconds;
        int32_t timescale;
        Time expected;
    } cases[] = {
        {0.5, 600, T(300, 600)},
        {0.5, 3, rounded(T(2, 3))}, // half away from zero
        {-0.5, 3, rounded(T(-2, 3))},
        {-0.0025, 1000, rounded(T(-3, 1000))},
        {0.0004, 1000, rounded(T(0, 1000))},
        {std::nan(""), 600, Time::invalid()},
        {INFINITY, 600, Time::positiveInfinity()},
        {-INFINITY, 600, Time::negativeInfinity()},
        {1.0, 0, Time::invalid()},
        {1e300, 600, Time::positiveInfinity()},
        {-1e300, 600, Time::negativeInfinity()},
    };
    for (const auto& c : cases)
        expectExact(Time::makeWithSeconds(c.seconds, c.timescale), c.expected, "makeWithSeconds");

    // Too fine for the value: the timescale shrinks instead of the value wrapping around.
    const Time big = Time::makeWithSeconds(1e15, 1000000000);
    ASSERT_TRUE(big.isNumeric());
    EXPECT_TRUE(big.hasBeenRounded());
    EXPECT_LT(big.timescale, 1000000000);
    EXPECT_NEAR(big.seconds(), 1e15, 1.0);
}

TEST(Time, CompareOrdersNonNumericTimesAroundTheNumbers)
{
    std::vector<Time> sorted = {Time::negativeInfinity(), T(-1, 1), T(1, 3), T(1, 2),
                                Time::indefinite(), Time::positiveInfinity(), Time::invalid()};
    std::vector<Time> shuffled = {sorted[4], sorted[6], sorted[1], sorted[5], sorted[3], sorted[0], sorted[2]};
    std::sort(shuffled.begin(), shuffled.end(), [](const Time& a, const Time& b) { return compare(a, b) < 0; });
    for (size_t i = 0; i < sorted.size(); ++i)
        EXPECT_EQ(compare(shuffled[i], sorted[i]), 0) << i << ": " << shuffled[i].description();

    EXPECT_EQ(compare(Time::invalid(), Time::invalid()), 0);
    EXPECT_EQ(compare(T(1, 2), T(300, 600)), 0);
    EXPECT_EQ(compare(T(kMax, 1), T(kMax, 2)), 1); // no overflow in the cross products
    EXPECT_EQ(compare(T(kMin, 3), T(kMax, 7)), -1);
    EXPECT_EQ(compare(Time::makeWithEpoch(5, 1, 0), Time::makeWithEpoch(1, 1, 1)), -1);
}

TEST(Time, AdditionAndSubtractionTable)
{
    struct Case {
        const char* name;
        Time a, b;
        Time sum, difference;
    } cases[] = {
        {"same timescale", T(1, 600), T(2, 600), T(3, 600), T(-1, 600)},
        {"least common multiple", T(1, 2), T(1, 3), T(5, 6), T(1, 6)},
        {"lcm of 600 and 90000", T(20, 600), T(3000, 90000), T(6000, 90000), T(0, 90000)},
        {"lcm too large rounds into the maximum", T(1, 2147483629), T(1, 2147483587),
         rounded(T(2, MaxTimescale)), rounded(T(0, MaxTimescale))},
        {"indefinite wins over numbers", Time::indefinite(), T(1, 1), Time::indefinite(), Time::indefinite()},
        {"invalid wins over everything", Time::invalid(), Time::indefinite(), Time::invalid(), Time::invalid()},
        {"+inf and a number", Time::positiveInfinity(), T(5, 1), Time::positiveInfinity(), Time::positiveInfinity()},
        {"a number and +inf", T(5, 1), Time::positiveInfinity(), Time::positiveInfinity(), Time::negativeInfinity()},
        {"+inf and +inf", Time::positiveInfinity(), Time::positiveInfinity(), Time::positiveInfinity(),
         Time::invalid()},
        {"+inf and -inf", Time::positiveInfinity(), Time::negativeInfinity(), Time::invalid(),
         Time::positiveInfinity()},
        {"different epochs", Time::makeWithEpoch(1, 1, 0), Time::makeWithEpoch(1, 1, 1), Time::invalid(),
         Time::invalid()},
        {"overflow at timescale 1", T(kMax, 1), T(1, 1), Time::positiveInfinity(), T(kMax - 1, 1)},
        {"underflow at timescale 1", T(kMin, 1), T(-1, 1), Time::negativeInfinity(), T(kMin + 1, 1)},
        {"overflow halves the timescale", T(kMax, 600), T(600, 600), rounded(T(kMax / 2 + 301, 300)),
         T(kMax - 600, 600)},
    };
    for (const auto& c : cases) {
        expectExact(add(c.a, c.b), c.sum, c.name);
        expectExact(subtract(c.a, c.b), c.difference, c.name);
    }
}

TEST(Time, RoundingFlagIsKeptThroughArithmetic)
{
    const Time r = Time::makeWithSeconds(1.0 / 3.0, 600);
    ASSERT_TRUE(r.hasBeenRounded());
    EXPECT_TRUE(add(r, T(1, 600)).hasBeenRounded());
    EXPECT_TRUE(multiply(r, 2).hasBeenRounded());
    EXPECT_FALSE(add(T(1, 600), T(1, 600)).hasBeenRounded());
}

TEST(Time, MultiplicationTable)
{
    struct Case {
        const char* name;
        Time actual, expected;
    } cases[] = {
        {"frame index", multiply(T(20, 600), 3), T(60, 600)},
        {"negative multiplier", multiply(T(20, 600), -2), T(-40, 600)},
        {"+inf by negative", multiply(Time::positiveInfinity(), -2), Time::negativeInfinity()},
        {"infinity by zero", multiply(Time::positiveInfinity(), 0), Time::invalid()},
        {"indefinite stays", multiply(Time::indefinite(), 3), Time::indefinite()},
        {"overflow halves", multiply(T(kMax, 1000), 2), rounded(T(kMax, 500))},
        {"overflow at 1", multiply(T(kMax, 1), 2), Time::positiveInfinity()},
        {"ratio exact", multiplyByRatio(T(30, 600), 2, 3), T(20, 600)},
        {"ratio rounds", multiplyByRatio(T(10, 600), 1, 3), rounded(T(3, 600))},
        {"ratio negative divisor", multiplyByRatio(T(30, 600), 1, -3), T(-10, 600)},
        {"ratio zero divisor", multiplyByRatio(T(30, 600), 1, 0), Time::invalid()},
        {"float exact", multiplyByFloat64(T(30, 600), 1.5), T(45, 600)},
        {"float rounds", multiplyByFloat64(T(1, 600), 0.5), rounded(T(1, 600))},
        {"float NaN", multiplyByFloat64(T(1, 600), std::nan("")), Time::invalid()},
        {"float infinity", multiplyByFloat64(T(-1, 600), INFINITY), Time::negativeInfinity()},
        {"float overflow halves", multiplyByFloat64(T(kMax / 2, 1000), 4.0), rounded(T(kMax / 2 * 2, 500))},
    };
    for (const auto& c : cases)
        expectExact(c.actual, c.expected, c.name);
}

TEST(Time, ConvertScaleRoundsByMethod)
{
    using R = RoundingMethod;
    struct Case {
        Time t;
        int32_t scale;
        R method;
        Time expected;
    } cases[] = {
        {T(1, 3), 600, R::Default, T(200, 600)},
        {T(1, 2), 1, R::RoundHalfAwayFromZero, rounded(T(1, 1))},
        {T(-1, 2), 1, R::RoundHalfAwayFromZero, rounded(T(-1, 1))},
        {T(-1, 2), 1, R::RoundTowardZero, rounded(T(0, 1))},
        {T(1, 600), 1, R::RoundAwayFromZero, rounded(T(1, 1))},
        {T(-1, 2), 1, R::RoundTowardPositiveInfinity, rounded(T(0, 1))},
        {T(-1, 2), 1, R::RoundTowardNegativeInfinity, rounded(T(-1, 1))},
        {T(599, 600), 1, R::QuickTime, rounded(T(0, 1))},       // coarser: toward zero
        {T(2, 3), 2, R::QuickTime, rounded(T(1, 2))},           // coarser: toward zero
        {T(1, 3), 7, R::QuickTime, rounded(T(2, 7))},           // finer: half away from zero
        {T(kMax, 1), 2, R::Default, Time::positiveInfinity()}, // cannot be held at all
        {T(5, 1), 0, R::Default, Time::invalid()},
        {Time::indefinite(), 600, R::Default, Time::indefinite()},
    };
    for (const auto& c : cases)
        expectExact(c.t.convertScale(c.scale, c.method), c.expected, c.t.description().c_str());
}

TEST(Time, MinimumMaximumAndAbsoluteValue)
{
    expectExact(minimum(T(1, 2), T(1, 3)), T(1, 3), "min");
    expectExact(maximum(T(1, 2), T(1, 3)), T(1, 2), "max");
    expectExact(minimum(Time::invalid(), T(1, 3)), Time::invalid(), "min of invalid");
    expectExact(maximum(Time::positiveInfinity(), Time::invalid()), Time::invalid(), "max of invalid");
    expectExact(minimum(Time::negativeInfinity(), T(1, 3)), Time::negativeInfinity(), "min of -inf");
    expectExact(absoluteValue(T(-5, 600)), T(5, 600), "abs");
    expectExact(absoluteValue(Time::negativeInfinity()), Time::positiveInfinity(), "abs -inf");
    expectExact(absoluteValue(T(kMin, 2)), rounded(T(kMax / 2 + 1, 1)), "abs of the most negative value");
}

TEST(TimeRange, ValidityEmptinessAndEnd)
{
    const TimeRange r = TimeRange::make(T(10, 1), T(5, 1));
    EXPECT_TRUE(r.isValid());
    EXPECT_FALSE(r.isEmpty());
    EXPECT_EQ(r.end(), T(15, 1));
    EXPECT_EQ(TimeRange::fromTimeToTime(T(1, 2), T(3, 2)), TimeRange::make(T(1, 2), T(1, 1)));

    EXPECT_FALSE(TimeRange::invalid().isValid());
    EXPECT_FALSE(TimeRange::make(T(0, 1), T(-1, 1)).isValid());
    EXPECT_FALSE(TimeRange::make(T(0, 1), Time::negativeInfinity()).isValid());
    EXPECT_FALSE(TimeRange::make(T(0, 1), Time::makeWithEpoch(1, 1, 3)).isValid());
    EXPECT_TRUE(TimeRange::zero().isEmpty());
    EXPECT_TRUE(TimeRange::make(T(0, 1), Time::indefinite()).isIndefinite());
    EXPECT_FALSE(TimeRange::invalid().end().isValid());
    EXPECT_EQ(TimeRange::make(T(0, 1), Time::positiveInfinity()).end(), Time::positiveInfinity());
}

TEST(TimeRange, ContainmentIsHalfOpen)
{
    const TimeRange r = TimeRange::make(T(10, 1), T(5, 1));
    struct Case {
        Time t;
        bool inside;
    } cases[] = {
        {T(10, 1), true}, {T(29, 2), true},       {T(15, 1), false},     {T(9, 1), false},
        {Time::invalid(), false}, {Time::positiveInfinity(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(r.containsTime(c.t), c.inside) << c.t.description();
    EXPECT_FALSE(TimeRange::zero().containsTime(T(0, 1)));
    EXPECT_TRUE(TimeRange::make(T(0, 1), Time::positiveInfinity()).containsTime(T(kMax, 1)));

    EXPECT_TRUE(r.containsTimeRange(TimeRange::make(T(10, 1), T(5, 1))));
    EXPECT_TRUE(r.containsTimeRange(TimeRange::make(T(12, 1), T(1, 1))));
    EXPECT_FALSE(r.containsTimeRange(TimeRange::make(T(12, 1), T(4, 1))));
    EXPECT_FALSE(r.containsTimeRange(TimeRange::invalid()));
}

TEST(TimeRange, IntersectionAndUnion)
{
    const TimeRange a = TimeRange::make(T(0, 1), T(10, 1));
    const TimeRange b = TimeRange::make(T(5, 1), T(10, 1));
    const TimeRange far = TimeRange::make(T(20, 1), T(1, 1));
    EXPECT_EQ(a.intersection(b), TimeRange::make(T(5, 1), T(5, 1)));
    EXPECT_EQ(a.unionWith(b), TimeRange::make(T(0, 1), T(15, 1)));
    EXPECT_EQ(a.intersection(far), TimeRange::zero());
    EXPECT_EQ(a.unionWith(far), TimeRange::make(T(0, 1), T(21, 1)));
    EXPECT_FALSE(a.intersection(TimeRange::invalid()).isValid());
    EXPECT_FALSE(a.unionWith(TimeRange::invalid()).isValid());

    // Building a track's span from its edits starts from the zero range, so an empty edit at
    // the front still counts: 2 s of empty edit then 10 s of media cover 0..12 s.
    const TimeRange media = TimeRange::make(T(2, 1), T(10, 1));
    EXPECT_EQ(TimeRange::zero().unionWith(media), TimeRange::make(T(0, 1), T(12, 1)));

    // Mixed timescales stay exact.
    const TimeRange frames = TimeRange::make(T(0, 600), T(60, 600));
    EXPECT_EQ(frames.unionWith(TimeRange::make(T(1, 30), T(1, 30))).end(), T(1, 10));
}
