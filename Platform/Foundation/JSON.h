#pragma once
// JSON reading and writing for Value. Any value may stand at the top level. Reading keeps
// integers as integers (integers beyond the 64-bit range become reals), reals as reals and
// bools as bools; dictionaries keep the document's key order (a repeated key keeps its first
// position and its last value). Failures are Cocoa-domain errors with code 3840 whose
// description names the problem. Free functions, safe on any thread.
//
// Writing never escapes "/", writes reals so that they read back as the same reals (2.0 stays
// "2.0"), and refuses what has no JSON form (data, dates, sets, NaN and infinities, text that
// is not UTF-8) with a Cocoa-domain error 3852 (PropertyListWriteInvalidError) and an empty result.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"

#include <string>
#include <string_view>

namespace foundation {

// Nesting deeper than this is refused: no legitimate document needs it, and the limit keeps
// hostile input from exhausting the stack.
constexpr int JSONMaximumNestingDepth = 512;

// On failure returns null and fills `error`; pass an error to tell a failure from "null".
Value parseJSON(std::string_view text, ErrorPtr* error = nullptr);
Value parseJSON(const Data& bytes, ErrorPtr* error = nullptr);

// Compact: no white space at all. Pretty: two-space indentation and "key" : value, one entry
// per line, as the platform's pretty printer writes.
std::string toJSON(const Value& value, bool pretty = false, ErrorPtr* error = nullptr);

} // namespace foundation
