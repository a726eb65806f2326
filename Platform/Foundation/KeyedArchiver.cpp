#include "Platform/Foundation/KeyedArchiver.h"

#include "Platform/Foundation/PropertyList.h"

#include <mutex>

namespace foundation {

const std::string NSKeyedArchiveRootObjectKey = "root";
const ClassSet PropertyListClasses = {"NSArray", "NSDictionary", "NSString", "NSNumber", "NSData", "NSDate", "NSNull"};

namespace {

constexpr std::int64_t ArchiveVersion = 100000;
// Objects nest through recursion on both sides; real archives stay far below this.
constexpr int MaximumObjectDepth = 256;

struct Registry {
    std::mutex mutex;
    std::map<std::string, CodingClass> classes;
    std::map<std::string, std::string> defaultClassMap; // coded name -> class name
};

Registry& registry()
{
    static Registry r;
    return r;
}

std::optional<CodingClass> registeredClass(const std::string& name)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(name);
    if (it == r.classes.end())
        return std::nullopt;
    return it->second;
}

// Keys beginning with "$" are the archive's own; a coder key that begins with one gets a
// second, as the platform does.
std::string escapeKey(const std::string& key)
{
    return !key.empty() && key[0] == '$' ? "$" + key : key;
}

Value uid(std::uint64_t n)
{
    return Value::dictionary({{"CF$UID", Value(n)}});
}

std::optional<std::uint64_t> uidOf(const Value& v)
{
    const Dictionary* d = v.dictionaryValue();
    if (!d || d->size() != 1)
        return std::nullopt;
    const Value* n = d->find("CF$UID");
    if (!n || !n->isInteger() || n->asInteger() < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(n->asInteger());
}

std::string describe(const ClassSet& classes)
{
    std::string out = "{(";
    bool first = true;
    for (const auto& c : classes) {
        out += first ? "" : ", ";
        out += c;
        first = false;
    }
    return out + ")}";
}

// The platform class that stands for a plain object kind, and the one it is a kind of.
bool allows(const ClassSet& allowed, std::initializer_list<const char*> names)
{
    if (allowed.count("NSObject"))
        return true;
    for (const char* n : names) {
        if (allowed.count(n))
            return true;
    }
    return false;
}

} // namespace

// MARK: KeyedArchiver

KeyedArchiver::KeyedArchiver(bool requiresSecureCoding) : m_requiresSecureCoding(requiresSecureCoding)
{
    m_objects.push_back(Value("$null"));
    m_containers.emplace_back();
}

void KeyedArchiver::registerClass(CodingClass codingClass)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::string name = codingClass.name;
    r.classes[name] = std::move(codingClass);
}

int KeyedArchiver::classVersion(const std::string& className)
{
    auto c = registeredClass(className);
    return c ? c->version : 0;
}

void KeyedArchiver::setClassVersion(const std::string& className, int version)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(className);
    if (it != r.classes.end())
        it->second.version = version;
}

Data KeyedArchiver::archivedDataWithRootObject(const std::shared_ptr<const Coding>& root, bool requiringSecureCoding,
                                               ErrorPtr* error)
{
    KeyedArchiver archiver(requiringSecureCoding);
    archiver.encodeObject(root, NSKeyedArchiveRootObjectKey);
    Data data = archiver.encodedData();
    if (error)
        *error = archiver.error();
    return data;
}

void KeyedArchiver::setClassName(const std::string& codedName, const std::string& className)
{
    m_classNames[className] = codedName;
}

void KeyedArchiver::fail(const std::string& description)
{
    if (!m_error)
        m_error = Error::make(NSCocoaErrorDomain, PropertyListWriteInvalidError, description);
}

void KeyedArchiver::put(const std::string& key, Value value)
{
    m_containers.back().set(escapeKey(key), std::move(value));
}

std::uint64_t KeyedArchiver::add(Value object)
{
    m_objects.push_back(std::move(object));
    return m_objects.size() - 1;
}

void KeyedArchiver::encodeBool(bool value, const std::string& key)
{
    put(key, Value(value));
}

void KeyedArchiver::encodeInt64(std::int64_t value, const std::string& key)
{
    put(key, Value(value));
}

void KeyedArchiver::encodeDouble(double value, const std::string& key)
{
    put(key, Value(value));
}

void KeyedArchiver::encodeString(const std::string& value, const std::string& key)
{
    put(key, uid(stringUID(value)));
}

void KeyedArchiver::encodeData(const Data& value, const std::string& key)
{
    put(key, uid(add(Value(value))));
}

void KeyedArchiver::encodeDate(Date value, const std::string& key)
{
    put(key, uid(valueUID(Value(value), 0)));
}

void KeyedArchiver::encodeValue(const Value& value, const std::string& key)
{
    put(key, uid(valueUID(value, 0)));
}

void KeyedArchiver::encodeObject(const std::shared_ptr<const Coding>& object, const std::string& key)
{
    put(key, uid(objectUID(object)));
}

void KeyedArchiver::encodeArrayOfObjects(const std::vector<std::shared_ptr<const Coding>>& objects,
                                         const std::string& key)
{
    Value::Array refs;
    for (const auto& object : objects)
        refs.push_back(uid(objectUID(object)));
    std::uint64_t classRef = classUID("NSArray", {"NSArray", "NSObject"});
    put(key, uid(add(Value::dictionary({{"NS.objects", Value(std::move(refs))}, {"$class", uid(classRef)}}))));
}

void KeyedArchiver::encodeDictionaryOfObjects(
    const std::vector<std::pair<std::string, std::shared_ptr<const Coding>>>& objects, const std::string& key)
{
    Value::Array keys;
    Value::Array refs;
    for (const auto& [name, object] : objects) {
        keys.push_back(uid(stringUID(name)));
        refs.push_back(uid(objectUID(object)));
    }
    std::uint64_t classRef = classUID("NSDictionary", {"NSDictionary", "NSObject"});
    put(key, uid(add(Value::dictionary(
                 {{"NS.keys", Value(std::move(keys))}, {"NS.objects", Value(std::move(refs))}, {"$class", uid(classRef)}}))));
}

void KeyedArchiver::encodeStringSet(const std::set<std::string>& strings, const std::string& key)
{
    Value::Array refs;
    for (const auto& s : strings)
        refs.push_back(uid(stringUID(s)));
    std::uint64_t classRef = classUID("NSSet", {"NSSet", "NSObject"});
    put(key, uid(add(Value::dictionary({{"NS.objects", Value(std::move(refs))}, {"$class", uid(classRef)}}))));
}

std::uint64_t KeyedArchiver::stringUID(const std::string& s)
{
    auto it = m_stringUIDs.find(s);
    if (it != m_stringUIDs.end())
        return it->second;
    std::uint64_t n = add(Value(s));
    m_stringUIDs.emplace(s, n);
    return n;
}

std::uint64_t KeyedArchiver::classUID(const std::string& className, const std::vector<std::string>& hierarchy)
{
    auto it = m_classUIDs.find(className);
    if (it != m_classUIDs.end())
        return it->second;
    Value::Array classes;
    for (const auto& name : hierarchy)
        classes.push_back(Value(name));
    std::uint64_t n = add(Value::dictionary({{"$classes", Value(std::move(classes))}, {"$classname", className}}));
    m_classUIDs.emplace(className, n);
    return n;
}

std::uint64_t KeyedArchiver::valueUID(const Value& value, int depth)
{
    if (depth > MaximumObjectDepth) {
        fail("The value is nested too deeply to archive.");
        return 0;
    }
    // An array or a set: its members' references under NS.objects.
    auto addMembers = [&](const auto& members, const std::string& className) {
        Value::Array refs;
        for (const Value& item : members)
            refs.push_back(uid(valueUID(item, depth + 1)));
        std::uint64_t classRef = classUID(className, {className, "NSObject"});
        return add(Value::dictionary({{"NS.objects", Value(std::move(refs))}, {"$class", uid(classRef)}}));
    };
    switch (value.type()) {
    case Value::Type::Null: return 0;
    case Value::Type::String: return stringUID(value.asString());
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Real:
    case Value::Type::Data: return add(value);
    case Value::Type::Date: {
        std::uint64_t classRef = classUID("NSDate", {"NSDate", "NSObject"});
        return add(Value::dictionary(
            {{"NS.time", Value(value.asDate().timeIntervalSinceReferenceDate())}, {"$class", uid(classRef)}}));
    }
    case Value::Type::Array: return addMembers(value.asArray(), "NSArray");
    case Value::Type::Dictionary: {
        Value::Array keys;
        Value::Array refs;
        for (const auto& [key, item] : value.asDictionary()) {
            keys.push_back(uid(stringUID(key)));
            refs.push_back(uid(valueUID(item, depth + 1)));
        }
        std::uint64_t classRef = classUID("NSDictionary", {"NSDictionary", "NSObject"});
        return add(Value::dictionary(
            {{"NS.keys", Value(std::move(keys))}, {"NS.objects", Value(std::move(refs))}, {"$class", uid(classRef)}}));
    }
    case Value::Type::Set: return addMembers(value.asSet(), "NSSet");
    }
    return 0;
}

std::uint64_t KeyedArchiver::objectUID(const std::shared_ptr<const Coding>& object)
{
    if (!object)
        return 0;
    // The same object is archived once; later references reuse its UID (also for cycles).
    auto known = m_objectUIDs.find(object.get());
    if (known != m_objectUIDs.end())
        return known->second;
    if (m_containers.size() > static_cast<std::size_t>(MaximumObjectDepth)) {
        fail("The object graph is nested too deeply to archive.");
        return 0;
    }
    std::string name = object->className();
    auto registered = registeredClass(name);
    if (m_requiresSecureCoding && (!registered || !registered->supportsSecureCoding)) {
        fail("This coder requires that classes support secure coding; class '" + name + "' does not.");
        return 0;
    }
    auto coded = [&](const std::string& className) {
        auto it = m_classNames.find(className);
        return it == m_classNames.end() ? className : it->second;
    };
    std::vector<std::string> hierarchy = {coded(name)};
    if (registered) {
        for (const auto& super : registered->superclasses)
            hierarchy.push_back(coded(super));
    }
    if (hierarchy.back() != "NSObject")
        hierarchy.push_back("NSObject");

    std::uint64_t n = add(Value());
    m_objectUIDs.emplace(object.get(), n);
    m_retained.push_back(object);
    m_containers.emplace_back();
    object->encodeWithCoder(*this);
    Dictionary fields = std::move(m_containers.back());
    m_containers.pop_back();
    fields.set("$class", uid(classUID(hierarchy.front(), hierarchy)));
    m_objects[n] = Value(std::move(fields));
    return n;
}

Data KeyedArchiver::encodedData()
{
    if (m_error)
        return {};
    Value archive = Value::dictionary({
        {"$version", ArchiveVersion},
        {"$archiver", "NSKeyedArchiver"},
        {"$top", Value(m_containers.front())},
        {"$objects", Value(m_objects)},
    });
    ErrorPtr error;
    Data data = toBinaryPropertyList(archive, &error);
    if (error) {
        m_error = error;
        return {};
    }
    return data;
}

// MARK: KeyedUnarchiver

std::shared_ptr<KeyedUnarchiver> KeyedUnarchiver::initForReadingFromData(const Data& data, ErrorPtr* error)
{
    auto notAnArchive = [&](const std::string& why) -> std::shared_ptr<KeyedUnarchiver> {
        if (error)
            *error = Error::make(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                 "The data isn't a keyed archive: " + why + ".");
        return nullptr;
    };
    ErrorPtr plistError;
    Value archive = readPropertyList(data, &plistError);
    if (plistError)
        return notAnArchive(plistError->localizedDescription());
    if (!archive.isDictionary())
        return notAnArchive("the property list is not a dictionary");
    const Value* archiver = archive.find("$archiver");
    if (archiver && archiver->asString() != "NSKeyedArchiver")
        return notAnArchive("it was written by an unknown archiver");
    const Value* version = archive.find("$version");
    if (version && version->asInteger() != ArchiveVersion)
        return notAnArchive("its version is unknown");
    if (!archive["$objects"].isArray() || archive["$objects"].size() == 0 || !archive["$top"].isDictionary())
        return notAnArchive("\"$objects\" or \"$top\" is missing");

    std::shared_ptr<KeyedUnarchiver> unarchiver(new KeyedUnarchiver());
    unarchiver->m_archive = std::move(archive);
    unarchiver->m_expansionLimit = PropertyListMaximumExpansion + 4 * static_cast<std::uint64_t>(data.size());
    unarchiver->m_objects = unarchiver->m_archive["$objects"].arrayValue();
    unarchiver->m_containers.push_back(unarchiver->m_archive["$top"].dictionaryValue());
    if (error)
        *error = nullptr;
    return unarchiver;
}

CodingPtr KeyedUnarchiver::unarchivedObjectOfClasses(const ClassSet& allowed, const Data& data, ErrorPtr* error)
{
    auto unarchiver = initForReadingFromData(data, error);
    if (!unarchiver)
        return nullptr;
    unarchiver->setRequiresSecureCoding(true);
    CodingPtr object = unarchiver->decodeObjectOfClasses(allowed, NSKeyedArchiveRootObjectKey);
    if (!object && !unarchiver->error())
        unarchiver->fail("The archive holds no root object.", NSCoderValueNotFoundError);
    if (error)
        *error = unarchiver->error();
    return unarchiver->error() ? nullptr : object;
}

CodingPtr KeyedUnarchiver::unarchivedObject(const Data& data, ErrorPtr* error)
{
    auto unarchiver = initForReadingFromData(data, error);
    if (!unarchiver)
        return nullptr;
    CodingPtr object = unarchiver->decodeObject(NSKeyedArchiveRootObjectKey);
    if (!object && !unarchiver->error())
        unarchiver->fail("The archive holds no root object.", NSCoderValueNotFoundError);
    if (error)
        *error = unarchiver->error();
    return unarchiver->error() ? nullptr : object;
}

void KeyedUnarchiver::setClass(const std::string& className, const std::string& codedName)
{
    m_classMap[codedName] = className;
}

void KeyedUnarchiver::setDefaultClass(const std::string& className, const std::string& codedName)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.defaultClassMap[codedName] = className;
}

std::string KeyedUnarchiver::mappedClassName(const std::string& codedName) const
{
    if (auto it = m_classMap.find(codedName); it != m_classMap.end())
        return it->second;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.defaultClassMap.find(codedName); it != r.defaultClassMap.end())
        return it->second;
    return codedName;
}

void KeyedUnarchiver::failWithError(ErrorPtr error)
{
    if (!m_error)
        m_error = error ? std::move(error) : Error::make(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                                         "The archive could not be decoded.");
}

void KeyedUnarchiver::fail(const std::string& description, long code)
{
    failWithError(Error::make(NSCocoaErrorDomain, code, description));
}

void KeyedUnarchiver::typeMismatch(const std::string& key, const std::string& found)
{
    fail("The value for key '" + key + "' is of the unexpected kind '" + found + "'.");
}

const Value* KeyedUnarchiver::field(const std::string& key) const
{
    return m_containers.back()->find(escapeKey(key));
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const
{
    return field(key) != nullptr;
}

bool KeyedUnarchiver::decodeBool(const std::string& key)
{
    const Value* v = m_error ? nullptr : field(key);
    if (!v)
        return false;
    if (!v->isNumber()) {
        typeMismatch(key, "not a number");
        return false;
    }
    return v->asBool();
}

std::int64_t KeyedUnarchiver::decodeInt64(const std::string& key)
{
    const Value* v = m_error ? nullptr : field(key);
    if (!v)
        return 0;
    auto i = v->integerValue();
    if (!i) {
        typeMismatch(key, "not an integer");
        return 0;
    }
    return *i;
}

double KeyedUnarchiver::decodeDouble(const std::string& key)
{
    const Value* v = m_error ? nullptr : field(key);
    if (!v)
        return 0;
    if (!v->isNumber()) {
        typeMismatch(key, "not a number");
        return 0;
    }
    return v->asDouble();
}

std::optional<std::uint64_t> KeyedUnarchiver::referenceForKey(const std::string& key)
{
    if (m_error)
        return std::nullopt;
    const Value* v = field(key);
    if (!v)
        return std::nullopt;
    auto n = uidOf(*v);
    if (!n) {
        typeMismatch(key, "not an object reference");
        return std::nullopt;
    }
    if (*n >= m_objects->size()) {
        fail("The archive refers to object " + std::to_string(*n) + " for key '" + key + "', which does not exist.");
        return std::nullopt;
    }
    return n;
}

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key)
{
    Value v = decodeValue(key, {"NSString"});
    if (v.isNull())
        return std::nullopt;
    return v.stringValue();
}

std::optional<Data> KeyedUnarchiver::decodeData(const std::string& key)
{
    Value v = decodeValue(key, {"NSData"});
    if (v.isNull())
        return std::nullopt;
    return v.dataValue();
}

std::optional<Date> KeyedUnarchiver::decodeDate(const std::string& key)
{
    Value v = decodeValue(key, {"NSDate"});
    if (v.isNull())
        return std::nullopt;
    return v.dateValue();
}

std::optional<std::string> KeyedUnarchiver::classNameOf(const Value& entry, const std::string& key)
{
    auto classRef = uidOf(entry["$class"]);
    if (!classRef || *classRef >= m_objects->size()) {
        fail("The object for key '" + key + "' has no valid class reference.");
        return std::nullopt;
    }
    const Value& classEntry = (*m_objects)[*classRef];
    if (!classEntry["$classname"].isString()) {
        fail("The object for key '" + key + "' names no class.");
        return std::nullopt;
    }
    return mappedClassName(classEntry["$classname"].asString());
}

Value KeyedUnarchiver::decodeValue(const std::string& key, const ClassSet& allowed)
{
    auto ref = referenceForKey(key);
    if (!ref)
        return Value();
    Value out;
    std::uint64_t expanded = 0;
    if (!valueForUID(*ref, allowed, key, 0, out, expanded))
        return Value();
    return out;
}

bool KeyedUnarchiver::valueForUID(std::uint64_t n, const ClassSet& allowed, const std::string& key, int depth,
                                  Value& out, std::uint64_t& expanded)
{
    expanded = 16;
    if (m_error)
        return false;
    if (n >= m_objects->size()) {
        fail("The archive refers to object " + std::to_string(n) + " for key '" + key + "', which does not exist.");
        return false;
    }
    if (n == 0) {
        out = Value();
        return true;
    }
    const Value& entry = (*m_objects)[n];
    auto refuse = [&](const std::string& kind) {
        fail("The value for key '" + key + "' was of unexpected class '" + kind + "'. Allowed classes are '"
             + describe(allowed) + "'.");
        return false;
    };
    switch (entry.type()) {
    case Value::Type::String:
        if (!allows(allowed, {"NSString"}))
            return refuse("NSString");
        out = entry;
        expanded += entry.asString().size();
        return true;
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Real:
        if (!allows(allowed, {"NSNumber"}))
            return refuse("NSNumber");
        out = entry;
        return true;
    case Value::Type::Data:
        if (!allows(allowed, {"NSData"}))
            return refuse("NSData");
        out = entry;
        expanded += entry.size();
        return true;
    case Value::Type::Dictionary: break;
    default: fail("The object for key '" + key + "' is of a kind archives do not hold."); return false;
    }

    if (auto cached = m_decodedValues.find({n, allowed}); cached != m_decodedValues.end()) {
        out = cached->second.value;
        expanded = cached->second.expanded;
        return true;
    }
    if (m_inProgress.count(n)) {
        fail("The archive's objects for key '" + key + "' refer to themselves in a cycle.");
        return false;
    }
    if (depth > MaximumObjectDepth) {
        fail("The archive's objects are nested too deeply.");
        return false;
    }
    auto className = classNameOf(entry, key);
    if (!className)
        return false;
    const std::string& c = *className;
    m_inProgress.insert(n);
    bool ok = false;
    auto elements = [&](const Value& refs, Value::Array& items) {
        if (!refs.isArray()) {
            fail("The " + c + " for key '" + key + "' has no element list.");
            return false;
        }
        for (const Value& ref : refs.asArray()) {
            auto element = uidOf(ref);
            Value item;
            if (!element) {
                fail("The " + c + " for key '" + key + "' holds something other than references.");
                return false;
            }
            std::uint64_t itemExpanded = 0;
            if (!valueForUID(*element, allowed, key, depth + 1, item, itemExpanded))
                return false;
            expanded += itemExpanded;
            if (expanded > m_expansionLimit) {
                fail("The archive's values for key '" + key + "' expand to more than "
                     + std::to_string(m_expansionLimit >> 20) + " MB, counting each shared value where it is used.");
                return false;
            }
            items.push_back(std::move(item));
        }
        return true;
    };
    if (c == "NSArray" || c == "NSMutableArray") {
        Value::Array items;
        if (!allows(allowed, {"NSArray"}))
            refuse(c);
        else if ((ok = elements(entry["NS.objects"], items)))
            out = Value(std::move(items));
    } else if (c == "NSSet" || c == "NSMutableSet") {
        // Repeated members (a damaged or crafted archive) merge, as the platform's sets do.
        Value::Array items;
        if (!allows(allowed, {"NSSet"}))
            refuse(c);
        else if ((ok = elements(entry["NS.objects"], items)))
            out = Value(Set(std::move(items)));
    } else if (c == "NSDictionary" || c == "NSMutableDictionary") {
        Value::Array keys;
        Value::Array values;
        if (!allows(allowed, {"NSDictionary"})) {
            refuse(c);
        } else if (elements(entry["NS.keys"], keys) && elements(entry["NS.objects"], values)) {
            if (keys.size() != values.size()) {
                fail("The dictionary for key '" + key + "' has unequal numbers of keys and values.");
            } else {
                Dictionary d;
                ok = true;
                for (std::size_t i = 0; i < keys.size() && ok; ++i) {
                    if (!keys[i].isString()) {
                        fail("The dictionary for key '" + key + "' has a key that is not a string.");
                        ok = false;
                    } else {
                        d.set(keys[i].asString(), std::move(values[i]));
                    }
                }
                if (ok)
                    out = Value(std::move(d));
            }
        }
    } else if (c == "NSDate") {
        if (!allows(allowed, {"NSDate"}))
            refuse(c);
        else if (!entry["NS.time"].isNumber())
            fail("The date for key '" + key + "' has no time.");
        else if ((ok = true))
            out = Value(Date::dateWithTimeIntervalSinceReferenceDate(entry["NS.time"].asDouble()));
    } else if (c == "NSString" || c == "NSMutableString") {
        if (!allows(allowed, {"NSString"}))
            refuse(c);
        else if (!entry["NS.string"].isString())
            fail("The string for key '" + key + "' has no text.");
        else if ((ok = true))
            out = entry["NS.string"];
    } else if (c == "NSData" || c == "NSMutableData") {
        if (!allows(allowed, {"NSData"}))
            refuse(c);
        else if (!entry["NS.data"].isData())
            fail("The data for key '" + key + "' has no bytes.");
        else if ((ok = true))
            out = entry["NS.data"];
    } else if (c == "NSNull") {
        if (!allows(allowed, {"NSNull"}))
            refuse(c);
        else if ((ok = true))
            out = Value();
    } else {
        refuse(c);
    }
    m_inProgress.erase(n);
    if (ok && out.isString())
        expanded += out.asString().size();
    else if (ok && out.isData())
        expanded += out.size();
    if (ok)
        m_decodedValues.emplace(std::make_pair(n, allowed), DecodedValue{out, expanded});
    return ok;
}

std::optional<std::uint64_t> KeyedUnarchiver::collectionForKey(const std::string& key, const std::string& className)
{
    auto ref = referenceForKey(key);
    if (!ref || *ref == 0)
        return std::nullopt;
    const Value& entry = (*m_objects)[*ref];
    auto found = entry.isDictionary() ? classNameOf(entry, key) : std::optional<std::string>("a plain value");
    if (!found)
        return std::nullopt;
    if (*found != className && *found != "NSMutable" + className.substr(2)) {
        typeMismatch(key, *found);
        return std::nullopt;
    }
    return ref;
}

std::optional<std::set<std::string>> KeyedUnarchiver::decodeStringSet(const std::string& key)
{
    auto ref = collectionForKey(key, "NSSet");
    if (!ref)
        return std::nullopt;
    const Value& entry = (*m_objects)[*ref];
    std::set<std::string> strings;
    for (const Value& ref : entry["NS.objects"].asArray()) {
        auto element = uidOf(ref);
        Value item;
        std::uint64_t expanded = 0;
        if (!element || !valueForUID(*element, {"NSString"}, key, 1, item, expanded) || !item.isString()) {
            if (!m_error)
                typeMismatch(key, "a set holding something other than strings");
            return std::nullopt;
        }
        strings.insert(item.asString());
    }
    return strings;
}

CodingPtr KeyedUnarchiver::decodeObject(const std::string& key)
{
    if (m_requiresSecureCoding) {
        if (containsValueForKey(key))
            fail("Decoding the object for key '" + key + "' needs the classes allowed there, as secure coding is required.");
        return nullptr;
    }
    auto ref = referenceForKey(key);
    return ref ? objectForUID(*ref, nullptr, key) : nullptr;
}

CodingPtr KeyedUnarchiver::decodeObjectOfClasses(const ClassSet& allowed, const std::string& key)
{
    auto ref = referenceForKey(key);
    return ref ? objectForUID(*ref, &allowed, key) : nullptr;
}

CodingPtr KeyedUnarchiver::objectForUID(std::uint64_t n, const ClassSet* allowed, const std::string& key)
{
    if (m_error || n == 0)
        return nullptr;
    if (n >= m_objects->size()) {
        fail("The archive refers to object " + std::to_string(n) + " for key '" + key + "', which does not exist.");
        return nullptr;
    }
    const Value& entry = (*m_objects)[n];
    if (!entry.isDictionary()) {
        typeMismatch(key, "a plain value, not an object");
        return nullptr;
    }
    auto className = classNameOf(entry, key);
    if (!className)
        return nullptr;
    auto registered = registeredClass(*className);
    if (!registered || !registered->decode) {
        fail("Cannot decode object of class (" + *className + ") for key (" + key
             + "); the class is not known to this program.");
        return nullptr;
    }
    if (allowed) {
        bool ok = allowed->count("NSObject") || allowed->count(registered->name);
        for (const auto& super : registered->superclasses)
            ok = ok || allowed->count(super);
        if (!ok) {
            fail("The value for key '" + key + "' was of unexpected class '" + *className + "'. Allowed classes are '"
                 + describe(*allowed) + "'.");
            return nullptr;
        }
    }
    if (m_requiresSecureCoding && !registered->supportsSecureCoding) {
        fail("Class '" + *className + "' for key '" + key + "' does not support secure coding.");
        return nullptr;
    }
    if (auto cached = m_decoded.find(n); cached != m_decoded.end())
        return cached->second;
    if (m_inProgress.count(n)) {
        fail("The archive's object of class '" + *className + "' for key '" + key + "' contains itself.");
        return nullptr;
    }
    if (m_containers.size() > static_cast<std::size_t>(MaximumObjectDepth)) {
        fail("The archive's objects are nested too deeply.");
        return nullptr;
    }
    m_inProgress.insert(n);
    m_containers.push_back(entry.dictionaryValue());
    CodingPtr object = registered->decode(*this);
    m_containers.pop_back();
    m_inProgress.erase(n);
    if (m_error)
        return nullptr;
    if (!object) {
        fail("The object of class '" + *className + "' for key '" + key + "' could not be decoded.");
        return nullptr;
    }
    m_decoded.emplace(n, object);
    return object;
}

std::optional<std::vector<CodingPtr>> KeyedUnarchiver::decodeArrayOfObjectsOfClasses(const ClassSet& allowed,
                                                                                      const std::string& key)
{
    auto ref = collectionForKey(key, "NSArray");
    if (!ref)
        return std::nullopt;
    const Value& entry = (*m_objects)[*ref];
    if (m_inProgress.count(*ref)) {
        fail("The archive's array for key '" + key + "' contains itself.");
        return std::nullopt;
    }
    std::vector<CodingPtr> objects;
    m_inProgress.insert(*ref);
    for (const Value& element : entry["NS.objects"].asArray()) {
        auto n = uidOf(element);
        if (!n) {
            fail("The array for key '" + key + "' holds something other than references.");
            break;
        }
        CodingPtr object = objectForUID(*n, &allowed, key);
        if (m_error)
            break;
        objects.push_back(std::move(object));
    }
    m_inProgress.erase(*ref);
    if (m_error)
        return std::nullopt;
    return objects;
}

std::optional<std::vector<std::pair<std::string, CodingPtr>>>
KeyedUnarchiver::decodeDictionaryOfObjectsOfClasses(const ClassSet& allowed, const std::string& key)
{
    auto ref = collectionForKey(key, "NSDictionary");
    if (!ref)
        return std::nullopt;
    const Value& entry = (*m_objects)[*ref];
    const auto& keys = entry["NS.keys"].asArray();
    const auto& values = entry["NS.objects"].asArray();
    if (keys.size() != values.size()) {
        fail("The dictionary for key '" + key + "' has unequal numbers of keys and values.");
        return std::nullopt;
    }
    std::vector<std::pair<std::string, CodingPtr>> objects;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto keyRef = uidOf(keys[i]);
        auto valueRef = uidOf(values[i]);
        Value name;
        std::uint64_t expanded = 0;
        if (!keyRef || !valueRef || !valueForUID(*keyRef, {"NSString"}, key, 1, name, expanded) || !name.isString()) {
            if (!m_error)
                fail("The dictionary for key '" + key + "' has a key that is not a string.");
            return std::nullopt;
        }
        CodingPtr object = objectForUID(*valueRef, &allowed, key);
        if (m_error)
            return std::nullopt;
        objects.emplace_back(name.asString(), std::move(object));
    }
    return objects;
}

} // namespace foundation
