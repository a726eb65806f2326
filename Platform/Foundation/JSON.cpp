#include "Platform/Foundation/JSON.h"

#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/StringUtils.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace foundation {

namespace {

using JSON = nlohmann::ordered_json;

ErrorPtr readError(const std::string& problem)
{
    return Error::make(NSCocoaErrorDomain, NSPropertyListReadCorruptError,
                       "The JSON text isn't in the correct format: " + problem + ".");
}

ErrorPtr writeError(const std::string& problem)
{
    return Error::make(NSCocoaErrorDomain, PropertyListWriteInvalidError,
                       "The value can't be written as JSON: " + problem + ".");
}

// Builds a Value from the parser's events. The parser itself is iterative, and so is this
// builder, so nesting costs heap, not stack; the depth limit bounds even that.
class Builder : public nlohmann::json_sax<JSON> {
public:
    bool null() override { return add(Value()); }
    bool boolean(bool b) override { return add(Value(b)); }
    bool number_integer(number_integer_t i) override { return add(Value(static_cast<std::int64_t>(i))); }
    bool number_unsigned(number_unsigned_t u) override { return add(Value(static_cast<std::uint64_t>(u))); }
    bool number_float(number_float_t d, const string_t&) override { return add(Value(static_cast<double>(d))); }
    bool string(string_t& s) override { return add(Value(std::move(s))); }
    bool binary(binary_t&) override { return fail("binary data has no JSON form"); }

    bool start_object(std::size_t) override { return open(Value(Dictionary())); }
    bool key(string_t& k) override
    {
        m_stack.back().key = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Value(Value::Array())); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override
    {
        // Drop the library's "[json.exception.parse_error.101] " prefix; keep its account of
        // where and what.
        std::string message = e.what();
        if (auto bracket = message.find("] "); message.rfind("[json.exception", 0) == 0 && bracket != std::string::npos)
            message.erase(0, bracket + 2);
        return fail(message);
    }

    Value takeResult() { return std::move(m_result); }
    const std::string& problem() const { return m_problem; }

private:
    struct Level {
        Value container;
        std::string key;
    };

    bool fail(std::string problem)
    {
        if (m_problem.empty())
            m_problem = std::move(problem);
        return false;
    }

    bool add(Value v)
    {
        if (m_stack.empty()) {
            m_result = std::move(v);
            return true;
        }
        Level& top = m_stack.back();
        if (top.container.isArray())
            top.container.append(std::move(v));
        else
            top.container.mutableDictionary().set(top.key, std::move(v));
        return true;
    }

    bool open(Value container)
    {
        if (m_stack.size() >= static_cast<std::size_t>(JSONMaximumNestingDepth))
            return fail("arrays and dictionaries are nested more than "
                        + std::to_string(JSONMaximumNestingDepth) + " levels deep");
        // A dictionary value's key must survive until the container closes.
        m_stack.push_back(Level{std::move(container), {}});
        return true;
    }

    bool close()
    {
        Value done = std::move(m_stack.back().container);
        m_stack.pop_back();
        return add(std::move(done));
    }

    std::vector<Level> m_stack;
    Value m_result;
    std::string m_problem;
};

// MARK: Writing

class Writer {
public:
    explicit Writer(bool pretty) : m_pretty(pretty) { }

    bool write(const Value& v, int depth)
    {
        if (depth > JSONMaximumNestingDepth)
            return fail("arrays and dictionaries are nested more than "
                        + std::to_string(JSONMaximumNestingDepth) + " levels deep");
        switch (v.type()) {
        case Value::Type::Null: m_out += "null"; return true;
        case Value::Type::Bool: m_out += v.asBool() ? "true" : "false"; return true;
        case Value::Type::Integer: m_out += std::to_string(v.asInteger()); return true;
        case Value::Type::Real: return writeReal(v.asDouble());
        case Value::Type::String: return writeString(v.asString());
        case Value::Type::Data: return fail("data has no JSON form");
        case Value::Type::Date: return fail("a date has no JSON form");
        case Value::Type::Set: return fail("a set has no JSON form");
        case Value::Type::Array: {
            const auto& a = v.asArray();
            if (a.empty()) {
                m_out += "[]";
                return true;
            }
            m_out += '[';
            bool first = true;
            for (const Value& item : a) {
                if (!first)
                    m_out += ',';
                first = false;
                newline(depth + 1);
                if (!write(item, depth + 1))
                    return false;
            }
            newline(depth);
            m_out += ']';
            return true;
        }
        case Value::Type::Dictionary: {
            const auto& d = v.asDictionary();
            if (d.empty()) {
                m_out += "{}";
                return true;
            }
            m_out += '{';
            bool first = true;
            for (const auto& [key, item] : d) {
                if (!first)
                    m_out += ',';
                first = false;
                newline(depth + 1);
                if (!writeString(key))
                    return false;
                m_out += m_pretty ? " : " : ":";
                if (!write(item, depth + 1))
                    return false;
            }
            newline(depth);
            m_out += '}';
            return true;
        }
        }
        return fail("unknown value type");
    }

    std::string take() { return std::move(m_out); }
    const std::string& problem() const { return m_problem; }

private:
    bool fail(std::string problem)
    {
        m_problem = std::move(problem);
        return false;
    }

    void newline(int depth)
    {
        if (!m_pretty)
            return;
        m_out += '\n';
        m_out.append(static_cast<std::size_t>(depth) * 2, ' ');
    }

    bool writeReal(double d)
    {
        if (std::isnan(d))
            return fail("NaN is not a JSON number");
        if (std::isinf(d))
            return fail("infinity is not a JSON number");
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
        if (ec != std::errc())
            return fail("a real number could not be formatted");
        std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
        m_out += text;
        // A real with an integral value must still read back as a real.
        if (text.find_first_of(".eE") == std::string_view::npos)
            m_out += ".0";
        return true;
    }

    bool writeString(std::string_view s)
    {
        if (!isValidUTF8(s))
            return fail("a string is not valid UTF-8");
        m_out += '"';
        for (char ch : s) {
            auto c = static_cast<unsigned char>(ch);
            switch (c) {
            case '"': m_out += "\\\""; break;
            case '\\': m_out += "\\\\"; break;
            case '\b': m_out += "\\b"; break;
            case '\f': m_out += "\\f"; break;
            case '\n': m_out += "\\n"; break;
            case '\r': m_out += "\\r"; break;
            case '\t': m_out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    m_out += escape;
                } else {
                    m_out += ch; // "/" and all of UTF-8 go out as they are
                }
            }
        }
        m_out += '"';
        return true;
    }

    bool m_pretty = false;
    std::string m_out;
    std::string m_problem;
};

} // namespace

Value parseJSON(std::string_view text, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    auto failWith = [&](const std::string& problem) {
        if (error)
            *error = readError(problem);
        return Value();
    };
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return failWith("the text is empty");
    Builder builder;
    bool ok = JSON::sax_parse(text.begin(), text.end(), &builder);
    if (!ok)
        return failWith(builder.problem().empty() ? std::string("the text is not JSON") : builder.problem());
    return builder.takeResult();
}

Value parseJSON(const Data& bytes, ErrorPtr* error)
{
    return parseJSON(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

std::string toJSON(const Value& value, bool pretty, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    Writer writer(pretty);
    if (!writer.write(value, 0)) {
        if (error)
            *error = writeError(writer.problem());
        return {};
    }
    return writer.take();
}

} // namespace foundation
