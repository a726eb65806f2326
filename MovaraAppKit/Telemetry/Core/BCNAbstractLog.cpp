#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"

#include <cstdio>
#include <cstdlib>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/JSON.h"

namespace {

bool sameDevice(const BCNDevicePtr& a, const BCNDevicePtr& b)
{
    if (!a || !b)
        return !a && !b;
    return a->isEqual(*b);
}

foundation::Value stringArray(const std::vector<std::string>& strings)
{
    foundation::Value array = foundation::Value::array();
    for (const auto& s : strings)
        array.append(s);
    return array;
}

} // namespace

std::optional<std::set<std::string>> BCNAbstractLog::transmissionTargetTokens() const
{
    std::lock_guard lock(m_tokensLock);
    return m_transmissionTargetTokens;
}

void BCNAbstractLog::addTransmissionTargetToken(const std::string& token)
{
    std::lock_guard lock(m_tokensLock);
    if (!m_transmissionTargetTokens)
        m_transmissionTargetTokens.emplace();
    m_transmissionTargetTokens->insert(token);
}

void BCNAbstractLog::setTransmissionTargetTokens(std::optional<std::set<std::string>> tokens)
{
    std::lock_guard lock(m_tokensLock);
    m_transmissionTargetTokens = std::move(tokens);
}

bool BCNAbstractLog::invalid(const std::string& field) const
{
    BCNLogVerbose("Beacon", className() + ": \"" + field + "\" is not valid.");
    return false;
}

bool BCNAbstractLog::isValid() const
{
    if (m_type.empty())
        return invalid("type");
    if (!m_timestamp)
        return invalid("timestamp");
    if (!m_device || !m_device->isValid())
        return invalid("device");
    return true;
}

foundation::Value BCNAbstractLog::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (!m_type.empty())
        dictionary.set("type", m_type);
    if (m_timestamp)
        dictionary.set("timestamp", BCNUtility::dateToISO8601(*m_timestamp));
    if (m_sid)
        dictionary.set("sid", *m_sid);
    if (m_distributionGroupId)
        dictionary.set("distributionGroupId", *m_distributionGroupId);
    if (m_userId)
        dictionary.set("userId", *m_userId);
    if (m_device)
        dictionary.set("device", m_device->serializeToDictionary());
    return dictionary;
}

std::optional<std::string> BCNAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const
{
    foundation::ErrorPtr error;
    std::string text = foundation::toJSON(serializeToDictionary(), prettyPrint, &error);
    if (error)
        return std::nullopt;
    return text;
}

bool BCNAbstractLog::isEqual(const BCNAbstractLog& other) const
{
    return m_tag == other.m_tag && m_type == other.m_type && m_timestamp == other.m_timestamp && m_sid == other.m_sid
        && m_distributionGroupId == other.m_distributionGroupId && m_userId == other.m_userId
        && sameDevice(m_device, other.m_device);
}

void BCNAbstractLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    if (!m_type.empty())
        coder.encodeString(m_type, "type");
    if (m_timestamp)
        coder.encodeDate(*m_timestamp, "timestamp");
    bcn::encodeString(coder, m_sid, "sid");
    bcn::encodeString(coder, m_distributionGroupId, "distributionGroupId");
    bcn::encodeString(coder, m_userId, "userId");
    if (m_device)
        coder.encodeObject(m_device, "device");
}

void BCNAbstractLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    m_type = coder.decodeString("type").value_or("");
    m_timestamp = coder.decodeDate("timestamp");
    m_sid = coder.decodeString("sid");
    m_distributionGroupId = coder.decodeString("distributionGroupId");
    m_userId = coder.decodeString("userId");
    m_device = std::dynamic_pointer_cast<BCNDevice>(coder.decodeObject("device"));
}

std::vector<std::shared_ptr<BCNCommonSchemaLog>> BCNAbstractLog::toCommonSchemaLogsWithFlags(BCNLogFlags flags)
{
    std::vector<std::shared_ptr<BCNCommonSchemaLog>> logs;
    const auto tokens = transmissionTargetTokens();
    if (!tokens)
        return logs;
    for (const auto& token : *tokens)
        if (auto log = toCommonSchemaLogForTargetToken(token, flags))
            logs.push_back(std::move(log));
    return logs;
}

std::shared_ptr<BCNCommonSchemaLog> BCNAbstractLog::toCommonSchemaLogForTargetToken(const std::string& token, BCNLogFlags flags)
{
    auto log = std::make_shared<BCNCommonSchemaLog>();
    log->setTransmissionTargetTokens(std::set<std::string> { token });
    log->ver = "3.0";
    log->setTimestamp(m_timestamp);
    log->iKey = BCNUtility::iKeyFromTargetToken(token);
    log->flags = static_cast<std::int64_t>(flags);
    log->ext = std::make_shared<BCNCSExtensions>();
    const BCNDevice empty;
    const BCNDevice& device = m_device ? *m_device : empty;

    auto protocol = std::make_shared<BCNProtocolExtension>();
    protocol->devMake = device.oemName;
    protocol->devModel = device.model;
    log->ext->protocolExt = protocol;

    auto user = std::make_shared<BCNUserExtension>();
    user->localId = BCNUserIdContext::prefixedUserIdFromUserId(m_userId);
    if (device.locale) {
        std::string locale = *device.locale;
        for (char& c : locale)
            if (c == '_')
                c = '-';
        user->locale = locale;
    }
    log->ext->userExt = user;

    auto os = std::make_shared<BCNOSExtension>();
    os->name = device.osName;
    os->ver = combineOsVersion(device.osVersion, device.osBuild);
    log->ext->osExt = os;

    auto app = std::make_shared<BCNAppExtension>();
    if (device.appNamespace)
        app->appId = "I:" + *device.appNamespace;
    app->ver = device.appVersion;
    if (const auto localizations = foundation::Bundle::preferredLocalizations(); !localizations.empty())
        app->locale = localizations.front();
    log->ext->appExt = app;

    auto net = std::make_shared<BCNNetExtension>();
    net->provider = device.carrierName;
    log->ext->netExt = net;

    auto sdk = std::make_shared<BCNSDKExtension>();
    sdk->libVer = combineSDKLibVer(device.sdkName, device.sdkVersion);
    log->ext->sdkExt = sdk;

    auto loc = std::make_shared<BCNLocExtension>();
    if (device.timeZoneOffset)
        loc->tz = convertTimeZoneOffsetToISO8601(static_cast<long>(*device.timeZoneOffset));
    log->ext->locExt = loc;

    log->ext->deviceExt = std::make_shared<BCNDeviceExtension>();
    return log;
}

std::optional<std::string> BCNAbstractLog::combineOsVersion(const std::optional<std::string>& version,
                                                            const std::optional<std::string>& build)
{
    // A build without a version says nothing a reader can place: leave the field out.
    if (!version || version->empty())
        return std::nullopt;
    std::string text = "Version " + *version;
    if (build && !build->empty())
        text += " (Build " + *build + ")";
    return text;
}

std::optional<std::string> BCNAbstractLog::combineSDKLibVer(const std::optional<std::string>& name,
                                                            const std::optional<std::string>& version)
{
    if (!name || name->empty() || !version || version->empty())
        return std::nullopt;
    return *name + "-" + *version;
}

std::string BCNAbstractLog::convertTimeZoneOffsetToISO8601(long offsetMinutes)
{
    // The sign comes from the whole offset, so -30 minutes reads -00:30 (not +00:30).
    const long magnitude = std::labs(offsetMinutes);
    char text[32];
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

// ---------------------------------------------------------------------------------------------

foundation::Value BCNLogWithProperties::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractLog::serializeToDictionary();
    if (m_properties && m_properties->size() > 0)
        dictionary.set("properties", *m_properties);
    return dictionary;
}

bool BCNLogWithProperties::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNLogWithProperties*>(&other);
    return that && BCNAbstractLog::isEqual(other) && m_properties == that->m_properties;
}

void BCNLogWithProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    if (m_properties)
        coder.encodeValue(*m_properties, "properties");
}

void BCNLogWithProperties::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    const foundation::Value properties = coder.decodeValue("properties");
    if (properties.isDictionary())
        m_properties = properties;
}

foundation::Value BCNStartServiceLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractLog::serializeToDictionary();
    dictionary.set("services", stringArray(m_services));
    return dictionary;
}

bool BCNStartServiceLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNStartServiceLog*>(&other);
    return that && BCNAbstractLog::isEqual(other) && m_services == that->m_services;
}

void BCNStartServiceLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    coder.encodeValue(stringArray(m_services), "services");
}

void BCNStartServiceLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    m_services.clear();
    const foundation::Value services = coder.decodeValue("services");
    if (services.isArray())
        for (const auto& name : services.asArray())
            if (name.isString())
                m_services.push_back(name.asString());
}

std::optional<foundation::Value> BCNCustomPropertiesLog::serializeProperty(const foundation::Value& value)
{
    switch (value.type()) {
    case foundation::Value::Type::Null: return foundation::Value::dictionary({ { "type", "clear" } });
    case foundation::Value::Type::Bool: return foundation::Value::dictionary({ { "type", "boolean" }, { "value", value } });
    case foundation::Value::Type::Integer:
    case foundation::Value::Type::Real: return foundation::Value::dictionary({ { "type", "number" }, { "value", value } });
    case foundation::Value::Type::Date:
        return foundation::Value::dictionary({ { "type", "dateTime" }, { "value", BCNUtility::dateToISO8601(value.asDate()) } });
    case foundation::Value::Type::String: return foundation::Value::dictionary({ { "type", "string" }, { "value", value } });
    default: return std::nullopt;
    }
}

bool BCNCustomPropertiesLog::isValid() const
{
    if (!BCNAbstractLog::isValid())
        return false;
    if (!m_properties || m_properties->size() == 0)
        return invalid("properties");
    return true;
}

foundation::Value BCNCustomPropertiesLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractLog::serializeToDictionary();
    if (!m_properties)
        return dictionary;
    foundation::Value array = foundation::Value::array();
    if (m_properties->isDictionary()) {
        for (const auto& [name, value] : m_properties->asDictionary()) {
            auto entry = serializeProperty(value);
            if (!entry)
                continue;
            entry->set("name", name);
            array.append(*entry);
        }
    }
    dictionary.set("properties", array);
    return dictionary;
}

bool BCNCustomPropertiesLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNCustomPropertiesLog*>(&other);
    return that && BCNAbstractLog::isEqual(other) && m_properties == that->m_properties;
}

void BCNCustomPropertiesLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    coder.encodeString(type(), "customProperties");
    if (m_properties)
        coder.encodeValue(*m_properties, "properties");
}

void BCNCustomPropertiesLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    if (auto type = coder.decodeString("customProperties"))
        setType(*type);
    const foundation::Value properties = coder.decodeValue("properties");
    if (properties.isDictionary())
        m_properties = properties;
}

BCN_REGISTER_CODING_CLASS(BCNAbstractLog, {})
BCN_REGISTER_CODING_CLASS(BCNLogWithProperties, { "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNStartServiceLog, { "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNCustomPropertiesLog, { "BCNAbstractLog" })
