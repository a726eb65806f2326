#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

std::string ISO8601(const foundation::Date& date)
{
    const double seconds = date.timeIntervalSince1970();
    const double whole = std::floor(seconds);
    std::time_t t = static_cast<std::time_t>(whole);
    std::tm utc {};
    gmtime_r(&t, &utc);
    int milliseconds = static_cast<int>(std::floor((seconds - whole) * 1000));
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

} // namespace

foundation::Value BCNAbstractLog::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (!m_type.empty())
        dictionary.set("type", m_type);
    if (m_timestamp)
        dictionary.set("timestamp", ISO8601(*m_timestamp));
    if (m_sid)
        dictionary.set("sid", *m_sid);
    if (m_userId)
        dictionary.set("userId", *m_userId);
    return dictionary;
}

foundation::Value BCNStartServiceLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractLog::serializeToDictionary();
    foundation::Value names = foundation::Value::array();
    for (const auto& name : m_services)
        names.append(name);
    dictionary.set("services", names);
    return dictionary;
}
