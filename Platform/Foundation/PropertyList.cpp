#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>

// Both formats are read and written here rather than through libplist: its reader recurses
// without bound (a deeply nested document overflows the stack), accepts malformed XML values,
// cannot hand out dates outside 1933-2069 or just before 2001 correctly, and crashes writing
// a binary document whose top object is not a container.

namespace foundation {

namespace {

constexpr double SecondsFrom1970To2001 = Date::TimeIntervalSince1970AtReferenceDate;

ErrorPtr corrupt(const std::string& problem)
{
    return Error::make(CocoaErrorDomain, PropertyListReadCorruptError,
                       "The property list isn't in the correct format: " + problem + ".");
}

ErrorPtr invalid(const std::string& problem)
{
    return Error::make(CocoaErrorDomain, PropertyListWriteInvalidError,
                       "The value can't be written as a property list: " + problem + ".");
}

std::string tooDeep()
{
    return "arrays and dictionaries are nested more than " + std::to_string(PropertyListMaximumNestingDepth)
           + " levels deep";
}

// MARK: Base64 (XML <data>)

// Written in the standard form; read more leniently than Base64.h reads, as documents
// written by hand or by other tools have white space anywhere and may leave out the padding.
constexpr char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::optional<Data> decodeDataText(std::string_view text)
{
    Data out;
    std::uint32_t accumulator = 0;
    int bits = 0;
    int padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding)
            return std::nullopt; // data after padding
        const char* at = std::strchr(Base64Alphabet, c);
        if (!at || c == '\0')
            return std::nullopt;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(at - Base64Alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2 || bits >= 6)
        return std::nullopt;
    return out;
}

// MARK: Calendar (proleptic Gregorian, UTC)

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// MARK: XML writing

class XMLWriter {
public:
    bool write(const Value& v, int depth)
    {
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        indent(depth);
        switch (v.type()) {
        case Value::Type::Null: return fail("null has no property-list form");
        case Value::Type::Bool: m_out += v.asBool() ? "<true/>\n" : "<false/>\n"; return true;
        case Value::Type::Integer: m_out += "<integer>" + std::to_string(v.asInteger()) + "</integer>\n"; return true;
        case Value::Type::Real: return writeReal(v.asDouble());
        case Value::Type::String:
            m_out += "<string>";
            if (!escape(v.asString()))
                return false;
            m_out += "</string>\n";
            return true;
        case Value::Type::Data: writeData(v.asData(), depth); return true;
        case Value::Type::Date: return writeDate(v.asDate());
        case Value::Type::Array:
            if (v.asArray().empty()) {
                m_out += "<array/>\n";
                return true;
            }
            m_out += "<array>\n";
            for (const Value& item : v.asArray()) {
                if (!write(item, depth + 1))
                    return false;
            }
            indent(depth);
            m_out += "</array>\n";
            return true;
        case Value::Type::Dictionary:
            if (v.asDictionary().empty()) {
                m_out += "<dict/>\n";
                return true;
            }
            m_out += "<dict>\n";
            for (const auto& [key, item] : v.asDictionary()) {
                indent(depth + 1);
                m_out += "<key>";
                if (!escape(key))
                    return false;
                m_out += "</key>\n";
                if (!write(item, depth + 1))
                    return false;
            }
            indent(depth);
            m_out += "</dict>\n";
            return true;
        }
        return fail("unknown value type");
    }

    std::string m_out;
    std::string m_problem;

private:
    bool fail(std::string problem)
    {
        m_problem = std::move(problem);
        return false;
    }

    void indent(int depth) { m_out.append(static_cast<std::size_t>(depth), '\t'); }

    bool escape(std::string_view s)
    {
        if (!isValidUTF8(s))
            return fail("a string is not valid UTF-8");
        for (char ch : s) {
            auto c = static_cast<unsigned char>(ch);
            switch (ch) {
            case '&': m_out += "&amp;"; break;
            case '<': m_out += "&lt;"; break;
            case '>': m_out += "&gt;"; break;
            default:
                // Control characters are not XML text; a character reference keeps them.
                if (c < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') {
                    char ref[8];
                    std::snprintf(ref, sizeof ref, "&#x%X;", c);
                    m_out += ref;
                } else {
                    m_out += ch;
                }
            }
        }
        return true;
    }

    bool writeReal(double d)
    {
        m_out += "<real>";
        if (std::isnan(d)) {
            m_out += "nan";
        } else if (std::isinf(d)) {
            m_out += d > 0 ? "+infinity" : "-infinity";
        } else {
            char buffer[64];
            auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
            if (ec != std::errc())
                return fail("a real number could not be formatted");
            m_out.append(buffer, end);
        }
        m_out += "</real>\n";
        return true;
    }

    bool writeDate(Date date)
    {
        double seconds = std::floor(date.timeIntervalSince1970());
        if (!std::isfinite(seconds) || std::fabs(seconds) > 2.5e11)
            return fail("a date lies outside the years 0 to 9999");
        auto whole = static_cast<std::int64_t>(seconds);
        std::int64_t days = whole >= 0 ? whole / 86400 : -((-whole + 86399) / 86400);
        std::int64_t rest = whole - days * 86400;
        std::int64_t year = 0;
        unsigned month = 0;
        unsigned day = 0;
        civilFromDays(days, year, month, day);
        if (year < 0 || year > 9999)
            return fail("a date lies outside the years 0 to 9999");
        char buffer[80];
        std::snprintf(buffer, sizeof buffer, "<date>%04lld-%02u-%02uT%02lld:%02lld:%02lldZ</date>\n",
                      static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                      static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
        m_out += buffer;
        return true;
    }

    void writeData(const Data& data, int depth)
    {
        std::string encoded = base64Encode(data);
        m_out += "<data>\n";
        // Lines of the platform's width, so the document diffs and reads like its own.
        const std::size_t width = 76 - std::min<std::size_t>(static_cast<std::size_t>(depth) * 8, 60);
        const std::size_t lineLength = std::max<std::size_t>(width / 4 * 4, 16);
        for (std::size_t i = 0; i < encoded.size(); i += lineLength) {
            indent(depth);
            m_out.append(encoded, i, lineLength);
            m_out += '\n';
        }
        indent(depth);
        m_out += "</data>\n";
    }
};

// MARK: XML reading

class XMLReader {
public:
    explicit XMLReader(std::string_view text) : m_text(text) { }

    bool read(Value& out)
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF")
            m_pos = 3;
        if (!isValidUTF8(m_text.substr(m_pos)))
            return fail("the text is not UTF-8");
        if (!skipMisc())
            return false;
        bool wrapped = false;
        if (lookingAt("<plist")) {
            std::string name;
            bool selfClosing = false;
            if (!readTag(name, selfClosing))
                return false;
            if (selfClosing)
                return fail("the document holds no value");
            wrapped = true;
            if (!skipMisc())
                return false;
        }
        if (!readValue(out, 0))
            return false;
        if (!skipMisc())
            return false;
        if (wrapped) {
            if (!expectClosing("plist"))
                return false;
            if (!skipMisc())
                return false;
        }
        if (m_pos != m_text.size())
            return fail("unexpected text after the value");
        return true;
    }

    std::string m_problem;

private:
    bool fail(std::string problem)
    {
        if (m_problem.empty())
            m_problem = std::move(problem) + " (at byte " + std::to_string(m_pos) + ")";
        return false;
    }

    bool lookingAt(std::string_view s) const { return m_text.substr(m_pos, s.size()) == s; }

    void skipSpace()
    {
        while (m_pos < m_text.size() && std::strchr(" \t\r\n", m_text[m_pos]) && m_text[m_pos] != '\0')
            ++m_pos;
    }

    bool skipPast(std::string_view terminator, const char* what)
    {
        auto end = m_text.find(terminator, m_pos);
        if (end == std::string_view::npos)
            return fail(std::string("unterminated ") + what);
        m_pos = end + terminator.size();
        return true;
    }

    // White space, comments, processing instructions and the document type.
    bool skipMisc()
    {
        for (;;) {
            skipSpace();
            if (lookingAt("<!--")) {
                if (!skipPast("-->", "comment"))
                    return false;
            } else if (lookingAt("<?")) {
                if (!skipPast("?>", "processing instruction"))
                    return false;
            } else if (lookingAt("<!DOCTYPE")) {
                auto end = m_text.find_first_of("[>", m_pos);
                if (end == std::string_view::npos || m_text[end] == '[')
                    return fail("unsupported document type declaration"); // no internal subsets: no entity games
                m_pos = end + 1;
            } else {
                return true;
            }
        }
    }

    // Reads "<name attributes...>" or "<name/>".
    bool readTag(std::string& name, bool& selfClosing)
    {
        if (!lookingAt("<"))
            return fail("expected an element");
        ++m_pos;
        std::size_t start = m_pos;
        while (m_pos < m_text.size() && (std::isalnum(static_cast<unsigned char>(m_text[m_pos])) || m_text[m_pos] == '_'
                                         || m_text[m_pos] == '-' || m_text[m_pos] == ':'))
            ++m_pos;
        name = std::string(m_text.substr(start, m_pos - start));
        if (name.empty())
            return fail("expected an element name");
        char quote = 0;
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                selfClosing = m_pos > start && m_text[m_pos - 1] == '/';
                ++m_pos;
                return true;
            }
            ++m_pos;
        }
        return fail("unterminated element <" + name + ">");
    }

    bool expectClosing(std::string_view name)
    {
        std::string closing = "</" + std::string(name);
        if (!lookingAt(closing))
            return fail("expected " + closing + ">");
        m_pos += closing.size();
        skipSpace();
        if (!lookingAt(">"))
            return fail("expected " + closing + ">");
        ++m_pos;
        return true;
    }

    bool readEntity(std::string& out)
    {
        auto end = m_text.find(';', m_pos);
        if (end == std::string_view::npos || end - m_pos > 12)
            return fail("malformed entity");
        std::string_view entity = m_text.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            bool hex = entity[1] == 'x' || entity[1] == 'X';
            std::string_view digits = entity.substr(hex ? 2 : 1);
            std::uint32_t cp = 0;
            auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
            if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() || cp == 0 || cp > 0x10FFFF
                || (cp >= 0xD800 && cp <= 0xDFFF))
                return fail("malformed character reference");
            appendUTF8(out, cp);
        } else {
            return fail("unknown entity &" + std::string(entity) + ";");
        }
        return true;
    }

    // The character content of an element up to its closing tag.
    bool readText(std::string_view name, std::string& out)
    {
        for (;;) {
            if (m_pos >= m_text.size())
                return fail("unterminated <" + std::string(name) + ">");
            char c = m_text[m_pos];
            if (c == '<') {
                if (lookingAt("<![CDATA[")) {
                    auto end = m_text.find("]]>", m_pos);
                    if (end == std::string_view::npos)
                        return fail("unterminated CDATA section");
                    out.append(m_text.substr(m_pos + 9, end - m_pos - 9));
                    m_pos = end + 3;
                } else if (lookingAt("<!--")) {
                    if (!skipPast("-->", "comment"))
                        return false;
                } else {
                    return expectClosing(name);
                }
            } else if (c == '&') {
                if (!readEntity(out))
                    return false;
            } else {
                out += c;
                ++m_pos;
            }
        }
    }

    static std::string_view trim(std::string_view s)
    {
        auto first = s.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos)
            return {};
        return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
    }

    bool parseInteger(std::string_view text, Value& out)
    {
        text = trim(text);
        bool negative = !text.empty() && text[0] == '-';
        if (!text.empty() && (text[0] == '-' || text[0] == '+'))
            text.remove_prefix(1);
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            text.remove_prefix(2);
        }
        std::uint64_t magnitude = 0;
        auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
        if (text.empty() || ec != std::errc() || p != text.data() + text.size())
            return fail("malformed or out-of-range <integer>");
        if (negative) {
            if (magnitude > 9223372036854775808ULL)
                return fail("out-of-range <integer>");
            out = Value(static_cast<std::int64_t>(0 - magnitude));
        } else {
            out = Value(magnitude);
        }
        return true;
    }

    bool parseReal(std::string_view text, Value& out)
    {
        text = trim(text);
        std::string lower;
        for (char c : text)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "nan") {
            out = Value(std::nan(""));
            return true;
        }
        if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") {
            out = Value(HUGE_VAL);
            return true;
        }
        if (lower == "-inf" || lower == "-infinity") {
            out = Value(-HUGE_VAL);
            return true;
        }
        if (!text.empty() && text[0] == '+')
            text.remove_prefix(1);
        double d = 0;
        auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
        if (text.empty() || ec != std::errc() || p != text.data() + text.size())
            return fail("malformed <real>");
        out = Value(d);
        return true;
    }

    bool parseDate(std::string_view text, Value& out)
    {
        text = trim(text);
        // Exactly YYYY-MM-DDTHH:MM:SSZ.
        auto digits = [&](std::size_t at, std::size_t count, unsigned& v) {
            v = 0;
            for (std::size_t i = at; i < at + count; ++i) {
                if (i >= text.size() || text[i] < '0' || text[i] > '9')
                    return false;
                v = v * 10 + static_cast<unsigned>(text[i] - '0');
            }
            return true;
        };
        unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        bool ok = text.size() == 20 && digits(0, 4, y) && text[4] == '-' && digits(5, 2, mo) && text[7] == '-'
                  && digits(8, 2, d) && text[10] == 'T' && digits(11, 2, h) && text[13] == ':' && digits(14, 2, mi)
                  && text[16] == ':' && digits(17, 2, s) && text[19] == 'Z';
        if (!ok || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
            return fail("malformed <date>");
        std::int64_t days = daysFromCivil(y, mo, d);
        out = Value(Date::dateWithTimeIntervalSince1970(static_cast<double>(days * 86400 + h * 3600 + mi * 60 + s)));
        return true;
    }

    bool readValue(Value& out, int depth)
    {
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        std::string name;
        bool selfClosing = false;
        if (!readTag(name, selfClosing))
            return false;
        if (name == "true" || name == "false") {
            if (!selfClosing && !expectClosing(name))
                return false;
            out = Value(name == "true");
            return true;
        }
        if (name == "array") {
            out = Value(Value::Array());
            if (selfClosing)
                return true;
            for (;;) {
                if (!skipMisc())
                    return false;
                if (lookingAt("</"))
                    return expectClosing("array");
                Value item;
                if (!readValue(item, depth + 1))
                    return false;
                out.append(std::move(item));
            }
        }
        if (name == "dict") {
            out = Value(Dictionary());
            if (selfClosing)
                return true;
            Dictionary& dictionary = out.mutableDictionary();
            for (;;) {
                if (!skipMisc())
                    return false;
                if (lookingAt("</"))
                    return expectClosing("dict");
                std::string keyTag;
                bool emptyKey = false;
                if (!readTag(keyTag, emptyKey))
                    return false;
                if (keyTag != "key")
                    return fail("expected <key> in <dict>, found <" + keyTag + ">");
                std::string key;
                if (!emptyKey && !readText("key", key))
                    return false;
                if (!skipMisc())
                    return false;
                if (lookingAt("</"))
                    return fail("key \"" + key + "\" has no value");
                Value item;
                if (!readValue(item, depth + 1))
                    return false;
                dictionary.set(key, std::move(item));
            }
        }
        std::string text;
        if (!selfClosing && !readText(name, text))
            return false;
        if (name == "string") {
            out = Value(std::move(text));
            return true;
        }
        if (name == "integer")
            return parseInteger(text, out);
        if (name == "real")
            return parseReal(text, out);
        if (name == "date")
            return parseDate(text, out);
        if (name == "data") {
            auto data = decodeDataText(text);
            if (!data)
                return fail("malformed <data>");
            out = Value(std::move(*data));
            return true;
        }
        return fail("unknown element <" + name + ">");
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

// MARK: Binary writing

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
    int m_refSize = 1;
};

// MARK: Binary reading

class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes) : m_bytes(bytes) { }

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
        m_count = count;
        m_cache.resize(count);
        m_state.assign(count, State::Unread);
        return readObject(top, 0, out);
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

    bool readObject(std::uint64_t index, int depth, Value& out)
    {
        if (index >= m_count)
            return fail("an object reference is out of range");
        if (m_state[index] == State::Done) {
            out = m_cache[index]; // shared objects decode once and share storage
            return true;
        }
        if (m_state[index] == State::Reading)
            return fail("an object contains itself");
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        m_state[index] = State::Reading;
        std::uint64_t offset = unsignedAt(m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_tableOffset)
            return fail("an object offset is out of range");
        if (!decode(static_cast<std::size_t>(offset), depth, out))
            return false;
        m_state[index] = State::Done;
        m_cache[index] = out;
        return true;
    }

    bool decode(std::size_t at, int depth, Value& out)
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
                    if (!readObject(refAt(i), depth + 1, item))
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
                if (!readObject(refAt(i), depth + 1, key) || !readObject(refAt(count + i), depth + 1, item))
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
    std::vector<Value> m_cache;
    std::vector<State> m_state;
};

} // namespace

Value readPropertyList(std::string_view bytes, ErrorPtr* error, PropertyListFormat* format)
{
    if (error)
        *error = nullptr;
    Value out;
    if (bytes.substr(0, 6) == "bplist") {
        if (format)
            *format = PropertyListFormat::Binary;
        BinaryReader reader(bytes);
        if (!reader.read(out)) {
            if (error)
                *error = corrupt(reader.m_problem);
            return Value();
        }
        return out;
    }
    if (format)
        *format = PropertyListFormat::XML;
    XMLReader reader(bytes);
    if (!reader.read(out)) {
        if (error)
            *error = corrupt(reader.m_problem);
        return Value();
    }
    return out;
}

Value readPropertyList(const Data& bytes, ErrorPtr* error, PropertyListFormat* format)
{
    return readPropertyList(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error, format);
}

std::string toXMLPropertyList(const Value& value, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    XMLWriter writer;
    writer.m_out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                   "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                   "<plist version=\"1.0\">\n";
    if (!writer.write(value, 0)) {
        if (error)
            *error = invalid(writer.m_problem);
        return {};
    }
    writer.m_out += "</plist>\n";
    return std::move(writer.m_out);
}

Data toBinaryPropertyList(const Value& value, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    BinaryWriter writer;
    Data out;
    if (!writer.write(value, out)) {
        if (error)
            *error = invalid(writer.m_problem);
        return {};
    }
    return out;
}

Data writePropertyList(const Value& value, PropertyListFormat format, ErrorPtr* error)
{
    if (format == PropertyListFormat::Binary)
        return toBinaryPropertyList(value, error);
    std::string xml = toXMLPropertyList(value, error);
    return Data(xml.begin(), xml.end());
}

} // namespace foundation
