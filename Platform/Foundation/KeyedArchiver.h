#pragma once
// Keyed archives in the platform's layout: a binary property list {"$version": 100000,
// "$archiver": "NSKeyedArchiver", "$top": {...}, "$objects": ["$null", ...]} whose objects
// refer to each other by UID and name their classes in {"$classname", "$classes"} entries.
// An object shared by several owners is archived once and decodes to one shared_ptr.
//
// Objects take part by implementing Coding and registering a decoder for their class name.
// Decoding never throws and never trusts the archive: a missing class, a class outside the
// allowed set, a wrong type, a bad UID or a reference cycle makes the unarchiver fail with a
// Cocoa-domain error (4864 corrupt, 4865 value not found); after the first failure every
// further decode returns nothing. An archiver or unarchiver belongs to one thread; the class
// registry behind them is safe to use from any thread.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace foundation {

class KeyedArchiver;
class KeyedUnarchiver;

extern const std::string NSKeyedArchiveRootObjectKey; // "root"

// An archivable object. className() is the name written to archives (and looked up in the
// registry when decoding).
class Coding {
public:
    virtual ~Coding() = default;
    virtual std::string className() const = 0;
    virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};
using CodingPtr = std::shared_ptr<Coding>;
using ClassSet = std::set<std::string>;

// Plain property-list classes, the allowed set for decodeValue by default.
extern const ClassSet PropertyListClasses; // NSArray NSDictionary NSString NSNumber NSData NSDate NSNull

// A decodable class: its name, its superclasses (nearest first; "NSObject" is implied), whether
// it may be decoded when secure coding is required, its class version, and the factory that
// builds an instance from the unarchiver (nullptr, or a failWithError call, for failure).
struct CodingClass {
    std::string name;
    std::vector<std::string> superclasses;
    bool supportsSecureCoding = true;
    int version = 0;
    std::function<CodingPtr(KeyedUnarchiver&)> decode;
};

class KeyedArchiver {
public:
    explicit KeyedArchiver(bool requiresSecureCoding = false);

    // Registers (or replaces) a class for decoding; the registry is process-wide.
    static void registerClass(CodingClass codingClass);
    // The registered version of a class (0 when unknown) and a way to change it.
    static int classVersion(const std::string& className);
    static void setClassVersion(const std::string& className, int version);

    static Data archivedDataWithRootObject(const std::shared_ptr<const Coding>& root,
                                           bool requiringSecureCoding = false, ErrorPtr* error = nullptr);

    bool requiresSecureCoding() const { return m_requiresSecureCoding; }
    // Writes objects of class `className` under `codedName` (this archiver only).
    void setClassName(const std::string& codedName, const std::string& className);

    void encodeBool(bool value, const std::string& key);
    void encodeInt64(std::int64_t value, const std::string& key);
    void encodeInteger(std::int64_t value, const std::string& key) { encodeInt64(value, key); }
    void encodeDouble(double value, const std::string& key);
    void encodeString(const std::string& value, const std::string& key);
    void encodeData(const Data& value, const std::string& key);
    void encodeDate(Date value, const std::string& key);
    // A Value as the platform's own objects (NSArray, NSDictionary, NSSet, NSNumber, ...); null
    // encodes the null reference.
    void encodeValue(const Value& value, const std::string& key);
    void encodeObject(const std::shared_ptr<const Coding>& object, const std::string& key);
    void encodeArrayOfObjects(const std::vector<std::shared_ptr<const Coding>>& objects, const std::string& key);
    void encodeDictionaryOfObjects(const std::vector<std::pair<std::string, std::shared_ptr<const Coding>>>& objects,
                                   const std::string& key);
    void encodeStringSet(const std::set<std::string>& strings, const std::string& key);

    // The archive so far as a binary property list (finishing is implied; the archiver can
    // still be asked again). Empty, with error() set, when encoding failed.
    Data encodedData();
    ErrorPtr error() const { return m_error; }

private:
    std::uint64_t objectUID(const std::shared_ptr<const Coding>& object);
    std::uint64_t valueUID(const Value& value, int depth);
    std::uint64_t stringUID(const std::string& s);
    std::uint64_t classUID(const std::string& className, const std::vector<std::string>& hierarchy);
    std::uint64_t add(Value object);
    void put(const std::string& key, Value value);
    void fail(const std::string& description);

    bool m_requiresSecureCoding = false;
    Value::Array m_objects;
    std::vector<Dictionary> m_containers; // the top dictionary, then the objects being encoded
    std::map<const Coding*, std::uint64_t> m_objectUIDs;
    std::vector<std::shared_ptr<const Coding>> m_retained; // keeps addresses unique while encoding
    std::map<std::string, std::uint64_t> m_stringUIDs;
    std::map<std::string, std::uint64_t> m_classUIDs;
    std::map<std::string, std::string> m_classNames;
    ErrorPtr m_error;
};

class KeyedUnarchiver {
public:
    // nullptr, with `error` set, when the bytes are not a keyed archive.
    static std::shared_ptr<KeyedUnarchiver> initForReadingFromData(const Data& data, ErrorPtr* error = nullptr);

    // Decode the root object; nullptr with `error` set on any failure (also a missing root).
    static CodingPtr unarchivedObjectOfClasses(const ClassSet& allowed, const Data& data, ErrorPtr* error = nullptr);
    template <class T>
    static std::shared_ptr<T> unarchivedObjectOfClass(const std::string& className, const Data& data,
                                                      ErrorPtr* error = nullptr)
    {
        auto object = std::dynamic_pointer_cast<T>(unarchivedObjectOfClasses({className}, data, error));
        return object;
    }
    // Decode the root object without secure coding, with class-name migrations; used for
    // the system's own stores. nullptr with `error` set on failure.
    static CodingPtr unarchivedObject(const Data& data, ErrorPtr* error = nullptr);

    // Archived class name `codedName` decodes as the registered class `className`: for this
    // unarchiver, or (setDefaultClass) for every unarchiver of the process.
    void setClass(const std::string& className, const std::string& codedName);
    static void setDefaultClass(const std::string& className, const std::string& codedName);

    bool requiresSecureCoding() const { return m_requiresSecureCoding; }
    void setRequiresSecureCoding(bool value) { m_requiresSecureCoding = value; }

    bool containsValueForKey(const std::string& key) const;
    // Missing keys give false / 0; a non-numeric value fails the decoding.
    bool decodeBool(const std::string& key);
    std::int64_t decodeInt64(const std::string& key);
    std::int64_t decodeInteger(const std::string& key) { return decodeInt64(key); }
    double decodeDouble(const std::string& key);
    // Missing keys and the null reference give nullopt; another type fails the decoding.
    std::optional<std::string> decodeString(const std::string& key);
    std::optional<Data> decodeData(const std::string& key);
    std::optional<Date> decodeDate(const std::string& key);
    std::optional<std::set<std::string>> decodeStringSet(const std::string& key);
    // A Value built from plain objects of the allowed classes; null when missing. Sets decode
    // only where "NSSet" is allowed: it is not among PropertyListClasses.
    Value decodeValue(const std::string& key, const ClassSet& allowed = PropertyListClasses);

    // Objects: allowed classes are checked against the registered class and its
    // superclasses ("NSObject" allows any). decodeObject without a set is refused when secure
    // coding is required.
    CodingPtr decodeObject(const std::string& key);
    CodingPtr decodeObjectOfClasses(const ClassSet& allowed, const std::string& key);
    template <class T>
    std::shared_ptr<T> decodeObjectOfClass(const std::string& className, const std::string& key)
    {
        CodingPtr object = decodeObjectOfClasses({className}, key);
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (object && !typed)
            typeMismatch(key, object->className());
        return typed;
    }
    std::optional<std::vector<CodingPtr>> decodeArrayOfObjectsOfClasses(const ClassSet& allowed, const std::string& key);
    std::optional<std::vector<std::pair<std::string, CodingPtr>>>
    decodeDictionaryOfObjectsOfClasses(const ClassSet& allowed, const std::string& key);

    // For decoders: record why an object can't be made. The first error wins.
    void failWithError(ErrorPtr error);
    ErrorPtr error() const { return m_error; }

private:
    KeyedUnarchiver() = default;

    const Value* field(const std::string& key) const;
    std::optional<std::uint64_t> referenceForKey(const std::string& key);
    CodingPtr objectForUID(std::uint64_t uid, const ClassSet* allowed, const std::string& key);
    // `expanded` receives the value's size with every shared part counted where it is used.
    bool valueForUID(std::uint64_t uid, const ClassSet& allowed, const std::string& key, int depth, Value& out,
                     std::uint64_t& expanded);
    std::optional<std::string> classNameOf(const Value& entry, const std::string& key);
    // The reference of the collection archived for `key` when it is a `className` or its mutable
    // kind; none otherwise (a type mismatch when it is something else).
    std::optional<std::uint64_t> collectionForKey(const std::string& key, const std::string& className);
    std::string mappedClassName(const std::string& codedName) const;
    void fail(const std::string& description, long code = NSCoderReadCorruptError);
    void typeMismatch(const std::string& key, const std::string& found);

    Value m_archive;
    const Value::Array* m_objects = nullptr;
    std::vector<const Dictionary*> m_containers;
    std::map<std::uint64_t, CodingPtr> m_decoded;
    // Plain values decoded so far, by object and by the classes allowed when it was decoded: a
    // value read under one set of classes is no answer to a read that allows fewer.
    struct DecodedValue {
        Value value;
        std::uint64_t expanded = 0;
    };
    std::map<std::pair<std::uint64_t, ClassSet>, DecodedValue> m_decodedValues;
    // Plain values share what several references use; past this size, counting each use, they
    // are refused, as nothing could write them out or walk through them.
    std::uint64_t m_expansionLimit = 0;
    std::set<std::uint64_t> m_inProgress;
    std::map<std::string, std::string> m_classMap;
    bool m_requiresSecureCoding = false;
    ErrorPtr m_error;
};

} // namespace foundation
