// The XML property-list writer.
#include "Platform/Foundation/PropertyListFormats.h"

#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/StringUtils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace foundation::plist {

namespace {

class XMLWriter {
public:
    bool write(const Value& v, int depth)
    {
        if (depth > PropertyListMaximumNestingDepth)
            return fail(tooDeep());
        // Values in memory share parts freely; written out, every part is spelled in full.
        if (m_out.size() > PropertyListMaximumXMLSize)
            return fail("its XML form is larger than " + std::to_string(PropertyListMaximumXMLSize >> 20) + " MB");
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
        case Value::Type::Set: return fail("a set has no property-list form");
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
                // Control characters, NUL included, are not XML 1.0 text; a character
                // reference keeps them. Our reader takes them back; a strict XML reader refuses
                // the document with an error instead of cutting the text short at a raw NUL.
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

} // namespace

bool writeXML(const Value& value, std::string& out, std::string& problem)
{
    XMLWriter writer;
    writer.m_out = std::move(out);
    const bool ok = writer.write(value, 0);
    out = std::move(writer.m_out);
    problem = std::move(writer.m_problem);
    return ok;
}

} // namespace foundation::plist
