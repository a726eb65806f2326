#include "Platform/Foundation/Value.h"

#include "Platform/Foundation/Error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <unordered_map>

namespace foundation {

namespace {

const std::string& emptyString()
{
    static const std::string s;
    return s;
}

const Data& emptyData()
{
    static const Data d;
    return d;
}

const Value::Array& emptyArray()
{
    static const Value::Array a;
    return a;
}

const Dictionary& emptyDictionary()
{
    static const Dictionary d;
    return d;
}

const Set& emptySet()
{
    static const Set s;
    return s;
}

// A real converts to an integer only when it lies inside the integer range; NaN and
// infinities have no integer value.
std::optional<std::int64_t> integerFromDouble(double d)
{
    if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<std::int64_t>(d);
}

bool integerEqualsDouble(std::int64_t i, double d)
{
    auto asInteger = integerFromDouble(d);
    return asInteger && *asInteger == i && static_cast<double>(*asInteger) == d;
}

} // namespace

Value::Value(const char* s) : m_storage(std::string(s ? s : "")) { }
Value::Value(std::string s) : m_storage(std::move(s)) { }
Value::Value(std::string_view s) : m_storage(std::string(s)) { }
Value::Value(foundation::Data d) : m_storage(std::make_shared<const Data>(std::move(d))) { }
Value::Value(Array a) : m_storage(std::make_shared<Array>(std::move(a))) { }
Value::Value(foundation::Dictionary d) : m_storage(std::make_shared<Dictionary>(std::move(d))) { }
Value::Value(foundation::Set s) : m_storage(std::make_shared<const Set>(std::move(s))) { }

Value Value::array(std::initializer_list<Value> items)
{
    return Value(Array(items));
}

Value Value::dictionary(std::initializer_list<std::pair<std::string, Value>> entries)
{
    return Value(Dictionary(entries));
}

Value Value::setOf(std::initializer_list<Value> members)
{
    return Value(Set(members));
}

const Value& Value::null()
{
    static const Value v;
    return v;
}

std::optional<bool> Value::boolValue() const
{
    switch (type()) {
    case Type::Bool: return std::get<bool>(m_storage);
    case Type::Integer: return std::get<std::int64_t>(m_storage) != 0;
    case Type::Real: return std::get<double>(m_storage) != 0;
    default: return std::nullopt;
    }
}

std::optional<std::int64_t> Value::integerValue() const
{
    switch (type()) {
    case Type::Bool: return std::get<bool>(m_storage) ? 1 : 0;
    case Type::Integer: return std::get<std::int64_t>(m_storage);
    case Type::Real: return integerFromDouble(std::get<double>(m_storage));
    default: return std::nullopt;
    }
}

std::optional<double> Value::doubleValue() const
{
    switch (type()) {
    case Type::Bool: return std::get<bool>(m_storage) ? 1.0 : 0.0;
    case Type::Integer: return static_cast<double>(std::get<std::int64_t>(m_storage));
    case Type::Real: return std::get<double>(m_storage);
    default: return std::nullopt;
    }
}

std::optional<std::string> Value::stringValue() const
{
    if (!isString())
        return std::nullopt;
    return std::get<std::string>(m_storage);
}

std::optional<Data> Value::dataValue() const
{
    if (!isData())
        return std::nullopt;
    return *std::get<std::shared_ptr<const Data>>(m_storage);
}

std::optional<Date> Value::dateValue() const
{
    if (!isDate())
        return std::nullopt;
    return std::get<Date>(m_storage);
}

const Value::Array* Value::arrayValue() const
{
    return isArray() ? std::get<std::shared_ptr<Array>>(m_storage).get() : nullptr;
}

const Dictionary* Value::dictionaryValue() const
{
    return isDictionary() ? std::get<std::shared_ptr<Dictionary>>(m_storage).get() : nullptr;
}

const std::string& Value::asString() const
{
    return isString() ? std::get<std::string>(m_storage) : emptyString();
}

const Data& Value::asData() const
{
    return isData() ? *std::get<std::shared_ptr<const Data>>(m_storage) : emptyData();
}

const Value::Array& Value::asArray() const
{
    const Array* a = arrayValue();
    return a ? *a : emptyArray();
}

const Dictionary& Value::asDictionary() const
{
    const Dictionary* d = dictionaryValue();
    return d ? *d : emptyDictionary();
}

const Set& Value::asSet() const
{
    return isSet() ? *std::get<std::shared_ptr<const Set>>(m_storage) : emptySet();
}

Value::Array& Value::mutableArray()
{
    if (isNull())
        m_storage = std::make_shared<Array>();
    if (!isArray())
        throw Exception(NSInvalidArgumentException, "value is not an array");
    auto& p = std::get<std::shared_ptr<Array>>(m_storage);
    // Another Value shares this array: take our own copy before writing.
    if (p.use_count() > 1)
        p = std::make_shared<Array>(*p);
    return *p;
}

Dictionary& Value::mutableDictionary()
{
    if (isNull())
        m_storage = std::make_shared<Dictionary>();
    if (!isDictionary())
        throw Exception(NSInvalidArgumentException, "value is not a dictionary");
    auto& p = std::get<std::shared_ptr<Dictionary>>(m_storage);
    if (p.use_count() > 1)
        p = std::make_shared<Dictionary>(*p);
    return *p;
}

const Value& Value::operator[](std::string_view key) const
{
    const Value* v = find(key);
    return v ? *v : null();
}

Value& Value::operator[](std::string_view key)
{
    return mutableDictionary()[key];
}

const Value* Value::find(std::string_view key) const
{
    const Dictionary* d = dictionaryValue();
    return d ? d->find(key) : nullptr;
}

void Value::set(std::string_view key, Value value)
{
    mutableDictionary().set(key, std::move(value));
}

bool Value::erase(std::string_view key)
{
    if (!isDictionary())
        return false;
    if (!find(key))
        return false; // nothing to erase: don't detach a shared dictionary for nothing
    return mutableDictionary().erase(key);
}

std::vector<std::string> Value::keys() const
{
    return asDictionary().keys();
}

const Value& Value::operator[](std::size_t index) const
{
    const Array& a = asArray();
    return index < a.size() ? a[index] : null();
}

Value& Value::at(std::size_t index)
{
    if (!isArray())
        throw Exception(NSRangeException, "value is not an array");
    Array& a = mutableArray();
    if (index >= a.size())
        throw Exception(NSRangeException, "index " + std::to_string(index) + " beyond bounds [0 .. "
                                            + std::to_string(a.size()) + ")");
    return a[index];
}

void Value::append(Value value)
{
    mutableArray().push_back(std::move(value));
}

std::size_t Value::size() const
{
    switch (type()) {
    case Type::Array: return asArray().size();
    case Type::Dictionary: return asDictionary().size();
    case Type::Data: return asData().size();
    case Type::Set: return asSet().size();
    default: return 0;
    }
}

bool Value::operator==(const Value& other) const
{
    Type a = type();
    Type b = other.type();
    if (a == Type::Integer && b == Type::Real)
        return integerEqualsDouble(std::get<std::int64_t>(m_storage), std::get<double>(other.m_storage));
    if (a == Type::Real && b == Type::Integer)
        return other == *this;
    if (a != b)
        return false;
    switch (a) {
    case Type::Null: return true;
    case Type::Bool: return std::get<bool>(m_storage) == std::get<bool>(other.m_storage);
    case Type::Integer: return std::get<std::int64_t>(m_storage) == std::get<std::int64_t>(other.m_storage);
    case Type::Real: return std::get<double>(m_storage) == std::get<double>(other.m_storage);
    case Type::String: return std::get<std::string>(m_storage) == std::get<std::string>(other.m_storage);
    case Type::Data: return asData() == other.asData();
    case Type::Date: return std::get<Date>(m_storage) == std::get<Date>(other.m_storage);
    case Type::Array: return asArray() == other.asArray();
    case Type::Dictionary: return asDictionary() == other.asDictionary();
    case Type::Set: return asSet() == other.asSet();
    }
    return false;
}

namespace {

// Past this, a description ends in "…": values share parts freely, and a log line that spelled
// out every use of a shared part could be endless.
constexpr std::size_t MaximumDescriptionLength = 1 << 20;

void describe(const Value& v, std::string& out, bool& cut);

template<typename Members>
void describeMembers(const Members& members, const char* open, const char* close, std::string& out, bool& cut)
{
    out += open;
    bool first = true;
    for (const Value& item : members) {
        if (out.size() > MaximumDescriptionLength) {
            cut = true;
            return;
        }
        out += first ? "" : ", ";
        first = false;
        describe(item, out, cut);
    }
    out += close;
}

void describe(const Value& v, std::string& out, bool& cut)
{
    if (out.size() > MaximumDescriptionLength) {
        cut = true;
        return;
    }
    switch (v.type()) {
    case Value::Type::Null: out += "null"; return;
    case Value::Type::Bool: out += v.asBool() ? "true" : "false"; return;
    case Value::Type::Integer: out += std::to_string(v.asInteger()); return;
    case Value::Type::Real: {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", v.asDouble());
        out += buffer;
        return;
    }
    case Value::Type::String: out += "\"" + v.asString() + "\""; return;
    case Value::Type::Data: out += "<" + std::to_string(v.asData().size()) + " bytes>"; return;
    case Value::Type::Date: out += "@" + std::to_string(v.asDate().timeIntervalSince1970()); return;
    case Value::Type::Array: describeMembers(v.asArray(), "[", "]", out, cut); return;
    case Value::Type::Dictionary: {
        out += "{";
        bool first = true;
        for (const auto& [key, item] : v.asDictionary()) {
            if (out.size() > MaximumDescriptionLength) {
                cut = true;
                return;
            }
            out += first ? "\"" : ", \"";
            first = false;
            out += key + "\": ";
            describe(item, out, cut);
        }
        out += "}";
        return;
    }
    case Value::Type::Set: describeMembers(v.asSet(), "{(", ")}", out, cut); return;
    }
}

} // namespace

std::string Value::debugDescription() const
{
    std::string out;
    bool cut = false;
    describe(*this, out, cut);
    if (cut)
        out += "\xE2\x80\xA6";
    return out;
}

void PrintTo(const Value& value, std::ostream* out)
{
    *out << value.debugDescription();
}

// MARK: Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries)
{
    for (const auto& e : entries)
        set(e.first, e.second);
}

const Value* Dictionary::find(std::string_view key) const
{
    auto it = m_index.find(key);
    return it == m_index.end() ? nullptr : &m_entries[it->second].second;
}

Value* Dictionary::find(std::string_view key)
{
    auto it = m_index.find(key);
    return it == m_index.end() ? nullptr : &m_entries[it->second].second;
}

const Value& Dictionary::operator[](std::string_view key) const
{
    const Value* v = find(key);
    return v ? *v : Value::null();
}

Value& Dictionary::operator[](std::string_view key)
{
    if (Value* v = find(key))
        return *v;
    m_index.emplace(std::string(key), m_entries.size());
    m_entries.emplace_back(std::string(key), Value());
    return m_entries.back().second;
}

void Dictionary::set(std::string_view key, Value value)
{
    (*this)[key] = std::move(value);
}

bool Dictionary::erase(std::string_view key)
{
    auto it = m_index.find(key);
    if (it == m_index.end())
        return false;
    std::size_t position = it->second;
    m_index.erase(it);
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(position));
    for (auto& [k, i] : m_index) {
        if (i > position)
            --i;
    }
    return true;
}

std::vector<std::string> Dictionary::keys() const
{
    std::vector<std::string> result;
    result.reserve(m_entries.size());
    for (const auto& e : m_entries)
        result.push_back(e.first);
    return result;
}

void Dictionary::clear()
{
    m_entries.clear();
    m_index.clear();
}

bool Dictionary::operator==(const Dictionary& other) const
{
    if (size() != other.size())
        return false;
    for (const auto& [key, value] : m_entries) {
        const Value* theirs = other.find(key);
        if (!theirs || !(*theirs == value))
            return false;
    }
    return true;
}

// MARK: Set

// A total order on values whose ties are exactly Value's equality, for values that hold no NaN
// (those equal nothing, so no order can tie them with anything and they are kept apart).
// Numbers of either kind compare by exact value; dictionaries and sets compare by content,
// whatever their order, as their equality does.
struct SetOrder {
    static bool equalsNothing(const Value& v)
    {
        switch (v.type()) {
        case Value::Type::Real: return std::isnan(v.asDouble());
        case Value::Type::Date: return std::isnan(v.asDate().timeIntervalSinceReferenceDate());
        case Value::Type::Array:
            return std::any_of(v.asArray().begin(), v.asArray().end(), [](const Value& item) { return equalsNothing(item); });
        case Value::Type::Dictionary:
            return std::any_of(v.asDictionary().begin(), v.asDictionary().end(),
                               [](const Dictionary::Entry& entry) { return equalsNothing(entry.second); });
        case Value::Type::Set: return v.asSet().m_comparable < v.asSet().size();
        default: return false;
        }
    }

    template <class T>
    static int threeWay(const T& a, const T& b)
    {
        return a < b ? -1 : b < a ? 1 : 0;
    }

    static int rank(Value::Type type)
    {
        switch (type) {
        case Value::Type::Null: return 0;
        case Value::Type::Bool: return 1;
        case Value::Type::Integer:
        case Value::Type::Real: return 2;
        case Value::Type::String: return 3;
        case Value::Type::Data: return 4;
        case Value::Type::Date: return 5;
        case Value::Type::Array: return 6;
        case Value::Type::Dictionary: return 7;
        case Value::Type::Set: return 8;
        }
        return 9;
    }

    // Exact, with no rounding of the integer to a real.
    static int compareIntegerToReal(std::int64_t i, double d)
    {
        if (d >= 9223372036854775808.0)
            return -1;
        if (d < -9223372036854775808.0)
            return 1;
        const double whole = std::trunc(d);
        const auto wholeInteger = static_cast<std::int64_t>(whole);
        if (i != wholeInteger)
            return i < wholeInteger ? -1 : 1;
        const double fraction = d - whole;
        return fraction > 0 ? -1 : fraction < 0 ? 1 : 0;
    }

    using Entries = std::vector<const Dictionary::Entry*>;
    // Dictionaries' entries in key order, kept while one set is built: sorting a dictionary for
    // each comparison would cost building a set of n dictionaries another log factor. Values
    // being compared are not written (a shared dictionary is copied before any write).
    using EntryCache = std::unordered_map<const Dictionary*, Entries>;

    static Entries byKey(const Dictionary& d)
    {
        Entries entries;
        entries.reserve(d.size());
        for (const auto& entry : d)
            entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
        return entries;
    }

    static const Entries& sorted(const Dictionary& d, EntryCache* cache, Entries& scratch)
    {
        if (!cache) {
            scratch = byKey(d);
            return scratch;
        }
        auto [it, inserted] = cache->try_emplace(&d);
        if (inserted)
            it->second = byKey(d);
        return it->second;
    }

    static int compare(const Value& a, const Value& b, EntryCache* cache = nullptr)
    {
        if (int byRank = threeWay(rank(a.type()), rank(b.type())))
            return byRank;
        // One container shared by both (as decoded archives share what they refer to twice) is
        // equal to itself: no NaN reaches here.
        if ((a.isArray() && a.arrayValue() == b.arrayValue()) || (a.isDictionary() && a.dictionaryValue() == b.dictionaryValue())
            || (a.isSet() && &a.asSet() == &b.asSet()))
            return 0;
        switch (a.type()) {
        case Value::Type::Null: return 0;
        case Value::Type::Bool: return threeWay(a.asBool(), b.asBool());
        case Value::Type::Integer:
        case Value::Type::Real:
            if (a.isInteger() && b.isInteger())
                return threeWay(a.asInteger(), b.asInteger());
            if (a.isReal() && b.isReal())
                return threeWay(a.asDouble(), b.asDouble());
            if (a.isInteger())
                return compareIntegerToReal(a.asInteger(), b.asDouble());
            return -compareIntegerToReal(b.asInteger(), a.asDouble());
        case Value::Type::String: {
            const int c = a.asString().compare(b.asString());
            return c < 0 ? -1 : c > 0 ? 1 : 0;
        }
        case Value::Type::Data: return threeWay(a.asData(), b.asData());
        case Value::Type::Date:
            return threeWay(a.asDate().timeIntervalSinceReferenceDate(), b.asDate().timeIntervalSinceReferenceDate());
        case Value::Type::Array: {
            const auto& x = a.asArray();
            const auto& y = b.asArray();
            for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
                if (int c = compare(x[i], y[i], cache))
                    return c;
            }
            return threeWay(x.size(), y.size());
        }
        case Value::Type::Dictionary: {
            if (int bySize = threeWay(a.asDictionary().size(), b.asDictionary().size()))
                return bySize;
            Entries xSorted;
            Entries ySorted;
            const Entries& x = sorted(a.asDictionary(), cache, xSorted);
            const Entries& y = sorted(b.asDictionary(), cache, ySorted);
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (int c = threeWay(x[i]->first, y[i]->first))
                    return c;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (int c = compare(x[i]->second, y[i]->second, cache))
                    return c;
            }
            return 0;
        }
        case Value::Type::Set: {
            // Both hold only comparable members, each in order.
            const auto& x = a.asSet().m_members;
            const auto& y = b.asSet().m_members;
            if (int bySize = threeWay(x.size(), y.size()))
                return bySize;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (int c = compare(x[i], y[i], cache))
                    return c;
            }
            return 0;
        }
        }
        return 0;
    }
};

Set::Set(std::vector<Value> members)
{
    std::vector<Value> apart;
    m_members.reserve(members.size());
    for (Value& member : members)
        (SetOrder::equalsNothing(member) ? apart : m_members).push_back(std::move(member));
    // Stable, so that of equal members the first given comes first and is the one kept.
    SetOrder::EntryCache cache;
    std::stable_sort(m_members.begin(), m_members.end(),
                     [&](const Value& a, const Value& b) { return SetOrder::compare(a, b, &cache) < 0; });
    m_members.erase(std::unique(m_members.begin(), m_members.end(),
                                [&](const Value& a, const Value& b) { return SetOrder::compare(a, b, &cache) == 0; }),
                    m_members.end());
    m_comparable = m_members.size();
    m_members.insert(m_members.end(), std::make_move_iterator(apart.begin()), std::make_move_iterator(apart.end()));
}

bool Set::contains(const Value& value) const
{
    if (SetOrder::equalsNothing(value))
        return false;
    const auto end = m_members.begin() + static_cast<std::ptrdiff_t>(m_comparable);
    const auto it = std::lower_bound(m_members.begin(), end, value,
                                     [](const Value& a, const Value& b) { return SetOrder::compare(a, b) < 0; });
    return it != end && SetOrder::compare(*it, value) == 0;
}

bool Set::operator==(const Set& other) const
{
    // A member that equals nothing has no equal in the other set.
    if (m_comparable != m_members.size() || other.m_comparable != other.m_members.size())
        return false;
    if (m_members.size() != other.m_members.size())
        return false;
    for (std::size_t i = 0; i < m_members.size(); ++i) {
        if (SetOrder::compare(m_members[i], other.m_members[i]) != 0)
            return false;
    }
    return true;
}

} // namespace foundation
