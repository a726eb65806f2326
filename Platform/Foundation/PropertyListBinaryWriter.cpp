// The binary property-list writer.
#include "Platform/Foundation/PropertyListFormats.h"

#include "Platform/Foundation/StringUtils.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace foundation::plist {

namespace {

// A keyed-archive reference: the dictionary {"CF$UID": n}.
std::optional<std::uint64_t> uidOf(const Value& v)
{
    const Dictionary* d = v.dictionaryValue();
    if (!d || d->size() != 1)
        return std::nullopt;
    const Value* n = d->find("CF$UID");
    if (!n || !n->isInteger() || n->asInteger() < 0 || n->asInteger() > 0xFFFFFFFFLL)
        return std::nullopt;
    return static_cast<std::uint64_t>(n->asInteger());
}

int bytesFor(std::uint64_t v)
{
    if (v <= 0xFF)
        return 1;
    if (v <= 0xFFFF)
        return 2;
    if (v <= 0xFFFFFFFFULL)
        return 4;
    return 8;
}

void appendBigEndian(Data& out, std::uint64_t v, int size)
{
    for (int i = size - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (i * 8)));
}

class BinaryWriter {
public:
    bool write(const Value& root, Data& out)
    {
        if (!flatten(root, 0))
            return false;
        m_refSize = bytesFor(m_objects.size());
        out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        offsets.reserve(m_objects.size());
        for (const auto& object : m_objects) {
            offsets.push_back(out.size());
            if (!encode(object, out))
                return false;
        }
        std::uint64_t tableOffset = out.size();
        int offsetSize = bytesFor(tableOffset);
        for (auto offset : offsets)
            appendBigEndian(out, offset, offsetSize);
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(m_refSize));
        appendBigEndian(out, m_objects.size(), 8);
        appendBigEndian(out, 0, 8);
        appendBigEndian(out, tableOffset, 8);
        return true;
    }

    std::string m_problem;

private:
    struct Object {
        const Value* value = nullptr;
        std::string key; // set when the object is a dictionary key
        std::vector<std::uint64_t> refs;
    };

    bool fail(std::string problem)
    {
        m_problem = std::move(problem);
        return false;
    }

    std::uint64_t stringObject(const std::string& s)
    {
        // Keys and repeated strings are stored once, as the platform's writer does.
        auto [it, inserted] = m_strings.try_emplace(s, m_objects.size());
        if (inserted)
            m_objects.push_back(Object{nullptr, s, {}});
        return it->second;
    }

    bool flatten(const Value& v, int depth)
    {
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        std::size_t index = m_objects.size();
        m_objects.push_back(Object{&v, {}, {}});
        if (v.isArray()) {
            for (const Value& item : v.asArray()) {
                std::uint64_t ref = 0;
                if (!child(item, depth, ref))
                    return false;
                m_objects[index].refs.push_back(ref);
            }
        } else if (v.isDictionary() && !uidOf(v)) {
            std::vector<std::uint64_t> keys;
            std::vector<std::uint64_t> values;
            for (const auto& [key, item] : v.asDictionary()) {
                keys.push_back(stringObject(key));
                std::uint64_t ref = 0;
                if (!child(item, depth, ref))
                    return false;
                values.push_back(ref);
            }
            auto& refs = m_objects[index].refs;
            refs = std::move(keys);
            refs.insert(refs.end(), values.begin(), values.end());
        }
        return true;
    }

    bool child(const Value& item, int depth, std::uint64_t& ref)
    {
        if (item.isString()) {
            ref = stringObject(item.asString());
            return true;
        }
        // A container or data shared in memory is written once and referred to wherever it is
        // used, as readers share it again: the document stays the size of the value in memory.
        const void* storage = item.isArray()                     ? static_cast<const void*>(item.arrayValue())
                            : item.isDictionary() && !uidOf(item) ? static_cast<const void*>(item.dictionaryValue())
                            : item.isData()                       ? static_cast<const void*>(&item.asData())
                                                                  : nullptr;
        if (storage) {
            auto [it, inserted] = m_shared.try_emplace(storage, m_objects.size());
            if (!inserted) {
                ref = it->second;
                return true;
            }
        }
        ref = m_objects.size();
        return flatten(item, depth + 1);
    }

    static void appendMarker(Data& out, std::uint8_t kind, std::uint64_t count)
    {
        if (count < 15) {
            out.push_back(static_cast<std::uint8_t>(kind | count));
            return;
        }
        out.push_back(static_cast<std::uint8_t>(kind | 0x0F));
        int size = bytesFor(count);
        out.push_back(static_cast<std::uint8_t>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3)));
        appendBigEndian(out, count, size);
    }

    static void appendDouble(Data& out, std::uint8_t marker, double d)
    {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        out.push_back(marker);
        appendBigEndian(out, bits, 8);
    }

    bool encodeString(const std::string& s, Data& out)
    {
        bool ascii = true;
        for (char c : s)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii) {
            appendMarker(out, 0x50, s.size());
            out.insert(out.end(), s.begin(), s.end());
            return true;
        }
        std::vector<std::uint16_t> units;
        for (std::size_t i = 0; i < s.size();) {
            const auto decoded = decodeUTF8(s, i);
            if (!decoded)
                return fail("a string is not valid UTF-8");
            std::uint32_t cp = *decoded;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                units.push_back(static_cast<std::uint16_t>(0xD800 | (cp >> 10)));
                units.push_back(static_cast<std::uint16_t>(0xDC00 | (cp & 0x3FF)));
            } else {
                units.push_back(static_cast<std::uint16_t>(cp));
            }
        }
        appendMarker(out, 0x60, units.size());
        for (auto u : units)
            appendBigEndian(out, u, 2);
        return true;
    }

    bool encode(const Object& object, Data& out)
    {
        if (!object.value)
            return encodeString(object.key, out);
        const Value& v = *object.value;
        switch (v.type()) {
        case Value::Type::Null: return fail("null has no property-list form");
        case Value::Type::Bool: out.push_back(v.asBool() ? 0x09 : 0x08); return true;
        case Value::Type::Integer: {
            std::int64_t i = v.asInteger();
            int size = i < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(i));
            out.push_back(static_cast<std::uint8_t>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3)));
            appendBigEndian(out, static_cast<std::uint64_t>(i), size);
            return true;
        }
        case Value::Type::Real: appendDouble(out, 0x23, v.asDouble()); return true;
        case Value::Type::String: return encodeString(v.asString(), out);
        case Value::Type::Data:
            appendMarker(out, 0x40, v.asData().size());
            out.insert(out.end(), v.asData().begin(), v.asData().end());
            return true;
        case Value::Type::Date: {
            double seconds = v.asDate().timeIntervalSinceReferenceDate();
            if (!std::isfinite(seconds))
                return fail("a date is not finite");
            appendDouble(out, 0x33, seconds);
            return true;
        }
        // The format has a set marker, but the platform's own writer refuses sets, and a value
        // that could be written in one format and not the other would fail a store the day it
        // changes format.
        case Value::Type::Set: return fail("a set has no property-list form");
        case Value::Type::Array:
            appendMarker(out, 0xA0, object.refs.size());
            break;
        case Value::Type::Dictionary:
            if (auto uid = uidOf(v)) {
                int size = bytesFor(*uid);
                out.push_back(static_cast<std::uint8_t>(0x80 | (size - 1)));
                appendBigEndian(out, *uid, size);
                return true;
            }
            appendMarker(out, 0xD0, object.refs.size() / 2);
            break;
        }
        for (auto ref : object.refs)
            appendBigEndian(out, ref, m_refSize);
        return true;
    }

    std::vector<Object> m_objects;
    std::unordered_map<std::string, std::uint64_t> m_strings;
    std::unordered_map<const void*, std::uint64_t> m_shared;
    int m_refSize = 1;
};

} // namespace

bool writeBinary(const Value& value, Data& out, std::string& problem)
{
    BinaryWriter writer;
    const bool ok = writer.write(value, out);
    problem = std::move(writer.m_problem);
    return ok;
}

} // namespace foundation::plist
