#pragma once
// The record sent to the common-schema collector, one JSON object per line: its header fields,
// nine optional extensions and a data part. Records serialise only what is present (an
// extension with nothing set disappears) and archive under their JSON keys.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "Platform/Foundation/UUID.h"

// What every extension record and the data part share.
class BCNCSRecord : public foundation::Coding {
public:
    // None when no field is set.
    virtual std::optional<foundation::Value> serializeToDictionary() const = 0;
    virtual bool isValid() const { return true; }
    virtual bool isEqual(const BCNCSRecord& other) const = 0;
    virtual void initWithCoder(foundation::KeyedUnarchiver& coder) = 0;
};

// Records whose fields are all optional strings, listed in their JSON order.
template <class Self> class BCNCSStringRecord : public BCNCSRecord {
public:
    std::optional<foundation::Value> serializeToDictionary() const override
    {
        foundation::Value dictionary = foundation::Value::dictionary();
        for (const auto& [key, field] : Self::fields())
            if (static_cast<const Self*>(this)->*field)
                dictionary.set(key, *(static_cast<const Self*>(this)->*field));
        if (dictionary.size() == 0)
            return std::nullopt;
        return dictionary;
    }
    bool isEqual(const BCNCSRecord& other) const override
    {
        const auto* that = dynamic_cast<const Self*>(&other);
        if (!that)
            return false;
        for (const auto& [key, field] : Self::fields())
            if (static_cast<const Self*>(this)->*field != that->*field)
                return false;
        return true;
    }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        for (const auto& [key, field] : Self::fields())
            if (static_cast<const Self*>(this)->*field)
                coder.encodeString(*(static_cast<const Self*>(this)->*field), key);
    }
    void initWithCoder(foundation::KeyedUnarchiver& coder) override
    {
        for (const auto& [key, field] : Self::fields())
            static_cast<Self*>(this)->*field = coder.decodeString(key);
    }
};

#define BCN_CS_FIELDS(Self, ...)                                                                                     \
    using Field = std::pair<const char*, std::optional<std::string> Self::*>;                                         \
    static const std::vector<Field>& fields()                                                                         \
    {                                                                                                                 \
        static const std::vector<Field> list { __VA_ARGS__ };                                                         \
        return list;                                                                                                  \
    }                                                                                                                 \
    std::string className() const override { return #Self; }

class BCNAppExtension : public BCNCSStringRecord<BCNAppExtension> {
public:
    std::optional<std::string> appId, ver, name, locale, userId;
    BCN_CS_FIELDS(BCNAppExtension, { "id", &BCNAppExtension::appId }, { "ver", &BCNAppExtension::ver },
                  { "name", &BCNAppExtension::name }, { "locale", &BCNAppExtension::locale }, { "userId", &BCNAppExtension::userId })
};

class BCNDeviceExtension : public BCNCSStringRecord<BCNDeviceExtension> {
public:
    std::optional<std::string> localId;
    BCN_CS_FIELDS(BCNDeviceExtension, { "localId", &BCNDeviceExtension::localId })
};

class BCNLocExtension : public BCNCSStringRecord<BCNLocExtension> {
public:
    std::optional<std::string> tz;
    BCN_CS_FIELDS(BCNLocExtension, { "tz", &BCNLocExtension::tz })
};

class BCNNetExtension : public BCNCSStringRecord<BCNNetExtension> {
public:
    std::optional<std::string> provider;
    BCN_CS_FIELDS(BCNNetExtension, { "provider", &BCNNetExtension::provider })
};

class BCNOSExtension : public BCNCSStringRecord<BCNOSExtension> {
public:
    std::optional<std::string> ver, name;
    BCN_CS_FIELDS(BCNOSExtension, { "ver", &BCNOSExtension::ver }, { "name", &BCNOSExtension::name })
};

class BCNUserExtension : public BCNCSStringRecord<BCNUserExtension> {
public:
    std::optional<std::string> localId, locale;
    BCN_CS_FIELDS(BCNUserExtension, { "localId", &BCNUserExtension::localId }, { "locale", &BCNUserExtension::locale })
};

class BCNProtocolExtension : public BCNCSRecord {
public:
    std::optional<std::vector<std::string>> ticketKeys;
    std::optional<std::string> devMake, devModel;

    std::optional<foundation::Value> serializeToDictionary() const override;
    bool isEqual(const BCNCSRecord& other) const override;
    std::string className() const override { return "BCNProtocolExtension"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

class BCNSDKExtension : public BCNCSRecord {
public:
    std::optional<std::string> libVer, epoch;
    // Written only when not zero.
    std::int64_t seq = 0;
    std::optional<foundation::UUID> installId;

    std::optional<foundation::Value> serializeToDictionary() const override;
    bool isEqual(const BCNCSRecord& other) const override;
    std::string className() const override { return "BCNSDKExtension"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

// Its dictionary is the JSON object itself.
class BCNMetadataExtension : public BCNCSRecord {
public:
    std::optional<foundation::Value> metadata;

    std::optional<foundation::Value> serializeToDictionary() const override { return metadata; }
    bool isEqual(const BCNCSRecord& other) const override;
    std::string className() const override { return "BCNMetadataExtension"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

// The event's data tree; "baseType" and "baseData" come first in the JSON.
class BCNCSData : public BCNCSRecord {
public:
    std::optional<foundation::Value> properties;

    std::optional<foundation::Value> serializeToDictionary() const override;
    bool isEqual(const BCNCSRecord& other) const override;
    std::string className() const override { return "BCNCSData"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

class BCNCSExtensions : public foundation::Coding {
public:
    std::shared_ptr<BCNMetadataExtension> metadataExt;
    std::shared_ptr<BCNProtocolExtension> protocolExt;
    std::shared_ptr<BCNUserExtension> userExt;
    std::shared_ptr<BCNDeviceExtension> deviceExt;
    std::shared_ptr<BCNOSExtension> osExt;
    std::shared_ptr<BCNAppExtension> appExt;
    std::shared_ptr<BCNNetExtension> netExt;
    std::shared_ptr<BCNSDKExtension> sdkExt;
    std::shared_ptr<BCNLocExtension> locExt;

    // Always a dictionary, possibly empty.
    foundation::Value serializeToDictionary() const;
    bool isValid() const;
    bool isEqual(const BCNCSExtensions& other) const;
    std::string className() const override { return "BCNCSExtensions"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder);
};

class BCNCommonSchemaLog : public BCNAbstractLog {
public:
    std::optional<std::string> ver, name;
    double popSample = 0;
    std::optional<std::string> iKey;
    std::int64_t flags = 0;
    std::optional<std::string> cV;
    std::shared_ptr<BCNCSExtensions> ext;
    std::shared_ptr<BCNCSData> data;

    // "ver", "name", "time", "iKey", "flags" (when not zero), "ext", "data", in this order;
    // none of the base log's fields.
    foundation::Value serializeToDictionary() const override;
    // Timestamp, ver and name are required.
    bool isValid() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNCommonSchemaLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};
