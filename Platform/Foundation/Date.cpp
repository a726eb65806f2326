#include "Platform/Foundation/Date.h"

#include <chrono>

namespace foundation {

Date Date::now()
{
    // The wall clock, not a steady one: dates are stored, compared with file dates and shown.
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return dateWithTimeIntervalSince1970(std::chrono::duration<double>(since).count());
}

double Date::timeIntervalSinceNow() const
{
    return timeIntervalSinceDate(now());
}

} // namespace foundation
