#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"

#include <cmath>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"

namespace {

const char* const kTag = "BeaconAnalytics";


} // namespace

// ---------------------------------------------------------------------------------------------

bool BCNLogWithNameAndProperties::isValid() const
{
    if (!BCNLogWithProperties::isValid())
        return false;
    return m_name ? true : invalid("name");
}

foundation::Value BCNLogWithNameAndProperties::serializeToDictionary() const
{
    foundation::Value dictionary = BCNLogWithProperties::serializeToDictionary();
    if (m_name)
        dictionary.set("name", *m_name);
    return dictionary;
}

bool BCNLogWithNameAndProperties::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNLogWithNameAndProperties*>(&other);
    return that && BCNLogWithProperties::isEqual(other) && m_name == that->m_name;
}

void BCNLogWithNameAndProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNLogWithProperties::encodeWithCoder(coder);
    bcn::encodeString(coder, m_name, "name");
}

void BCNLogWithNameAndProperties::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNLogWithProperties::initWithCoder(coder);
    m_name = coder.decodeString("name");
}

// ---------------------------------------------------------------------------------------------

BCNEventProperties::BCNEventProperties(const BCNEventProperties& other)
{
    std::lock_guard lock(other.m_lock);
    m_properties = other.m_properties;
}

BCNEventProperties& BCNEventProperties::operator=(const BCNEventProperties& other)
{
    if (this != &other) {
        std::vector<Entry> copy;
        {
            std::lock_guard lock(other.m_lock);
            copy = other.m_properties;
        }
        std::lock_guard lock(m_lock);
        m_properties = std::move(copy);
    }
    return *this;
}

BCNEventProperties BCNEventProperties::initWithStringDictionary(const foundation::Value& dictionary)
{
    BCNEventProperties properties;
    if (dictionary.isDictionary())
        for (const auto& [key, value] : dictionary.asDictionary()) {
            auto property = std::make_shared<BCNStringTypedProperty>();
            property->setName(key);
            property->setValue(value.stringValue());
            properties.put(key, property);
        }
    return properties;
}

bool BCNEventProperties::validateKey(const std::optional<std::string>& key)
{
    if (key)
        return true;
    BCNLogError(kTag, "Key cannot be null. Property will not be added.");
    return false;
}

bool BCNEventProperties::validateValue(bool present)
{
    if (present)
        return true;
    BCNLogError(kTag, "Value cannot be null. Property will not be added.");
    return false;
}

void BCNEventProperties::put(const std::string& key, std::shared_ptr<BCNTypedProperty> property)
{
    for (auto& entry : m_properties)
        if (entry.first == key) {
            entry.second = std::move(property);
            return;
        }
    m_properties.emplace_back(key, std::move(property));
}

void BCNEventProperties::setProperty(const std::string& key, std::shared_ptr<BCNTypedProperty> property)
{
    std::lock_guard lock(m_lock);
    put(key, std::move(property));
}

void BCNEventProperties::removePropertyForKey(const std::string& key)
{
    std::lock_guard lock(m_lock);
    std::erase_if(m_properties, [&](const Entry& entry) { return entry.first == key; });
}

namespace {

template <class Property, class V> std::shared_ptr<Property> typedProperty(const std::string& key, V value)
{
    auto property = std::make_shared<Property>();
    property->setName(key);
    property->setValue(std::move(value));
    return property;
}

} // namespace

BCNEventProperties& BCNEventProperties::setString(const std::optional<std::string>& value, const std::optional<std::string>& key)
{
    if (validateKey(key) && validateValue(value.has_value()))
        setProperty(*key, typedProperty<BCNStringTypedProperty>(*key, value));
    return *this;
}

BCNEventProperties& BCNEventProperties::setDouble(double value, const std::optional<std::string>& key)
{
    if (!validateKey(key))
        return *this;
    if (!std::isfinite(value)) {
        BCNLogError(kTag, "Double value for property '" + *key + "' must be finite (cannot be INFINITY or NAN).");
        return *this;
    }
    setProperty(*key, typedProperty<BCNDoubleTypedProperty>(*key, value));
    return *this;
}

BCNEventProperties& BCNEventProperties::setInt64(std::int64_t value, const std::optional<std::string>& key)
{
    if (validateKey(key))
        setProperty(*key, typedProperty<BCNLongTypedProperty>(*key, value));
    return *this;
}

BCNEventProperties& BCNEventProperties::setBool(bool value, const std::optional<std::string>& key)
{
    if (validateKey(key))
        setProperty(*key, typedProperty<BCNBooleanTypedProperty>(*key, value));
    return *this;
}

BCNEventProperties& BCNEventProperties::setDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key)
{
    if (validateKey(key) && validateValue(value.has_value()))
        setProperty(*key, typedProperty<BCNDateTimeTypedProperty>(*key, value));
    return *this;
}

std::shared_ptr<BCNTypedProperty> BCNEventProperties::propertyForKey(const std::string& key) const
{
    for (const auto& entry : m_properties)
        if (entry.first == key)
            return entry.second;
    return nullptr;
}

std::vector<std::pair<std::string, std::string>> BCNEventProperties::strings() const
{
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& [key, property] : m_properties)
        if (auto string = std::dynamic_pointer_cast<BCNStringTypedProperty>(property))
            result.emplace_back(key, string->value().value_or(""));
    return result;
}

bool BCNEventProperties::isEqual(const BCNEventProperties& other) const
{
    if (m_properties.size() != other.m_properties.size())
        return false;
    for (const auto& [key, property] : m_properties) {
        auto theirs = other.propertyForKey(key);
        if (!theirs || !property->isEqual(*theirs) || property->name() != theirs->name())
            return false;
    }
    return true;
}

void BCNEventProperties::mergeEventProperties(const BCNEventProperties& other)
{
    for (const auto& [key, property] : other.m_properties)
        put(key, property);
}

foundation::Value BCNEventProperties::serializeToArray() const
{
    std::lock_guard lock(m_lock);
    foundation::Value array = foundation::Value::array();
    for (const auto& entry : m_properties)
        array.append(entry.second->serializeToDictionary());
    return array;
}

void BCNEventProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    std::lock_guard lock(m_lock);
    std::vector<std::shared_ptr<const foundation::Coding>> objects;
    for (const auto& entry : m_properties)
        objects.push_back(entry.second);
    coder.encodeArrayOfObjects(objects, "properties");
}

void BCNEventProperties::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    const auto objects = coder.decodeArrayOfObjectsOfClasses(
        { "BCNStringTypedProperty", "BCNLongTypedProperty", "BCNDoubleTypedProperty", "BCNBooleanTypedProperty", "BCNDateTimeTypedProperty" },
        "properties");
    if (!objects)
        return;
    std::lock_guard lock(m_lock);
    for (const auto& object : *objects)
        if (auto property = std::dynamic_pointer_cast<BCNTypedProperty>(object); property && property->name())
            put(*property->name(), property);
}

// ---------------------------------------------------------------------------------------------

std::optional<int> BCNEventLog::metadataTypeId(const std::string& type)
{
    if (type == "long")
        return 4;
    if (type == "double")
        return 6;
    if (type == "dateTime")
        return 9;
    return std::nullopt;
}

bool BCNEventLog::isValid() const
{
    if (!BCNLogWithNameAndProperties::isValid())
        return false;
    return m_eventId ? true : invalid("eventId");
}

foundation::Value BCNEventLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNLogWithNameAndProperties::serializeToDictionary();
    if (m_eventId)
        dictionary.set("id", *m_eventId);
    if (m_typedProperties)
        dictionary.set("typedProperties", m_typedProperties->serializeToArray());
    return dictionary;
}

bool BCNEventLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNEventLog*>(&other);
    if (!that || !BCNLogWithNameAndProperties::isEqual(other) || m_eventId != that->m_eventId)
        return false;
    if (m_typedProperties.has_value() != that->m_typedProperties.has_value())
        return false;
    return !m_typedProperties || m_typedProperties->isEqual(*that->m_typedProperties);
}

void BCNEventLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNLogWithNameAndProperties::encodeWithCoder(coder);
    bcn::encodeString(coder, m_eventId, "id");
    if (m_typedProperties)
        coder.encodeObject(std::make_shared<BCNEventProperties>(*m_typedProperties), "typedProperties");
}

void BCNEventLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNLogWithNameAndProperties::initWithCoder(coder);
    m_eventId = coder.decodeString("id");
    if (auto properties = std::dynamic_pointer_cast<BCNEventProperties>(coder.decodeObjectOfClasses({ "BCNEventProperties" }, "typedProperties")))
        m_typedProperties = *properties;
}

std::shared_ptr<BCNCommonSchemaLog> BCNEventLog::toCommonSchemaLogForTargetToken(const std::string& token, BCNLogFlags flags)
{
    auto log = BCNAbstractLog::toCommonSchemaLogForTargetToken(token, flags);
    if (!log)
        return log;
    log->name = name();
    setPropertiesAndMetadataForCSLog(*log);
    log->setTag(tag());
    return log;
}

void BCNEventLog::setPropertiesAndMetadataForCSLog(BCNCommonSchemaLog& log)
{
    if (!m_typedProperties)
        return;
    static const std::string baseTypePrefix = "baseType.";
    static const std::string baseDataPrefix = "baseData.";
    BCNEventProperties& properties = *m_typedProperties;
    const auto hasBaseData = [&] {
        for (const auto& entry : properties.properties())
            if (entry.first.starts_with(baseDataPrefix))
                return true;
        return false;
    };

    if (std::dynamic_pointer_cast<BCNStringTypedProperty>(properties.propertyForKey("baseType"))) {
        if (!hasBaseData()) {
            BCNLogWarning(kTag, "baseType was set but baseData is missing.");
            properties.removePropertyForKey("baseType");
        }
    } else {
        std::vector<std::string> dropped;
        for (const auto& entry : properties.properties())
            if (entry.first.starts_with(baseDataPrefix))
                dropped.push_back(entry.first);
        for (const auto& key : dropped)
            properties.removePropertyForKey(key);
        if (!dropped.empty())
            BCNLogWarning(kTag, "baseData was set but baseType is missing or invalid.");
        properties.removePropertyForKey("baseType");
    }

    foundation::Value tree = foundation::Value::dictionary();
    foundation::Value metadata = foundation::Value::dictionary();
    for (const auto& [key, property] : properties.properties()) {
        if (key.starts_with(baseTypePrefix)) {
            BCNLogWarning(kTag, "baseType must not be an object.");
            continue;
        }
        if (key == "baseData") {
            BCNLogWarning(kTag, "baseData must be an object.");
            continue;
        }
        addTypedPropertyToCSMetadataAndCSProperties(*property, metadata, tree);
    }
    if (tree.size() > 0) {
        log.data = std::make_shared<BCNCSData>();
        log.data->properties = tree;
    }
    if (metadata.size() > 0) {
        if (!log.ext)
            log.ext = std::make_shared<BCNCSExtensions>();
        log.ext->metadataExt = std::make_shared<BCNMetadataExtension>();
        log.ext->metadataExt->metadata = metadata;
    }
}

void BCNEventLog::addTypedPropertyToCSMetadataAndCSProperties(const BCNTypedProperty& property, foundation::Value& metadata,
                                                              foundation::Value& properties) const
{
    const std::optional<int> typeId = metadataTypeId(property.type().value_or(""));
    const std::string name = property.name().value_or("");
    std::vector<std::string> path;
    std::size_t start = 0;
    for (std::size_t dot; (dot = name.find('.', start)) != std::string::npos; start = dot + 1)
        path.push_back(name.substr(start, dot - start));
    const std::string leaf = name.substr(start);

    foundation::Value* node = &properties;
    foundation::Value* metadataNode = &metadata;
    foundation::Value* firstNewF = nullptr;
    for (const auto& part : path) {
        if (node) {
            foundation::Value* child = node->mutableDictionary().find(part);
            if (!child) {
                node->set(part, foundation::Value::dictionary());
                child = node->mutableDictionary().find(part);
            }
            node = child->isDictionary() ? child : nullptr;
        }
        if (typeId) {
            if (!metadataNode->contains("f")) {
                if (!firstNewF)
                    firstNewF = metadataNode;
                metadataNode->set("f", foundation::Value::dictionary());
            }
            foundation::Value& f = (*metadataNode)["f"];
            if (!f.contains(part))
                f.set(part, foundation::Value::dictionary());
            metadataNode = &f[part];
        }
    }

    const bool added = addTypedPropertyToPropertyTree(property, node, leaf);
    if (typeId && added) {
        if (!metadataNode->contains("f"))
            metadataNode->set("f", foundation::Value::dictionary());
        (*metadataNode)["f"].set(leaf, *typeId);
    } else if (!added && firstNewF) {
        firstNewF->erase("f");
    }
}

bool BCNEventLog::addTypedPropertyToPropertyTree(const BCNTypedProperty& property, foundation::Value* node, const std::string& key)
{
    if (!node || node->contains(key)) {
        BCNLogWarning(kTag, "Property key '" + key + "' already has a value, choosing one.");
        return false;
    }
    foundation::Value value;
    if (const auto* string = dynamic_cast<const BCNStringTypedProperty*>(&property))
        value = string->value() ? foundation::Value(*string->value()) : foundation::Value();
    else if (const auto* boolean = dynamic_cast<const BCNBooleanTypedProperty*>(&property))
        value = boolean->value();
    else if (const auto* number = dynamic_cast<const BCNLongTypedProperty*>(&property))
        value = number->value();
    else if (const auto* real = dynamic_cast<const BCNDoubleTypedProperty*>(&property))
        value = real->value();
    else if (const auto* date = dynamic_cast<const BCNDateTimeTypedProperty*>(&property))
        value = date->value() ? foundation::Value(BCNUtility::dateToISO8601(*date->value())) : foundation::Value();
    node->set(key, std::move(value));
    return true;
}

BCN_REGISTER_CODING_CLASS(BCNLogWithNameAndProperties, { "BCNLogWithProperties", "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNEventProperties, {})
BCN_REGISTER_CODING_CLASS(BCNEventLog, { "BCNLogWithNameAndProperties", "BCNLogWithProperties", "BCNAbstractLog" })
