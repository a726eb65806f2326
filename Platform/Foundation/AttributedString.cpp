#include "Platform/Foundation/AttributedString.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace foundation {

const std::string NSLinkAttributeName = "NSLink";
const std::string NSFontAttributeName = "NSFont";
const std::string NSForegroundColorAttributeName = "NSColor";

AttributedString::AttributedString(std::string text, TextAttributes attributes)
    : m_text(std::move(text))
{
    if (!m_text.empty())
        m_runs.push_back(Run {m_text.size(), std::move(attributes)});
}

TextAttributes AttributedString::attributesAtIndex(size_t index, TextRange* effectiveRange) const
{
    size_t location = 0;
    for (const Run& run : m_runs) {
        if (index < location + run.length) {
            if (effectiveRange)
                *effectiveRange = {location, run.length};
            return run.attributes;
        }
        location += run.length;
    }
    if (effectiveRange)
        *effectiveRange = {m_text.size(), 0};
    return {};
}

void AttributedString::enumerateAttributes(const std::function<void(const TextAttributes&, TextRange)>& block) const
{
    size_t location = 0;
    for (const Run& run : m_runs) {
        block(run.attributes, {location, run.length});
        location += run.length;
    }
}

size_t AttributedString::splitAt(size_t location)
{
    size_t start = 0;
    for (size_t i = 0; i < m_runs.size(); ++i) {
        if (start == location)
            return i;
        if (location < start + m_runs[i].length) {
            Run tail {start + m_runs[i].length - location, m_runs[i].attributes};
            m_runs[i].length = location - start;
            m_runs.insert(m_runs.begin() + std::ptrdiff_t(i) + 1, std::move(tail));
            return i + 1;
        }
        start += m_runs[i].length;
    }
    return m_runs.size();
}

void AttributedString::mergeRuns()
{
    std::vector<Run> merged;
    for (Run& run : m_runs) {
        if (run.length == 0)
            continue;
        if (!merged.empty() && merged.back().attributes == run.attributes)
            merged.back().length += run.length;
        else
            merged.push_back(std::move(run));
    }
    m_runs = std::move(merged);
}

void AttributedString::editRange(TextRange range, const std::function<void(TextAttributes&)>& edit)
{
    const size_t length = m_text.size();
    const size_t begin = std::min(range.location, length);
    const size_t end = begin + std::min(range.length, length - begin); // no overflow for huge lengths
    if (begin >= end)
        return;
    const size_t first = splitAt(begin);
    const size_t last = splitAt(end);
    for (size_t i = first; i < last; ++i)
        edit(m_runs[i].attributes);
    mergeRuns();
}

void AttributedString::addAttribute(const std::string& name, const Value& value, TextRange range)
{
    editRange(range, [&](TextAttributes& attributes) { attributes[name] = value; });
}

void AttributedString::removeAttribute(const std::string& name, TextRange range)
{
    editRange(range, [&](TextAttributes& attributes) { attributes.erase(name); });
}

void AttributedString::append(const AttributedString& other)
{
    m_text += other.m_text;
    // Only the seam can need merging: both sides are already merged.
    auto it = other.m_runs.begin();
    if (it != other.m_runs.end() && !m_runs.empty() && m_runs.back().attributes == it->attributes)
        m_runs.back().length += (it++)->length;
    m_runs.insert(m_runs.end(), it, other.m_runs.end());
}

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

void appendUTF8(std::string& out, unsigned long code)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// The character an entity at `text[i]` ("&amp;", "&#233;", "&#xE9;") stands for, and how many
// bytes it takes; none for anything else, which is then read as a plain "&".
std::optional<std::pair<std::string, size_t>> entityAt(std::string_view text, size_t i)
{
    const size_t semicolon = text.find(';', i);
    if (semicolon == std::string_view::npos || semicolon - i > 10)
        return std::nullopt;
    const std::string name = lower(text.substr(i + 1, semicolon - i - 1));
    static const std::map<std::string, unsigned long> named = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0},
    };
    unsigned long code = 0;
    if (auto it = named.find(name); it != named.end()) {
        code = it->second;
    } else if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x';
        const std::string digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8)
            return std::nullopt;
        for (char c : digits) {
            if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
                return std::nullopt;
        }
        code = std::stoul(digits, nullptr, hex ? 16 : 10);
    } else {
        return std::nullopt;
    }
    std::string out;
    appendUTF8(out, code);
    return std::make_pair(out, semicolon - i + 1);
}

std::string decodeEntities(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            if (auto entity = entityAt(text, i)) {
                out += entity->first;
                i += entity->second;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

struct Tag {
    std::string name; // lower case
    bool closing = false;
    std::map<std::string, std::string> attributes; // names in lower case, values decoded
};

// Reads the tag between `text[open]` ('<') and its '>' (quotes respected); the index after
// it, or npos when the tag never ends.
size_t readTag(std::string_view text, size_t open, Tag& tag)
{
    size_t i = open + 1;
    if (i < text.size() && text[i] == '/') {
        tag.closing = true;
        ++i;
    }
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-'))
        tag.name += char(std::tolower(static_cast<unsigned char>(text[i++])));
    while (i < text.size()) {
        while (i < text.size() && (isSpace(text[i]) || text[i] == '/'))
            ++i;
        if (i >= text.size())
            break;
        if (text[i] == '>')
            return i + 1;
        std::string name;
        while (i < text.size() && !isSpace(text[i]) && text[i] != '=' && text[i] != '>' && text[i] != '/')
            name += char(std::tolower(static_cast<unsigned char>(text[i++])));
        while (i < text.size() && isSpace(text[i]))
            ++i;
        std::string value;
        if (i < text.size() && text[i] == '=') {
            ++i;
            while (i < text.size() && isSpace(text[i]))
                ++i;
            if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
                const char quote = text[i++];
                const size_t close = text.find(quote, i);
                if (close == std::string_view::npos)
                    return std::string_view::npos;
                value = text.substr(i, close - i);
                i = close + 1;
            } else {
                while (i < text.size() && !isSpace(text[i]) && text[i] != '>')
                    value += text[i++];
            }
        }
        if (!name.empty())
            tag.attributes.emplace(name, decodeEntities(value));
    }
    return std::string_view::npos;
}

bool isBlock(const std::string& name)
{
    static const char* const blocks[] = {"p", "div", "li", "ul", "ol", "tr", "table", "blockquote", "pre",
                                         "h1", "h2", "h3", "h4", "h5", "h6", "dl", "dt", "dd", "hr"};
    return std::any_of(std::begin(blocks), std::end(blocks), [&](const char* b) { return name == b; });
}

class HTMLReader {
public:
    AttributedString read(std::string_view html)
    {
        size_t i = 0;
        while (i < html.size()) {
            const char c = html[i];
            if (c == '<' && html.substr(i, 4) == "<!--") {
                const size_t end = html.find("-->", i + 4);
                i = end == std::string_view::npos ? html.size() : end + 3;
            } else if (c == '<' && i + 1 < html.size() && (html[i + 1] == '!' || html[i + 1] == '?')) {
                const size_t end = html.find('>', i);
                i = end == std::string_view::npos ? html.size() : end + 1;
            } else if (c == '<' && i + 1 < html.size()
                       && (std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/')) {
                Tag tag;
                const size_t next = readTag(html, i, tag);
                if (next == std::string_view::npos)
                    break; // a tag cut off at the end: nothing after it is text
                i = handle(tag, html, next);
            } else if (c == '&') {
                if (auto entity = entityAt(html, i)) {
                    character(entity->first);
                    i += entity->second;
                } else {
                    character("&");
                    ++i;
                }
            } else {
                character(std::string(1, c));
                ++i;
            }
        }
        return std::move(m_out);
    }

private:
    // Returns where reading goes on.
    size_t handle(const Tag& tag, std::string_view html, size_t next)
    {
        const std::string& name = tag.name;
        if (!tag.closing && (name == "head" || name == "script" || name == "style" || name == "title")) {
            // Their content is not shown: go on after the matching end tag.
            const std::string rest = lower(html.substr(next));
            const size_t close = rest.find("</" + name);
            if (close == std::string::npos)
                return html.size();
            const size_t end = rest.find('>', close);
            return end == std::string::npos ? html.size() : next + end + 1;
        }
        if (name == "br") {
            emit("\n");
        } else if (isBlock(name)) {
            lineBreak();
        } else if (name == "b" || name == "strong") {
            m_bold = std::max(0, m_bold + (tag.closing ? -1 : 1));
        } else if (name == "i" || name == "em") {
            m_italic = std::max(0, m_italic + (tag.closing ? -1 : 1));
        } else if (name == "a") {
            if (tag.closing) {
                m_link.reset();
            } else if (auto href = tag.attributes.find("href"); href != tag.attributes.end()) {
                m_link = href->second;
            }
        }
        return next;
    }

    void character(const std::string& text)
    {
        if (text.size() == 1 && isSpace(text[0])) {
            // Folded into one space, written only when more text follows on the line, with
            // the attributes of where it stood (a space before a link is not part of it).
            if (!m_pendingSpace && !m_out.string().empty() && m_out.string().back() != '\n')
                m_pendingSpace = attributes();
            return;
        }
        if (m_pendingSpace) {
            m_out.append(AttributedString(" ", std::move(*m_pendingSpace)));
            m_pendingSpace.reset();
        }
        emit(text);
    }

    void lineBreak()
    {
        if (!m_out.string().empty() && m_out.string().back() != '\n')
            emit("\n");
    }

    TextAttributes attributes() const
    {
        static const char* const fonts[] = {"Times-Roman 12", "Times-Italic 12", "Times-Bold 12", "Times-BoldItalic 12"};
        TextAttributes attributes;
        attributes[NSFontAttributeName] = Value(std::string(fonts[(m_bold > 0 ? 2 : 0) + (m_italic > 0 ? 1 : 0)]));
        if (m_link)
            attributes[NSLinkAttributeName] = Value(*m_link);
        return attributes;
    }

    void emit(const std::string& text)
    {
        if (text == "\n")
            m_pendingSpace.reset();
        m_out.append(AttributedString(text, attributes()));
    }

    AttributedString m_out;
    std::optional<TextAttributes> m_pendingSpace;
    int m_bold = 0;
    int m_italic = 0;
    std::optional<std::string> m_link;
};

} // namespace

AttributedString AttributedString::initWithHTML(std::string_view html)
{
    return HTMLReader().read(html);
}

} // namespace foundation
