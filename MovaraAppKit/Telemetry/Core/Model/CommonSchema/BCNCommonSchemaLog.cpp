#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

namespace {

template <class T> bool sameRecord(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b)
{
    if (!a || !b)
        return !a && !b;
    return a->isEqual(*b);
}

template <class T> std::shared_ptr<T> decodeRecord(foundation::KeyedUnarchiver& coder, const char* key)
{
    return std::dynamic_pointer_cast<T>(coder.decodeObject(key));
}

} // namespace

std::optional<foundation::Value> BCNProtocolExtension::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (ticketKeys) {
        foundation::Value keys = foundation::Value::array();
        for (const auto& key : *ticketKeys)
            keys.append(key);
        dictionary.set("ticketKeys", keys);
    }
    if (devMake)
        dictionary.set("devMake", *devMake);
    if (devModel)
        dictionary.set("devModel", *devModel);
    if (dictionary.size() == 0)
        return std::nullopt;
    return dictionary;
}

bool BCNProtocolExtension::isEqual(const BCNCSRecord& other) const
{
    const auto* that = dynamic_cast<const BCNProtocolExtension*>(&other);
    return that && ticketKeys == that->ticketKeys && devMake == that->devMake && devModel == that->devModel;
}

void BCNProtocolExtension::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    if (ticketKeys) {
        foundation::Value keys = foundation::Value::array();
        for (const auto& key : *ticketKeys)
            keys.append(key);
        coder.encodeValue(keys, "ticketKeys");
    }
    bcn::encodeString(coder, devMake, "devMake");
    bcn::encodeString(coder, devModel, "devModel");
}

void BCNProtocolExtension::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    const foundation::Value keys = coder.decodeValue("ticketKeys");
    if (keys.isArray()) {
        ticketKeys.emplace();
        for (const auto& key : keys.asArray())
            if (key.isString())
                ticketKeys->push_back(key.asString());
    }
    devMake = coder.decodeString("devMake");
    devModel = coder.decodeString("devModel");
}

std::optional<foundation::Value> BCNSDKExtension::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (libVer)
        dictionary.set("libVer", *libVer);
    if (epoch)
        dictionary.set("epoch", *epoch);
    if (seq != 0)
        dictionary.set("seq", seq);
    if (installId)
        dictionary.set("installId", installId->UUIDString());
    if (dictionary.size() == 0)
        return std::nullopt;
    return dictionary;
}

bool BCNSDKExtension::isEqual(const BCNCSRecord& other) const
{
    const auto* that = dynamic_cast<const BCNSDKExtension*>(&other);
    return that && libVer == that->libVer && epoch == that->epoch && seq == that->seq && installId == that->installId;
}

void BCNSDKExtension::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    bcn::encodeString(coder, libVer, "libVer");
    bcn::encodeString(coder, epoch, "epoch");
    coder.encodeInt64(seq, "seq");
    if (installId)
        coder.encodeString(installId->UUIDString(), "installId");
}

void BCNSDKExtension::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    libVer = coder.decodeString("libVer");
    epoch = coder.decodeString("epoch");
    seq = coder.decodeInt64("seq");
    if (auto text = coder.decodeString("installId"))
        installId = foundation::UUID::fromString(*text);
}

bool BCNMetadataExtension::isEqual(const BCNCSRecord& other) const
{
    const auto* that = dynamic_cast<const BCNMetadataExtension*>(&other);
    return that && metadata == that->metadata;
}

void BCNMetadataExtension::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    if (metadata)
        coder.encodeValue(*metadata, "metadata");
}

void BCNMetadataExtension::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    const foundation::Value value = coder.decodeValue("metadata");
    if (value.isDictionary())
        metadata = value;
}

std::optional<foundation::Value> BCNCSData::serializeToDictionary() const
{
    if (!properties)
        return std::nullopt;
    foundation::Value dictionary = foundation::Value::dictionary();
    for (const char* first : { "baseType", "baseData" })
        if (const auto* value = properties->find(first))
            dictionary.set(first, *value);
    if (properties->isDictionary())
        for (const auto& [key, value] : properties->asDictionary())
            if (key != "baseType" && key != "baseData")
                dictionary.set(key, value);
    return dictionary;
}

bool BCNCSData::isEqual(const BCNCSRecord& other) const
{
    const auto* that = dynamic_cast<const BCNCSData*>(&other);
    return that && properties == that->properties;
}

void BCNCSData::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    if (properties)
        coder.encodeValue(*properties, "properties");
}

void BCNCSData::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    const foundation::Value value = coder.decodeValue("properties");
    if (value.isDictionary())
        properties = value;
}

namespace {

// The extensions in their checking order, with their keys and property names.
template <class F> void forEachExtension(const BCNCSExtensions& e, F&& f)
{
    f("metadata", "metadataExt", e.metadataExt.get());
    f("protocol", "protocolExt", e.protocolExt.get());
    f("user", "userExt", e.userExt.get());
    f("device", "deviceExt", e.deviceExt.get());
    f("os", "osExt", e.osExt.get());
    f("app", "appExt", e.appExt.get());
    f("net", "netExt", e.netExt.get());
    f("sdk", "sdkExt", e.sdkExt.get());
    f("loc", "locExt", e.locExt.get());
}

} // namespace

foundation::Value BCNCSExtensions::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    forEachExtension(*this, [&](const char* key, const char*, const BCNCSRecord* record) {
        if (!record)
            return;
        if (auto value = record->serializeToDictionary())
            dictionary.set(key, *value);
    });
    return dictionary;
}

bool BCNCSExtensions::isValid() const
{
    bool valid = true;
    forEachExtension(*this, [&](const char*, const char* property, const BCNCSRecord* record) {
        if (valid && record && !record->isValid()) {
            BCNLogVerbose("Beacon", className() + ": \"" + property + "\" is not valid.");
            valid = false;
        }
    });
    return valid;
}

bool BCNCSExtensions::isEqual(const BCNCSExtensions& o) const
{
    return sameRecord(metadataExt, o.metadataExt) && sameRecord(protocolExt, o.protocolExt) && sameRecord(userExt, o.userExt)
        && sameRecord(deviceExt, o.deviceExt) && sameRecord(osExt, o.osExt) && sameRecord(appExt, o.appExt)
        && sameRecord(netExt, o.netExt) && sameRecord(sdkExt, o.sdkExt) && sameRecord(locExt, o.locExt);
}

void BCNCSExtensions::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    forEachExtension(*this, [&](const char* key, const char*, const BCNCSRecord* record) {
        if (record)
            coder.encodeObject(std::shared_ptr<const foundation::Coding>(std::shared_ptr<const void>(), record), key);
    });
}

void BCNCSExtensions::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    metadataExt = decodeRecord<BCNMetadataExtension>(coder, "metadata");
    protocolExt = decodeRecord<BCNProtocolExtension>(coder, "protocol");
    userExt = decodeRecord<BCNUserExtension>(coder, "user");
    deviceExt = decodeRecord<BCNDeviceExtension>(coder, "device");
    osExt = decodeRecord<BCNOSExtension>(coder, "os");
    appExt = decodeRecord<BCNAppExtension>(coder, "app");
    netExt = decodeRecord<BCNNetExtension>(coder, "net");
    sdkExt = decodeRecord<BCNSDKExtension>(coder, "sdk");
    locExt = decodeRecord<BCNLocExtension>(coder, "loc");
}

foundation::Value BCNCommonSchemaLog::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (ver)
        dictionary.set("ver", *ver);
    if (name)
        dictionary.set("name", *name);
    if (timestamp())
        dictionary.set("time", BCNUtility::dateToISO8601(*timestamp()));
    if (iKey)
        dictionary.set("iKey", *iKey);
    if (flags != 0)
        dictionary.set("flags", flags);
    if (ext)
        dictionary.set("ext", ext->serializeToDictionary());
    if (data)
        if (auto value = data->serializeToDictionary())
            dictionary.set("data", *value);
    return dictionary;
}

bool BCNCommonSchemaLog::isValid() const
{
    if (!timestamp())
        return invalid("timestamp");
    if (!ver)
        return invalid("ver");
    if (!name)
        return invalid("name");
    return true;
}

bool BCNCommonSchemaLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNCommonSchemaLog*>(&other);
    if (!that || !BCNAbstractLog::isEqual(other))
        return false;
    const bool sameExt = (!ext || !that->ext) ? (!ext && !that->ext) : ext->isEqual(*that->ext);
    return ver == that->ver && name == that->name && popSample == that->popSample && iKey == that->iKey
        && flags == that->flags && cV == that->cV && sameExt && sameRecord(data, that->data);
}

void BCNCommonSchemaLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    bcn::encodeString(coder, ver, "ver");
    bcn::encodeString(coder, name, "name");
    coder.encodeDouble(popSample, "popSample");
    bcn::encodeString(coder, iKey, "iKey");
    coder.encodeInt64(flags, "flags");
    bcn::encodeString(coder, cV, "cV");
    if (ext)
        coder.encodeObject(ext, "ext");
    if (data)
        coder.encodeObject(data, "data");
}

void BCNCommonSchemaLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    ver = coder.decodeString("ver");
    name = coder.decodeString("name");
    popSample = coder.decodeDouble("popSample");
    iKey = coder.decodeString("iKey");
    flags = coder.decodeInt64("flags");
    cV = coder.decodeString("cV");
    ext = std::dynamic_pointer_cast<BCNCSExtensions>(coder.decodeObject("ext"));
    data = std::dynamic_pointer_cast<BCNCSData>(coder.decodeObject("data"));
}

BCN_REGISTER_CODING_CLASS(BCNAppExtension, {})
BCN_REGISTER_CODING_CLASS(BCNDeviceExtension, {})
BCN_REGISTER_CODING_CLASS(BCNLocExtension, {})
BCN_REGISTER_CODING_CLASS(BCNNetExtension, {})
BCN_REGISTER_CODING_CLASS(BCNOSExtension, {})
BCN_REGISTER_CODING_CLASS(BCNUserExtension, {})
BCN_REGISTER_CODING_CLASS(BCNProtocolExtension, {})
BCN_REGISTER_CODING_CLASS(BCNSDKExtension, {})
BCN_REGISTER_CODING_CLASS(BCNMetadataExtension, {})
BCN_REGISTER_CODING_CLASS(BCNCSData, {})
BCN_REGISTER_CODING_CLASS(BCNCSExtensions, {})
BCN_REGISTER_CODING_CLASS(BCNCommonSchemaLog, { "BCNAbstractLog" })
