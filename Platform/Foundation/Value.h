#pragma once
// The property-list / JSON value: null, bool, integer, real, string, data, date, array, an
// ordered dictionary (insertion order kept, string keys) or a set (distinct members, no order).
// A plain value with deep equality; arrays, dictionaries, sets and data are shared
// copy-on-write, so copies are cheap. A Value may be
// read from many threads at once; writing one needs the usual exclusive access.
//
// Numbers behave as the platform's number objects: integers and reals compare by value and
// convert into each other; a bool reads as 0/1 through the numeric getters but stays its own
// type, so a bool never equals an integer (JSON true and 1 must survive a round trip).
//
// Sets have no JSON or property-list form: the writers refuse them with an error. Keyed
// archives hold them as NSSet.

#include "Platform/Foundation/Date.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace foundation {

using Data = std::vector<std::uint8_t>;

class Dictionary;
class Set;

class Value {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary, Set };
    using Array = std::vector<Value>;

    Value() = default;
    Value(std::nullptr_t) { }
    Value(bool b) : m_storage(b) { }
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Value(T i) : m_storage(fromIntegral(i)) { }
    template <std::floating_point T>
    Value(T d) : m_storage(static_cast<double>(d)) { }
    Value(const char* s);
    Value(std::string s);
    Value(std::string_view s);
    Value(foundation::Data d);
    Value(foundation::Date d) : m_storage(d) { }
    Value(Array a);
    Value(foundation::Dictionary d);
    Value(foundation::Set s);
    Value(char* s) : Value(static_cast<const char*>(s)) { }
    template <class T>
        requires(!std::same_as<std::remove_cv_t<T>, char>)
    Value(T*) = delete; // a stray pointer would otherwise become a bool

    static Value array(std::initializer_list<Value> items = {});
    static Value dictionary(std::initializer_list<std::pair<std::string, Value>> entries = {});
    // A set of the distinct members (see Set).
    static Value setOf(std::initializer_list<Value> members = {});

    Type type() const { return static_cast<Type>(m_storage.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isBool() || isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isSet() const { return type() == Type::Set; }

    // Typed reads: nullopt / nullptr unless the value has that type (numbers convert into each
    // other; a real converts to an integer only when in range, truncating toward zero).
    std::optional<bool> boolValue() const;
    std::optional<std::int64_t> integerValue() const;
    std::optional<double> doubleValue() const;
    std::optional<std::string> stringValue() const;
    std::optional<foundation::Data> dataValue() const;
    std::optional<foundation::Date> dateValue() const;
    const Array* arrayValue() const;
    const foundation::Dictionary* dictionaryValue() const;

    // Lenient reads for data of unknown shape: the typed read, or `fallback` / an empty value.
    bool asBool(bool fallback = false) const { return boolValue().value_or(fallback); }
    std::int64_t asInteger(std::int64_t fallback = 0) const { return integerValue().value_or(fallback); }
    double asDouble(double fallback = 0) const { return doubleValue().value_or(fallback); }
    const std::string& asString() const;
    const foundation::Data& asData() const;
    foundation::Date asDate(foundation::Date fallback = {}) const { return dateValue().value_or(fallback); }
    const Array& asArray() const;
    const foundation::Dictionary& asDictionary() const;
    const foundation::Set& asSet() const;

    // Mutable access. A null value becomes an empty array / dictionary first; any other type
    // throws NSInvalidArgumentException (a programming error, not bad input).
    Array& mutableArray();
    foundation::Dictionary& mutableDictionary();

    // Dictionary conveniences. Reading a missing key (or reading a non-dictionary) gives null.
    const Value& operator[](std::string_view key) const;
    Value& operator[](std::string_view key); // inserts null when missing
    const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
    Value& operator[](const char* key) { return (*this)[std::string_view(key)]; }
    const Value* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    void set(std::string_view key, Value value);
    bool erase(std::string_view key);
    std::vector<std::string> keys() const;

    // Array conveniences. Reading out of range (or a non-array) gives null.
    const Value& operator[](std::size_t index) const;
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    const Value& operator[](T index) const
    {
        return index < 0 ? null() : (*this)[static_cast<std::size_t>(index)];
    }
    // Writing an element: throws NSRangeException unless this is an array holding `index`.
    Value& at(std::size_t index);
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Value& operator[](T index)
    {
        return index < 0 ? at(SIZE_MAX) : at(static_cast<std::size_t>(index));
    }
    void append(Value value);

    // Element count of an array, dictionary or set, byte count of data, else 0.
    std::size_t size() const;

    bool operator==(const Value& other) const;

    // A one-line rendering for logs and test failures (not a storage format).
    std::string debugDescription() const;

    static const Value& null();

private:
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string,
                                 std::shared_ptr<const foundation::Data>, foundation::Date,
                                 std::shared_ptr<Array>, std::shared_ptr<foundation::Dictionary>,
                                 std::shared_ptr<const foundation::Set>>;

    template <class T>
    static Storage fromIntegral(T i)
    {
        // Unsigned values past the integer range keep their magnitude as a real.
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
            if (i > static_cast<T>(INT64_MAX))
                return static_cast<double>(i);
        }
        return static_cast<std::int64_t>(i);
    }

    Storage m_storage;
};

// Lets test frameworks print values readably.
void PrintTo(const Value& value, std::ostream* out);

// A dictionary that keeps its keys in insertion order. Replacing a key's value keeps its
// position; equality ignores order, as the platform's dictionaries do.
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);

    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    const Value& operator[](std::string_view key) const;
    Value& operator[](std::string_view key); // inserts null when missing
    void set(std::string_view key, Value value);
    bool erase(std::string_view key);
    std::vector<std::string> keys() const;
    void clear();

    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }

    bool operator==(const Dictionary& other) const;

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    std::vector<Entry> m_entries;
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> m_index;
};

// An unordered collection of distinct values, as the platform's sets: members are distinct by
// Value's equality (so 1 and 1.0 are one member, true and 1 two), and of equal members the
// first given is kept. Two sets are equal when they hold equal members, whatever the order
// they were given in. A member holding a NaN equals nothing, itself included, so it is never
// merged nor found, as in an array. Built once and read only.
//
// Members are kept in one fixed order (the same for equal sets); callers that need a
// particular order sort them themselves. Building sorts, so a set of n members costs n log n
// comparisons whatever its members are.
class Set {
public:
    using const_iterator = std::vector<Value>::const_iterator;

    Set() = default;
    Set(std::initializer_list<Value> members) : Set(std::vector<Value>(members)) { }
    explicit Set(std::vector<Value> members);

    std::size_t size() const { return m_members.size(); }
    bool empty() const { return m_members.empty(); }
    bool contains(const Value& value) const;

    const_iterator begin() const { return m_members.begin(); }
    const_iterator end() const { return m_members.end(); }

    bool operator==(const Set& other) const;

private:
    friend struct SetOrder;

    // The members that can equal something, in order, then those holding a NaN.
    std::vector<Value> m_members;
    std::size_t m_comparable = 0;
};

} // namespace foundation
