#include "Platform/Foundation/Date.h"

#include <gtest/gtest.h>

#include <cmath>

using foundation::Date;

TEST(Date, BothEpochsDescribeTheSameInstant)
{
    // 2001-01-01T00:00:00Z is the platform's reference date.
    Date reference = Date::dateWithTimeIntervalSinceReferenceDate(0);
    EXPECT_DOUBLE_EQ(reference.timeIntervalSince1970(), 978307200.0);
    Date d = Date::dateWithTimeIntervalSince1970(1000.5);
    EXPECT_DOUBLE_EQ(d.timeIntervalSinceReferenceDate(), 1000.5 - 978307200.0);
    EXPECT_EQ(Date::dateWithTimeIntervalSinceReferenceDate(d.timeIntervalSinceReferenceDate()), d);
}

TEST(Date, ArithmeticAndOrdering)
{
    Date a = Date::dateWithTimeIntervalSince1970(100);
    Date b = a.dateByAddingTimeInterval(-30);
    EXPECT_DOUBLE_EQ(a.timeIntervalSinceDate(b), 30);
    EXPECT_DOUBLE_EQ(b.timeIntervalSinceDate(a), -30);
    EXPECT_LT(b, a);
    EXPECT_EQ(a.earlierDate(b), b);
    EXPECT_EQ(b.laterDate(a), a);
    EXPECT_LT(Date::distantPast(), b);
    EXPECT_GT(Date::distantFuture(), Date::now());
}

TEST(Date, NowIsTheWallClock)
{
    // Any date after 2020 proves the epoch is 1970 and the clock is not a steady one.
    EXPECT_GT(Date::now().timeIntervalSince1970(), 1577836800.0);
    EXPECT_LT(std::abs(Date::now().timeIntervalSinceNow()), 5.0);
}
