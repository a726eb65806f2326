// JSON from hostile bytes: whatever parses must write (compact and pretty) and parse back as
// the same value.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "Platform/Foundation/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    foundation::ErrorPtr error;
    const foundation::Value value = foundation::parseJSON(text, &error);
    if (error)
        return 0;
    for (bool pretty : {false, true}) {
        foundation::ErrorPtr writeError;
        const std::string written = foundation::toJSON(value, pretty, &writeError);
        if (writeError)
            continue; // text that is not UTF-8 has no JSON form
        foundation::ErrorPtr readError;
        const foundation::Value reread = foundation::parseJSON(written, &readError);
        FUZZ_CHECK(!readError, "JSON we wrote does not parse");
        FUZZ_CHECK(reread == value, "JSON we wrote parses as another value");
    }
    return 0;
}
