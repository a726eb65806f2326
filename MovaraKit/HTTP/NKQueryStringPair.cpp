#include "MovaraKit/HTTP/NKQueryStringPair.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

std::string NKPercentEscapedStringFromString(const std::string& string)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(string.size());
    for (unsigned char c : string) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~' || c == '/' || c == '?';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string NKQueryStringTextForm(const foundation::Value& value)
{
    using Type = foundation::Value::Type;
    switch (value.type()) {
    case Type::Null:
        return {};
    case Type::Bool:
        return *value.boolValue() ? "1" : "0";
    case Type::Integer:
        return std::to_string(*value.integerValue());
    case Type::Real: {
        double d = *value.doubleValue();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15)
            return std::to_string(static_cast<long long>(d));
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", d);
        // The shortest text that reads back as the same number, as the platform prints it.
        for (int precision = 1; precision <= 17; ++precision) {
            char candidate[32];
            std::snprintf(candidate, sizeof candidate, "%.*g", precision, d);
            if (std::strtod(candidate, nullptr) == d)
                return candidate;
        }
        return buffer;
    }
    case Type::String:
        return value.asString();
    default:
        return value.debugDescription();
    }
}

std::string NKQueryStringPair::URLEncodedStringValue() const
{
    if (m_value.isNull())
        return NKPercentEscapedStringFromString(m_field);
    return NKPercentEscapedStringFromString(m_field) + "=" + NKPercentEscapedStringFromString(NKQueryStringTextForm(m_value));
}

namespace {

// Past this, a sort text is cut: it only orders set members, and values share parts freely.
constexpr std::size_t MaximumSortTextLength = 1 << 16;

void appendSortText(const foundation::Value& value, std::string& out);

void appendSortTexts(std::vector<std::string> texts, const char* open, const char* separator, const char* close,
                     std::string& out)
{
    std::sort(texts.begin(), texts.end());
    out += open;
    for (const std::string& text : texts) {
        if (out.size() > MaximumSortTextLength)
            return;
        out += text;
        out += separator;
    }
    out += close;
}

// The text by which a set member takes its place: its text form, and for containers the
// platform's description, which lists a dictionary's keys and a set's members in order, so
// that equal members read alike whatever order they were built in.
void appendSortText(const foundation::Value& value, std::string& out)
{
    if (out.size() > MaximumSortTextLength)
        return;
    using Type = foundation::Value::Type;
    switch (value.type()) {
    case Type::Data: {
        static const char* hex = "0123456789abcdef";
        out += '<';
        for (std::uint8_t byte : value.asData()) {
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
        out += '>';
        return;
    }
    case Type::Date: {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", value.asDate().timeIntervalSinceReferenceDate());
        out += buffer;
        return;
    }
    case Type::Array:
        out += '(';
        for (const auto& item : value.asArray()) {
            if (out.size() > MaximumSortTextLength)
                return;
            appendSortText(item, out);
            out += ", ";
        }
        out += ')';
        return;
    case Type::Dictionary: {
        std::vector<std::string> entries;
        for (const auto& [key, item] : value.asDictionary()) {
            std::string entry = key + " = ";
            appendSortText(item, entry);
            entries.push_back(std::move(entry));
        }
        appendSortTexts(std::move(entries), "{", "; ", "}", out);
        return;
    }
    case Type::Set: {
        std::vector<std::string> members;
        for (const auto& member : value.asSet()) {
            std::string text;
            appendSortText(member, text);
            members.push_back(std::move(text));
        }
        appendSortTexts(std::move(members), "{(", ", ", ")}", out);
        return;
    }
    default:
        out += NKQueryStringTextForm(value);
        return;
    }
}

void flatten(const std::string* key, const foundation::Value& value, std::vector<NKQueryStringPair>& out)
{
    if (const auto* dictionary = value.dictionaryValue()) {
        std::vector<std::string> keys = dictionary->keys();
        std::sort(keys.begin(), keys.end());
        for (const std::string& k : keys) {
            std::string nested = key ? *key + "[" + k + "]" : k;
            flatten(&nested, (*dictionary)[k], out);
        }
        return;
    }
    if (const auto* array = value.arrayValue()) {
        std::string nested = (key ? *key : std::string()) + "[]";
        for (const auto& element : *array)
            flatten(&nested, element, out);
        return;
    }
    if (value.isSet()) {
        // Members in the order of their texts, compared byte by byte (case-sensitive); members
        // whose texts tie keep the set's own order, which is the same for equal sets.
        std::vector<std::pair<std::string, const foundation::Value*>> members;
        members.reserve(value.asSet().size());
        for (const auto& member : value.asSet()) {
            std::string text;
            appendSortText(member, text);
            members.emplace_back(std::move(text), &member);
        }
        std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [text, member] : members)
            flatten(key, *member, out);
        return;
    }
    out.emplace_back(key ? *key : std::string(), value);
}

} // namespace

std::vector<NKQueryStringPair> NKQueryStringPairsFromKeyAndValue(const std::string* key, const foundation::Value& value)
{
    std::vector<NKQueryStringPair> pairs;
    flatten(key, value, pairs);
    return pairs;
}

std::vector<NKQueryStringPair> NKQueryStringPairsFromDictionary(const foundation::Value& dictionary)
{
    return NKQueryStringPairsFromKeyAndValue(nullptr, dictionary);
}

std::string NKQueryStringFromParameters(const foundation::Value& parameters)
{
    std::string query;
    bool first = true;
    for (const auto& pair : NKQueryStringPairsFromDictionary(parameters)) {
        if (!first)
            query += '&';
        first = false;
        query += pair.URLEncodedStringValue();
    }
    return query;
}
