// Property lists from hostile bytes: whatever reads must write again in both formats and read
// back as the same value (binary) or at all (XML, which keeps whole seconds of dates only).
// Built twice: PLIST_BINARY=1 keeps to "bplist00" documents, PLIST_BINARY=0 to the rest (XML).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "Platform/Foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool binary = bytes.substr(0, 6) == "bplist";
    if (binary != static_cast<bool>(PLIST_BINARY))
        return -1; // the other target's input: not added to this corpus
    foundation::ErrorPtr error;
    foundation::PropertyListFormat format;
    const foundation::Value value = foundation::readPropertyList(bytes, &error, &format);
    if (error)
        return 0;
    (void)value.debugDescription();

    foundation::ErrorPtr writeError;
    const foundation::Data again = foundation::toBinaryPropertyList(value, &writeError);
    if (!writeError) {
        foundation::ErrorPtr readError;
        const foundation::Value reread = foundation::readPropertyList(again, &readError);
        FUZZ_CHECK(!readError, "a binary property list we wrote does not read back");
        // Compared as written again: a NaN real is not equal to itself.
        FUZZ_CHECK(foundation::toBinaryPropertyList(reread) == again, "a binary property list we wrote reads back as another value");
    }
    foundation::ErrorPtr xmlError;
    const std::string xml = foundation::toXMLPropertyList(value, &xmlError);
    if (!xmlError) {
        foundation::ErrorPtr readError;
        (void)foundation::readPropertyList(xml, &readError);
        FUZZ_CHECK(!readError, "an XML property list we wrote does not read back");
    }
    return 0;
}
