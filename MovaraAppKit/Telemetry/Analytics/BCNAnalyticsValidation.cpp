// The checks the analytics service makes of names and properties before anything is stored.

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "Platform/Foundation/StringUtils.h"

namespace {

constexpr std::size_t kMaxNameLength = 256;
constexpr std::size_t kMaxPropertiesCount = 20;
constexpr std::size_t kMaxPropertyKeyLength = 125;
constexpr std::size_t kMaxPropertyValueLength = 125;

template <class Property> std::shared_ptr<BCNTypedProperty> copyOf(const BCNTypedProperty& property)
{
    const auto* typed = dynamic_cast<const Property*>(&property);
    if (!typed)
        return nullptr;
    auto copy = std::make_shared<Property>();
    copy->setValue(typed->value());
    return copy;
}

} // namespace

bool BCNAnalytics::channelUnitShouldFilterLog(BCNChannelUnitProtocol&, const BCNLogPtr& log)
{
    if (!dynamic_cast<BCNEventLog*>(log.get()) && !dynamic_cast<BCNPageLog*>(log.get()))
        return false;
    return !validateLog(static_cast<BCNLogWithNameAndProperties&>(*log));
}

bool BCNAnalytics::validateLog(BCNLogWithNameAndProperties& log) const
{
    const auto name = validateEventName(log.name(), log.type());
    if (!name)
        return false;
    log.setName(*name);
    if (log.properties())
        log.setProperties(validateProperties(*log.properties(), *name, log.type()));
    return true;
}

std::optional<std::string> BCNAnalytics::validateEventName(const std::optional<std::string>& name, const std::string& logType) const
{
    if (!name || name->empty()) {
        BCNLogError(logTag(), logType + " name cannot be null or empty");
        return std::nullopt;
    }
    if (foundation::utf16Length(*name) > kMaxNameLength) {
        BCNLogWarning(logTag(), logType + " '" + *name + "' : name length cannot be longer than " + std::to_string(kMaxNameLength)
                                    + " characters. Name will be truncated.");
        return BCNUtility::prefixUTF16(*name, kMaxNameLength);
    }
    return name;
}

foundation::Value BCNAnalytics::validateProperties(const foundation::Value& properties, const std::string& logName,
                                                   const std::string& logType) const
{
    return BCNUtility::validateProperties(properties, logName, logType);
}

BCNEventProperties BCNAnalytics::validateBeaconEventProperties(const BCNEventProperties& properties) const
{
    BCNEventProperties valid;
    for (const auto& [key, property] : properties.properties()) {
        if (valid.count() >= kMaxPropertiesCount) {
            BCNLogWarning(logTag(), "Typed properties cannot contain more than " + std::to_string(kMaxPropertiesCount)
                                        + " items. Skipping other properties.");
            break;
        }
        if (auto checked = validateBeaconTypedProperty(*property))
            valid.setProperty(*checked->name(), checked);
    }
    return valid;
}

std::shared_ptr<BCNTypedProperty> BCNAnalytics::validateBeaconTypedProperty(const BCNTypedProperty& property) const
{
    std::shared_ptr<BCNTypedProperty> copy;
    if (const auto* string = dynamic_cast<const BCNStringTypedProperty*>(&property)) {
        auto checked = std::make_shared<BCNStringTypedProperty>();
        if (string->value())
            checked->setValue(validateBeaconStringTypedPropertyValue(*string->value()));
        copy = checked;
    } else if (!(copy = copyOf<BCNBooleanTypedProperty>(property)) && !(copy = copyOf<BCNLongTypedProperty>(property))
               && !(copy = copyOf<BCNDoubleTypedProperty>(property)) && !(copy = copyOf<BCNDateTimeTypedProperty>(property))) {
        return nullptr;
    }
    copy->setName(validateBeaconPropertyName(property.name().value_or("")));
    return copy;
}

std::string BCNAnalytics::validateBeaconPropertyName(const std::string& name) const
{
    if (foundation::utf16Length(name) <= kMaxPropertyKeyLength)
        return name;
    BCNLogWarning(logTag(), "Typed property '" + name + "': key length cannot exceed " + std::to_string(kMaxPropertyKeyLength)
                                + " characters. Property value will be truncated.");
    return BCNUtility::prefixUTF16(name, kMaxPropertyKeyLength);
}

std::string BCNAnalytics::validateBeaconStringTypedPropertyValue(const std::string& value) const
{
    if (foundation::utf16Length(value) <= kMaxPropertyValueLength)
        return value;
    BCNLogWarning(logTag(), "Typed property value length cannot exceed " + std::to_string(kMaxPropertyValueLength)
                                + " characters. Property value will be truncated.");
    return BCNUtility::prefixUTF16(value, kMaxPropertyValueLength);
}
