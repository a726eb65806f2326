#pragma once
// Internal to the property-list reader and writer: the pieces the XML and binary formats share,
// and each format's reader and writer. Each fills `problem` with what was wrong when it fails.

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Foundation/PropertyList.h"

namespace foundation::plist {

inline std::string tooDeep()
{
    return "arrays and dictionaries are nested more than " + std::to_string(PropertyListMaximumNestingDepth)
           + " levels deep";
}

// What one value stands for written out: its objects, the sum of their depths below it, and
// the bytes of its text and data.
struct Expansion {
    std::uint64_t objects = 0;
    std::uint64_t depths = 0;
    std::uint64_t payload = 0;

    std::uint64_t size() const { return objects * 16 + depths + payload; }
    // Adds a child's expansion, one level below this value.
    void addChild(const Expansion& child)
    {
        objects += child.objects;
        depths += child.depths + child.objects;
        payload += child.payload;
    }
};

inline std::uint64_t expansionLimit(std::size_t documentSize)
{
    return PropertyListMaximumExpansion + 4 * static_cast<std::uint64_t>(documentSize);
}

inline std::string expandsTooMuch(std::uint64_t limit, bool shared)
{
    return std::string(shared ? "its shared objects, counted where each is used," : "its objects, nested as they are,")
           + " expand to more than " + std::to_string(limit >> 20) + " MB, more than a document of its size can mean";
}

// Calendar (proleptic Gregorian, UTC): days since 1970-01-01 from a date and back.
inline std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

inline void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
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

bool readXML(std::string_view text, Value& out, std::string& problem);
// Appends the value's elements, from the top level, to `out`.
bool writeXML(const Value& value, std::string& out, std::string& problem);
bool readBinary(std::string_view bytes, Value& out, std::string& problem);
bool writeBinary(const Value& value, Data& out, std::string& problem);

} // namespace foundation::plist
