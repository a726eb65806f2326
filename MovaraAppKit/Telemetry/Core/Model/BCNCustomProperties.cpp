#include "MovaraAppKit/Telemetry/Core/Model/BCNCustomProperties.h"

#include <algorithm>
#include <cmath>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/StringUtils.h"

namespace {

constexpr std::size_t kMaxLength = 128;
constexpr std::size_t kMaxCount = 60;
const std::string kKeyPattern = "^[a-zA-Z][a-zA-Z0-9]*$";

// What the pattern above says: an ASCII letter, then ASCII letters and digits.
bool matchesKeyPattern(const std::string& key)
{
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (key.empty() || !isLetter(key[0]))
        return false;
    return std::all_of(key.begin(), key.end(), [&](char c) { return isLetter(c) || (c >= '0' && c <= '9'); });
}

} // namespace

bool BCNCustomProperties::isValidKey(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    return isValidKeyLocked(key);
}

bool BCNCustomProperties::isValidKeyLocked(const std::string& key) const
{
    if (!matchesKeyPattern(key)) {
        BCNLogError("Beacon", "Custom property \"" + key + "\" must match \"" + kKeyPattern + "\"");
        return false;
    }
    if (key.size() > kMaxLength) {
        BCNLogError("Beacon", "Custom property \"" + key + "\" length cannot be longer than \"" + std::to_string(kMaxLength) + "\" characters.");
        return false;
    }
    if (m_properties.contains(key)) {
        BCNLogWarning("Beacon", "Custom property \"" + key + "\" is already set or cleared and will be overridden.");
        return true;
    }
    if (m_properties.size() >= kMaxCount) {
        BCNLogError("Beacon", "Custom properties cannot contain more than \"" + std::to_string(kMaxCount) + "\" items.");
        return false;
    }
    return true;
}

bool BCNCustomProperties::isValidValue(const foundation::Value& value)
{
    if (value.isNull()) {
        BCNLogError("Beacon", "Custom property value cannot be null, did you mean to call clear?");
        return false;
    }
    if (value.isString() && foundation::utf16Length(value.asString()) > kMaxLength) {
        BCNLogError("Beacon", "Custom property value length cannot be longer than \"" + std::to_string(kMaxLength) + "\" characters.");
        return false;
    }
    if (value.isReal() && !std::isfinite(value.asDouble())) {
        BCNLogError("Beacon", "Custom property value cannot be NaN or infinite.");
        return false;
    }
    return true;
}

BCNCustomProperties& BCNCustomProperties::setObject(const foundation::Value& value, const std::string& key)
{
    std::lock_guard lock(m_mutex);
    if (isValidKeyLocked(key) && isValidValue(value))
        m_properties.set(key, value);
    return *this;
}

BCNCustomProperties& BCNCustomProperties::clearPropertyForKey(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    if (isValidKeyLocked(key))
        m_properties.set(key, foundation::Value());
    return *this;
}

foundation::Value BCNCustomProperties::propertiesImmutableCopy() const
{
    std::lock_guard lock(m_mutex);
    return m_properties;
}
