// Text and boxed forms of geometry for documents and keyed archives.

#include "MovaraKit/Support/Archiving+Movara.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

const std::string MVRAffineTransformObjCType = "{CGAffineTransform=dddddd}";

namespace {

// Reads the platform scanner's way: skips white space, then takes what it asks for.
class Scanner {
public:
    explicit Scanner(std::string_view text) : m_text(text) { }

    bool scanString(char c)
    {
        skipSpace();
        if (m_pos >= m_text.size() || m_text[m_pos] != c)
            return false;
        ++m_pos;
        return true;
    }

    std::optional<double> scanDouble()
    {
        skipSpace();
        size_t pos = m_pos;
        if (pos < m_text.size() && m_text[pos] == '+')
            ++pos; // from_chars takes no plus sign
        double value = 0;
        const char* begin = m_text.data() + pos;
        const char* end = m_text.data() + m_text.size();
        auto [next, ec] = std::from_chars(begin, end, value, std::chars_format::general);
        // "inf" and "nan" are numbers to from_chars but not to a document.
        if (ec != std::errc() || !std::isfinite(value))
            return std::nullopt;
        m_pos = static_cast<size_t>(next - m_text.data());
        return value;
    }

private:
    void skipSpace()
    {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n'
                                         || m_text[m_pos] == '\r'))
            ++m_pos;
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

// "{x, y}" with the shortest text that reads back as the same doubles.
std::string pairString(double first, double second)
{
    auto number = [](double v) {
        std::array<char, 32> buffer {};
        auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v);
        return ec == std::errc() ? std::string(buffer.data(), end) : std::string("0");
    };
    return "{" + number(first) + ", " + number(second) + "}";
}

std::optional<std::pair<double, double>> readPair(std::string_view text)
{
    Scanner scanner(text);
    if (!scanner.scanString('{'))
        return std::nullopt;
    auto first = scanner.scanDouble();
    if (!first || !scanner.scanString(','))
        return std::nullopt;
    auto second = scanner.scanDouble();
    if (!second || !scanner.scanString('}'))
        return std::nullopt;
    return std::pair {*first, *second};
}

std::optional<std::pair<double, double>> decodePair(foundation::KeyedUnarchiver& coder, const std::string& key)
{
    if (!coder.containsValueForKey(key))
        return std::nullopt;
    std::optional<std::string> text = coder.decodeString(key);
    return text ? readPair(*text) : std::nullopt;
}

} // namespace

std::string transformString(const graphics::AffineTransform& t)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "{%g, %g, %g, %g, %g, %g}", t.a, t.b, t.c, t.d, t.tx, t.ty);
    return buffer;
}

graphics::AffineTransform transform(std::string_view text)
{
    Scanner scanner(text);
    double values[6] = {};
    if (!scanner.scanString('{'))
        return graphics::AffineTransform::identity();
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && !scanner.scanString(','))
            return graphics::AffineTransform::identity();
        std::optional<double> value = scanner.scanDouble();
        if (!value)
            return graphics::AffineTransform::identity();
        values[i] = *value;
    }
    if (!scanner.scanString('}'))
        return graphics::AffineTransform::identity();
    return graphics::AffineTransform::make(values[0], values[1], values[2], values[3], values[4], values[5]);
}

MVRBoxedValue mvr_valueWithCGAffineTransform(const graphics::AffineTransform& t)
{
    const double values[6] = {t.a, t.b, t.c, t.d, t.tx, t.ty};
    MVRBoxedValue boxed {MVRAffineTransformObjCType, std::vector<uint8_t>(sizeof values)};
    std::memcpy(boxed.bytes.data(), values, sizeof values);
    return boxed;
}

graphics::AffineTransform mvr_CGAffineTransformValue(const MVRBoxedValue& value)
{
    double values[6] = {};
    if (value.objCType != MVRAffineTransformObjCType || value.bytes.size() < sizeof values)
        return graphics::AffineTransform::identity();
    std::memcpy(values, value.bytes.data(), sizeof values);
    return graphics::AffineTransform::make(values[0], values[1], values[2], values[3], values[4], values[5]);
}

std::string mvr_stringFromPoint(const graphics::Point& point)
{
    return pairString(point.x, point.y);
}

std::string mvr_stringFromSize(const graphics::Size& size)
{
    return pairString(size.width, size.height);
}

std::optional<graphics::Point> mvr_pointFromString(std::string_view text)
{
    auto pair = readPair(text);
    return pair ? std::optional(graphics::Point {pair->first, pair->second}) : std::nullopt;
}

std::optional<graphics::Size> mvr_sizeFromString(std::string_view text)
{
    auto pair = readPair(text);
    return pair ? std::optional(graphics::Size {pair->first, pair->second}) : std::nullopt;
}

void mvr_encodeCGPoint(foundation::KeyedArchiver& coder, const graphics::Point& point, const std::string& key)
{
    coder.encodeString(pairString(point.x, point.y), key);
}

void mvr_encodeCGSize(foundation::KeyedArchiver& coder, const graphics::Size& size, const std::string& key)
{
    coder.encodeString(pairString(size.width, size.height), key);
}

graphics::Point mvr_decodeCGPointForKey(foundation::KeyedUnarchiver& coder, const std::string& key)
{
    auto pair = decodePair(coder, key);
    return pair ? graphics::Point {pair->first, pair->second} : graphics::Point {};
}

graphics::Size mvr_decodeCGSizeForKey(foundation::KeyedUnarchiver& coder, const std::string& key)
{
    auto pair = decodePair(coder, key);
    return pair ? graphics::Size {pair->first, pair->second} : graphics::Size {};
}

int64_t documentValue(ui::TextAlignment alignment)
{
    return static_cast<int64_t>(alignment);
}

ui::TextAlignment textAlignmentWithDocumentValue(int64_t value)
{
    return static_cast<ui::TextAlignment>(value);
}
