#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsTransmissionTarget.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <span>
#include <vector>
#include <fstream>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Digest.h"

namespace {

const std::string kTag = "BeaconAnalytics";

std::recursive_mutex& analyticsLock() { return BCNAnalytics::sharedInstance()->lock(); }

std::mutex& providerLock()
{
    static std::mutex lock;
    return lock;
}

std::shared_ptr<BCNAnalyticsAuthenticationProvider>& sharedProvider()
{
    static std::shared_ptr<BCNAnalyticsAuthenticationProvider> provider;
    return provider;
}

} // namespace

// MARK: - Property configurator

BCNPropertyConfigurator::BCNPropertyConfigurator(std::weak_ptr<BCNAnalyticsTransmissionTarget> target)
    : m_transmissionTarget(std::move(target))
{
}

void BCNPropertyConfigurator::setUserId(const std::optional<std::string>& userId)
{
    if (BCNUserIdContext::isUserIdValidForCollector(userId))
        m_userId = BCNUserIdContext::prefixedUserIdFromUserId(userId);
}

void BCNPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value, const std::optional<std::string>& key)
{
    std::lock_guard guard(analyticsLock());
    m_eventProperties.setString(value, key);
}

void BCNPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<std::string>& key)
{
    std::lock_guard guard(analyticsLock());
    m_eventProperties.setDouble(value, key);
}

void BCNPropertyConfigurator::setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key)
{
    std::lock_guard guard(analyticsLock());
    m_eventProperties.setInt64(value, key);
}

void BCNPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<std::string>& key)
{
    std::lock_guard guard(analyticsLock());
    m_eventProperties.setBool(value, key);
}

void BCNPropertyConfigurator::setEventPropertyDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key)
{
    std::lock_guard guard(analyticsLock());
    m_eventProperties.setDate(value, key);
}

void BCNPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key)
{
    if (!key) {
        BCNLogError(kTag, "Event property key to remove cannot be nil.");
        return;
    }
    std::lock_guard guard(analyticsLock());
    m_eventProperties.removePropertyForKey(*key);
}

BCNEventProperties BCNPropertyConfigurator::eventProperties() const
{
    std::lock_guard guard(analyticsLock());
    return m_eventProperties;
}

void BCNPropertyConfigurator::mergeTypedPropertiesWith(BCNEventProperties& properties) const
{
    std::lock_guard guard(analyticsLock());
    for (const auto& [key, property] : m_eventProperties.properties())
        if (!properties.propertyForKey(key))
            properties.setProperty(key, property);
}

void BCNPropertyConfigurator::collectDeviceId() { m_deviceId = getDeviceIdentifier(); }

std::optional<std::string> BCNPropertyConfigurator::getDeviceIdentifier()
{
    return getDeviceIdentifier("/etc/machine-id", foundation::Bundle::main()->bundleIdentifier());
}

namespace {

foundation::SHA256Bytes hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message)
{
    constexpr std::size_t block = 64;
    std::array<std::uint8_t, block> padded {};
    if (key.size() > block) {
        const auto digest = foundation::sha256(key);
        std::copy(digest.begin(), digest.end(), padded.begin());
    } else {
        std::copy(key.begin(), key.end(), padded.begin());
    }
    std::vector<std::uint8_t> inner(block), outer(block);
    for (std::size_t i = 0; i < block; ++i) {
        inner[i] = padded[i] ^ 0x36;
        outer[i] = padded[i] ^ 0x5c;
    }
    inner.insert(inner.end(), message.begin(), message.end());
    const auto innerDigest = foundation::sha256(inner);
    outer.insert(outer.end(), innerDigest.begin(), innerDigest.end());
    return foundation::sha256(outer);
}

} // namespace

std::optional<std::string> BCNPropertyConfigurator::getDeviceIdentifier(const std::string& machineIdPath, const std::string& applicationIdentifier)
{
    std::ifstream file(machineIdPath);
    std::string line;
    if (!file || !std::getline(file, line))
        return std::nullopt;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    if (line.size() != 32)
        return std::nullopt;
    std::array<std::uint8_t, 16> machineId {};
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (!std::isxdigit(c))
            return std::nullopt;
        const int nibble = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        machineId[i / 2] = static_cast<std::uint8_t>(machineId[i / 2] << 4 | nibble);
    }
    const auto appDigest = foundation::sha256(std::string_view(applicationIdentifier));
    const auto mac = hmacSHA256(machineId, std::span<const std::uint8_t>(appDigest.data(), 16));
    std::array<std::uint8_t, 16> id {};
    std::copy(mac.begin(), mac.begin() + 16, id.begin());
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string uuid;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            uuid += '-';
        uuid += digits[id[i] >> 4];
        uuid += digits[id[i] & 0x0F];
    }
    return "u:" + uuid;
}

void BCNPropertyConfigurator::channelPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    auto target = m_transmissionTarget.lock();
    auto csLog = std::dynamic_pointer_cast<BCNCommonSchemaLog>(log);
    if (!target || !csLog || log->tag().get() != static_cast<const void*>(target.get()) || !target->isEnabled())
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<BCNCSExtensions>();
    auto& ext = *csLog->ext;
    // Each field from the nearest target, going up the parents, that has a value for it.
    auto nearest = [&](auto get) -> std::optional<std::string> {
        for (auto t = target; t; t = t->parentTarget())
            if (auto value = get(*t->propertyConfigurator()))
                return value;
        return std::nullopt;
    };
    auto app = [&] () -> BCNAppExtension& {
        if (!ext.appExt)
            ext.appExt = std::make_shared<BCNAppExtension>();
        return *ext.appExt;
    };
    if (auto v = nearest([](const BCNPropertyConfigurator& c) { return c.appVersion(); }))
        app().ver = v;
    if (auto v = nearest([](const BCNPropertyConfigurator& c) { return c.appName(); }))
        app().name = v;
    if (auto v = nearest([](const BCNPropertyConfigurator& c) { return c.appLocale(); }))
        app().locale = v;
    if (auto v = nearest([](const BCNPropertyConfigurator& c) { return c.userId(); })) {
        if (!ext.userExt)
            ext.userExt = std::make_shared<BCNUserExtension>();
        ext.userExt->localId = v;
    }
    if (!ext.deviceExt)
        ext.deviceExt = std::make_shared<BCNDeviceExtension>();
    ext.deviceExt->localId = m_deviceId;
}

// MARK: - Transmission target

std::shared_ptr<BCNAnalyticsTransmissionTarget> BCNAnalyticsTransmissionTarget::make(const std::string& token,
                                                                                     std::shared_ptr<BCNAnalyticsTransmissionTarget> parent,
                                                                                     std::shared_ptr<BCNChannelGroupProtocol> channelGroup)
{
    std::shared_ptr<BCNAnalyticsTransmissionTarget> target(new BCNAnalyticsTransmissionTarget());
    target->m_propertyConfigurator = std::make_shared<BCNPropertyConfigurator>(target);
    target->m_channelGroup = channelGroup;
    target->m_parentTarget = parent;
    target->m_token = token;
    target->m_isEnabledKey = BCNAnalytics::sharedInstance()->serviceEnabledKey() + "/" + BCNUtility::targetKeyFromTargetToken(token).value_or("");
    if (!target->isImmediateParent())
        BCNBeaconUserDefaults::shared().setObjectForKey(false, target->m_isEnabledKey);
    if (channelGroup) {
        channelGroup->addDelegate(target->m_propertyConfigurator);
        channelGroup->addDelegate(target);
    }
    return target;
}

void BCNAnalyticsTransmissionTarget::trackEvent(const std::string& eventName) { trackEvent(eventName, std::nullopt); }

void BCNAnalyticsTransmissionTarget::trackEvent(const std::string& eventName, const std::optional<std::map<std::string, std::string>>& properties,
                                                BCNLogFlags flags)
{
    std::optional<BCNEventProperties> typed;
    if (properties) {
        typed.emplace();
        for (const auto& [key, value] : *properties)
            typed->setString(value, key);
    }
    trackEventWithTypedProperties(eventName, typed, flags);
}

void BCNAnalyticsTransmissionTarget::trackEventWithTypedProperties(const std::string& eventName,
                                                                   const std::optional<BCNEventProperties>& properties, BCNLogFlags flags)
{
    // The nearest target's value wins for a key, and the event's own values win over all.
    BCNEventProperties merged;
    for (auto t = shared_from_this(); t; t = t->parentTarget())
        t->m_propertyConfigurator->mergeTypedPropertiesWith(merged);
    if (properties)
        merged.mergeEventProperties(*properties);
    std::optional<BCNEventProperties> toSend;
    if (properties || !merged.isEmpty())
        toSend = std::move(merged);
    BCNAnalytics::trackEventWithTypedProperties(eventName, toSend, shared_from_this(), flags);
}

std::shared_ptr<BCNAnalyticsTransmissionTarget> BCNAnalyticsTransmissionTarget::transmissionTargetForToken(const std::string& token)
{
    auto& child = m_childTransmissionTargets[token];
    if (!child)
        child = make(token, shared_from_this(), m_channelGroup.lock());
    return child;
}

bool BCNAnalyticsTransmissionTarget::isImmediateParent() const
{
    if (auto parent = parentTarget())
        return parent->isEnabled();
    return BCNAnalytics::isServiceEnabled();
}

bool BCNAnalyticsTransmissionTarget::isEnabled() const
{
    std::lock_guard guard(analyticsLock());
    const auto value = BCNBeaconUserDefaults::shared().objectForKey(m_isEnabledKey);
    return value.isNumber() ? value.asBool() : true;
}

void BCNAnalyticsTransmissionTarget::setEnabled(bool enabled)
{
    std::lock_guard guard(analyticsLock());
    if (enabled != isEnabled()) {
        if (enabled && !isImmediateParent()) {
            BCNLogWarning(kTag, "Can't enable; parent transmission target and/or Analytics service is disabled.");
            return;
        }
        BCNBeaconUserDefaults::shared().setObjectForKey(enabled, m_isEnabledKey);
        if (enabled)
            resume();
    }
    for (const auto& [token, child] : m_childTransmissionTargets)
        child->setEnabled(enabled);
}

void BCNAnalyticsTransmissionTarget::pause()
{
    if (!isEnabled()) {
        BCNLogError(kTag, "This transmission target is disabled.");
        return;
    }
    BCNAnalytics::pauseTransmissionTargetForToken(m_token);
}

void BCNAnalyticsTransmissionTarget::resume()
{
    if (!isEnabled()) {
        BCNLogError(kTag, "This transmission target is disabled.");
        return;
    }
    BCNAnalytics::resumeTransmissionTargetForToken(m_token);
}

void BCNAnalyticsTransmissionTarget::addAuthenticationProvider(const std::shared_ptr<BCNAnalyticsAuthenticationProvider>& provider)
{
    if (!provider) {
        BCNLogError(kTag, "Authentication provider may not be null.");
        return;
    }
    {
        std::lock_guard guard(providerLock());
        sharedProvider() = provider;
    }
    provider->acquireTokenAsync();
}

std::shared_ptr<BCNAnalyticsAuthenticationProvider> BCNAnalyticsTransmissionTarget::authenticationProvider()
{
    std::lock_guard guard(providerLock());
    return sharedProvider();
}

void BCNAnalyticsTransmissionTarget::setAuthenticationProvider(std::shared_ptr<BCNAnalyticsAuthenticationProvider> provider)
{
    std::lock_guard guard(providerLock());
    sharedProvider() = std::move(provider);
}

void BCNAnalyticsTransmissionTarget::channelPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    auto csLog = std::dynamic_pointer_cast<BCNCommonSchemaLog>(log);
    const auto tokens = log ? log->transmissionTargetTokens() : std::nullopt;
    if (!csLog || !tokens || !tokens->contains(m_token) || !isEnabled())
        return;
    auto provider = authenticationProvider();
    if (!provider)
        return;
    // Without a ticket key there is nothing to name; the expiry check still runs.
    if (const auto& hash = provider->ticketKeyHash()) {
        if (!csLog->ext)
            csLog->ext = std::make_shared<BCNCSExtensions>();
        if (!csLog->ext->protocolExt)
            csLog->ext->protocolExt = std::make_shared<BCNProtocolExtension>();
        csLog->ext->protocolExt->ticketKeys = std::vector<std::string> { *hash };
    }
    provider->checkTokenExpiry();
}
