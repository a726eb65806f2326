#include "MovaraKit/HTTP/NKQueryStringPair.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <cstdlib>

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
