#pragma once
// A point in time as seconds since 1970-01-01 00:00:00 UTC (a plain value, freely copied and
// shared between threads). The platform's own epoch is 2001-01-01; both are offered.

#include <compare>

namespace foundation {

class Date {
public:
    // Seconds from 1970-01-01 to 2001-01-01 (the reference date).
    static constexpr double TimeIntervalSince1970AtReferenceDate = 978307200.0;

    constexpr Date() = default;

    static Date now();
    static constexpr Date dateWithTimeIntervalSince1970(double seconds) { return Date(seconds); }
    static constexpr Date dateWithTimeIntervalSinceReferenceDate(double seconds)
    {
        return Date(seconds + TimeIntervalSince1970AtReferenceDate);
    }
    // Far past and far future sentinels (year 1 and year 4001), as the platform defines them.
    static constexpr Date distantPast() { return dateWithTimeIntervalSinceReferenceDate(-63114076800.0); }
    static constexpr Date distantFuture() { return dateWithTimeIntervalSinceReferenceDate(63113904000.0); }

    constexpr double timeIntervalSince1970() const { return m_seconds; }
    constexpr double timeIntervalSinceReferenceDate() const
    {
        return m_seconds - TimeIntervalSince1970AtReferenceDate;
    }
    // Seconds from `other` to this date (positive when this date is later).
    constexpr double timeIntervalSinceDate(const Date& other) const { return m_seconds - other.m_seconds; }
    // Seconds from now to this date (negative for dates in the past).
    double timeIntervalSinceNow() const;
    constexpr Date dateByAddingTimeInterval(double seconds) const { return Date(m_seconds + seconds); }

    constexpr Date earlierDate(const Date& other) const { return other < *this ? other : *this; }
    constexpr Date laterDate(const Date& other) const { return other > *this ? other : *this; }

    constexpr auto operator<=>(const Date&) const = default;
    constexpr bool operator==(const Date&) const = default;

private:
    constexpr explicit Date(double seconds) : m_seconds(seconds) { }

    double m_seconds = 0;
};

} // namespace foundation
