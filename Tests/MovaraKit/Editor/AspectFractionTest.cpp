#include "MovaraKit/Editor/AspectFraction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

TEST(AspectFraction, FirstConvergentWithinTheError)
{
    struct Case {
        double value, error;
        uint64_t numerator, denominator;
    };
    const Case cases[] = {
        {16.0 / 9, 0.01, 16, 9},  {16.0 / 9, 0.03, 7, 4},       {4.0 / 3, 0.001, 4, 3},   {1.5, 1e-9, 3, 2},
        {2.0, 0.5, 2, 1},         {1.85, 0.001, 37, 20},         {2.39, 0.01, 12, 5},      {std::numbers::pi, 0.001, 333, 106},
        {std::numbers::pi, 1e-6, 355, 113}, {-0.75, 0.01, 3, 4}, {0, 0.1, 0, 1},           {1.999, 0.01, 2, 1},
    };
    for (const Case& c : cases) {
        auto f = findFraction(c.value, c.error);
        ASSERT_TRUE(f) << c.value;
        EXPECT_EQ(*f, (MVRFraction {c.numerator, c.denominator})) << c.value << " within " << c.error;
    }
}

TEST(AspectFraction, TheComparisonIsStrict)
{
    // 1.5 is exactly 0.5 from the first convergent 1/1, which therefore doesn't qualify.
    EXPECT_EQ(findFraction(1.5, 0.5), (MVRFraction {3, 2}));
    EXPECT_EQ(findFraction(1.5, 0.5000001), (MVRFraction {1, 1}));
}

TEST(AspectFraction, BrokenPreconditionsGiveNothing)
{
    EXPECT_FALSE(findFraction(NAN, 0.1));
    EXPECT_FALSE(findFraction(INFINITY, 0.1));
    EXPECT_FALSE(findFraction(1.5, 0));
    EXPECT_FALSE(findFraction(1.5, -1));
    EXPECT_FALSE(findFraction(1e300, 1e-300));
    EXPECT_FALSE(findFraction(1e-300, 1e-301)); // the second partial quotient is past 2^64
}
