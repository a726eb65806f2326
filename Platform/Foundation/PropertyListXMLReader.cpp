// The XML property-list reader.
#include "Platform/Foundation/PropertyListFormats.h"

#include "Platform/Foundation/StringUtils.h"

#include <cctype>
#include <cmath>
#include <charconv>
#include <cstring>

namespace foundation::plist {

namespace {

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

class XMLReader {
public:
    explicit XMLReader(std::string_view text) : m_text(text), m_limit(expansionLimit(text.size())) { }

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
            // U+0000 included: the writer spells NUL (and the other control characters XML
            // text can't hold) as a reference, so strings holding one read back as written.
            if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() || cp > 0x10FFFF
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

    // Counts what the document stands for written out (see PropertyListMaximumExpansion): deep
    // nesting alone can make a small document stand for a huge one.
    bool expand(std::uint64_t size)
    {
        m_expanded += size;
        if (m_expanded > m_limit)
            return fail(expandsTooMuch(m_limit, false));
        return true;
    }

    bool readValue(Value& out, int depth)
    {
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        if (!expand(16 + static_cast<std::uint64_t>(depth)))
            return false;
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
                if (!expand(16 + static_cast<std::uint64_t>(depth) + 1 + key.size()))
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
        if (!expand(text.size()))
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
    std::uint64_t m_limit = 0;
    std::uint64_t m_expanded = 0;
};

} // namespace

bool readXML(std::string_view text, Value& out, std::string& problem)
{
    XMLReader reader(text);
    const bool ok = reader.read(out);
    problem = std::move(reader.m_problem);
    return ok;
}

} // namespace foundation::plist
