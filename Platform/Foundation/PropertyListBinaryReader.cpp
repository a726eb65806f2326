// The binary property-list reader.
#include "Platform/Foundation/PropertyListFormats.h"

#include "Platform/Foundation/StringUtils.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace foundation::plist {

namespace {

class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes) : m_bytes(bytes), m_limit(expansionLimit(bytes.size())) { }

    bool read(Value& out)
    {
        if (m_bytes.size() < 8 + 32 + 1)
            return fail("the document is truncated");
        if (m_bytes.substr(6, 2) != "00")
            return fail("unknown binary property-list version");
        std::size_t trailer = m_bytes.size() - 32;
        m_offsetSize = static_cast<std::uint8_t>(m_bytes[trailer + 6]);
        m_refSize = static_cast<std::uint8_t>(m_bytes[trailer + 7]);
        std::uint64_t count = unsignedAt(trailer + 8, 8);
        std::uint64_t top = unsignedAt(trailer + 16, 8);
        m_tableOffset = unsignedAt(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8)
            return fail("the trailer is corrupt");
        if (count == 0 || top >= count || m_tableOffset < 9 || m_tableOffset > trailer
            || count > (trailer - m_tableOffset) / m_offsetSize)
            return fail("the trailer is corrupt");
        // Every object takes at least a byte of its own at an offset the table can express: a
        // count beyond that is a lie, and would only make us set aside room for it.
        const std::uint64_t addressable = m_offsetSize >= 8 ? m_tableOffset : std::min<std::uint64_t>(m_tableOffset, 1ULL << (8 * m_offsetSize));
        if (count > addressable - 8)
            return fail("the trailer is corrupt: it declares more objects than the document holds");
        m_count = count;
        m_state.assign(count, State::Unread);
        Expansion expansion;
        return readObject(top, 0, out, expansion);
    }

    std::string m_problem;

private:
    enum class State : std::uint8_t { Unread, Reading, Done };

    bool fail(std::string problem)
    {
        if (m_problem.empty())
            m_problem = std::move(problem);
        return false;
    }

    // Callers have checked the bounds.
    std::uint64_t unsignedAt(std::size_t at, int size) const
    {
        std::uint64_t v = 0;
        for (int i = 0; i < size; ++i)
            v = (v << 8) | static_cast<std::uint8_t>(m_bytes[at + static_cast<std::size_t>(i)]);
        return v;
    }

    // Objects live between the header and the offset table.
    bool have(std::size_t at, std::uint64_t length) const { return at <= m_tableOffset && length <= m_tableOffset - at; }

    bool readCount(std::size_t& at, std::uint8_t marker, std::uint64_t& count)
    {
        count = marker & 0x0F;
        if (count != 0x0F)
            return true;
        if (!have(at, 1))
            return fail("an object is truncated");
        auto intMarker = static_cast<std::uint8_t>(m_bytes[at]);
        int size = 1 << (intMarker & 0x0F);
        if ((intMarker & 0xF0) != 0x10 || size > 8 || !have(at + 1, static_cast<std::uint64_t>(size)))
            return fail("an object's length is corrupt");
        count = unsignedAt(at + 1, size);
        at += 1 + static_cast<std::size_t>(size);
        return true;
    }

    bool readObject(std::uint64_t index, int depth, Value& out, Expansion& expansion)
    {
        if (index >= m_count)
            return fail("an object reference is out of range");
        if (m_state[index] == State::Done) {
            // Shared objects decode once and share storage; numbers and the like decode again.
            if (auto cached = m_cache.find(index); cached != m_cache.end()) {
                out = cached->second.value;
                expansion = cached->second.expansion;
                return true;
            }
            return decodeAt(index, depth, out, expansion);
        }
        if (m_state[index] == State::Reading)
            return fail("an object contains itself");
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        m_state[index] = State::Reading;
        if (!decodeAt(index, depth, out, expansion))
            return false;
        m_state[index] = State::Done;
        // Kept are the objects whose second decoding would cost more than the entry: containers
        // (decoding one again would walk all of it) and long texts and data. An empty container or
        // a short text decodes again in no time, and a document of millions of them must not
        // cost a cache entry each.
        const bool worthKeeping = ((out.isArray() || out.isDictionary()) && out.size() > 0)
                                  || (out.isString() && out.asString().size() >= 16) || (out.isData() && out.size() >= 16);
        if (worthKeeping)
            m_cache.emplace(index, Cached{out, expansion});
        return true;
    }

    bool decodeAt(std::uint64_t index, int depth, Value& out, Expansion& expansion)
    {
        std::uint64_t offset = unsignedAt(m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_tableOffset)
            return fail("an object offset is out of range");
        expansion = Expansion{1, 0, 0};
        return decode(static_cast<std::size_t>(offset), depth, out, expansion);
    }

    // Counts a child into its container's expansion; false once the whole passes the limit.
    bool addChild(Expansion& expansion, const Expansion& child)
    {
        expansion.addChild(child);
        if (expansion.size() > m_limit)
            return fail(expandsTooMuch(m_limit, true));
        return true;
    }

    bool decode(std::size_t at, int depth, Value& out, Expansion& expansion)
    {
        auto marker = static_cast<std::uint8_t>(m_bytes[at++]);
        switch (marker >> 4) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09) {
                out = Value(marker == 0x09);
                return true;
            }
            return fail("an object has an unsupported type");
        case 0x1: {
            int size = 1 << (marker & 0x0F);
            if (size > 16 || !have(at, static_cast<std::uint64_t>(size)))
                return fail("an integer is corrupt");
            if (size == 16) {
                // 128-bit: the platform writes unsigned 64-bit values this way.
                std::uint64_t high = unsignedAt(at, 8);
                std::uint64_t low = unsignedAt(at + 8, 8);
                if (high == 0)
                    out = Value(low);
                else if (high == ~0ULL && (low >> 63))
                    out = Value(static_cast<std::int64_t>(low));
                else
                    return fail("an integer is out of range");
            } else if (size == 8) {
                out = Value(static_cast<std::int64_t>(unsignedAt(at, 8)));
            } else {
                out = Value(unsignedAt(at, size));
            }
            return true;
        }
        case 0x2:
        case 0x3: {
            bool isDate = marker == 0x33;
            int size = 1 << (marker & 0x0F);
            if ((marker != 0x22 && marker != 0x23 && !isDate) || !have(at, static_cast<std::uint64_t>(size)))
                return fail("a real or date is corrupt");
            double d = 0;
            if (size == 4) {
                auto bits = static_cast<std::uint32_t>(unsignedAt(at, 4));
                float f = 0;
                std::memcpy(&f, &bits, sizeof f);
                d = f;
            } else {
                std::uint64_t bits = unsignedAt(at, 8);
                std::memcpy(&d, &bits, sizeof d);
            }
            if (isDate)
                out = Value(Date::dateWithTimeIntervalSinceReferenceDate(d));
            else
                out = Value(d);
            return true;
        }
        case 0x4:
        case 0x5:
        case 0x6: {
            std::uint64_t count = 0;
            if (!readCount(at, marker, count))
                return false;
            std::uint64_t length = (marker >> 4) == 0x6 ? count * 2 : count;
            if (count > m_tableOffset || !have(at, length))
                return fail("a string or data object is truncated");
            std::string_view bytes = m_bytes.substr(at, static_cast<std::size_t>(length));
            expansion.payload = length;
            if ((marker >> 4) == 0x4)
                out = Value(Data(bytes.begin(), bytes.end()));
            else if ((marker >> 4) == 0x5)
                out = Value(latin1(bytes));
            else
                out = Value(utf16(bytes));
            return true;
        }
        case 0x8: {
            int size = (marker & 0x0F) + 1;
            if (size > 8 || !have(at, static_cast<std::uint64_t>(size)))
                return fail("a UID is corrupt");
            std::uint64_t uid = unsignedAt(at, size);
            if (uid > 0xFFFFFFFFULL)
                return fail("a UID is out of range");
            out = Value::dictionary({{"CF$UID", Value(uid)}});
            return true;
        }
        case 0xA:
        case 0xD: {
            bool isDictionary = (marker >> 4) == 0xD;
            std::uint64_t count = 0;
            if (!readCount(at, marker, count))
                return false;
            std::uint64_t refs = isDictionary ? count * 2 : count;
            if (count > m_tableOffset || !have(at, refs * m_refSize))
                return fail("an array or dictionary is truncated");
            auto refAt = [&](std::uint64_t i) {
                return unsignedAt(at + static_cast<std::size_t>(i * m_refSize), m_refSize);
            };
            if (!isDictionary) {
                Value::Array items;
                items.reserve(static_cast<std::size_t>(count));
                for (std::uint64_t i = 0; i < count; ++i) {
                    Value item;
                    Expansion child;
                    if (!readObject(refAt(i), depth + 1, item, child) || !addChild(expansion, child))
                        return false;
                    items.push_back(std::move(item));
                }
                out = Value(std::move(items));
                return true;
            }
            Dictionary dictionary;
            for (std::uint64_t i = 0; i < count; ++i) {
                Value key;
                Value item;
                Expansion keyExpansion;
                Expansion itemExpansion;
                if (!readObject(refAt(i), depth + 1, key, keyExpansion) || !addChild(expansion, keyExpansion)
                    || !readObject(refAt(count + i), depth + 1, item, itemExpansion)
                    || !addChild(expansion, itemExpansion))
                    return false;
                if (!key.isString())
                    return fail("a dictionary key is not a string");
                dictionary.set(key.asString(), std::move(item));
            }
            out = Value(std::move(dictionary));
            return true;
        }
        default:
            return fail("an object has an unsupported type");
        }
    }

    static std::string latin1(std::string_view bytes)
    {
        std::string out;
        out.reserve(bytes.size());
        for (char c : bytes)
            appendUTF8(out, static_cast<unsigned char>(c));
        return out;
    }

    // UTF-16BE to UTF-8; an unpaired surrogate becomes U+FFFD rather than failing the document.
    static std::string utf16(std::string_view bytes)
    {
        std::string out;
        out.reserve(bytes.size());
        auto unit = [&](std::size_t i) {
            return static_cast<std::uint32_t>((static_cast<std::uint8_t>(bytes[2 * i]) << 8)
                                              | static_cast<std::uint8_t>(bytes[2 * i + 1]));
        };
        std::size_t count = bytes.size() / 2;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t u = unit(i);
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
                appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
                ++i;
            } else if (u >= 0xD800 && u <= 0xDFFF) {
                appendUTF8(out, 0xFFFD);
            } else {
                appendUTF8(out, u);
            }
        }
        return out;
    }

    std::string_view m_bytes;
    std::uint8_t m_offsetSize = 0;
    std::uint8_t m_refSize = 0;
    std::uint64_t m_count = 0;
    std::uint64_t m_tableOffset = 0;
    struct Cached {
        Value value;
        Expansion expansion;
    };
    std::uint64_t m_limit = 0;
    std::unordered_map<std::uint64_t, Cached> m_cache; // the objects worth sharing, once read
    std::vector<State> m_state;
};

} // namespace

bool readBinary(std::string_view bytes, Value& out, std::string& problem)
{
    BinaryReader reader(bytes);
    const bool ok = reader.read(out);
    problem = std::move(reader.m_problem);
    return ok;
}

} // namespace foundation::plist
