#pragma once
// Fixed-format date parsing for web-service payloads and a short "how long ago" text. The
// shared formatters are made once and only read afterwards; any thread.

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/DateFormatter.h"

// en_US_POSIX, GMT: "EEE, dd MMM yyyy HH:mm:ss z" and "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'".
const foundation::DateFormatter& mvr_rfc822Formatter();
const foundation::DateFormatter& mvr_rfc3339Formatter();

// None unless the text matches the format exactly (no fractional seconds, no numeric offset
// in place of the RFC 3339 "Z").
std::optional<foundation::Date> mvr_dateFromRFC822(std::string_view text);
std::optional<foundation::Date> mvr_dateFromRFC3339(std::string_view text);

// "3 hours ago" for a past date (the largest whole unit from years down to seconds), "Now"
// for the present or the future; localized from the framework bundle.
std::string mvr_localizedStringRelativeToNow(const foundation::Date& date);
