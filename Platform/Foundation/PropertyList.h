#pragma once
// Property lists: reading XML or binary ("bplist00") documents, detected from the bytes, and
// writing either format. Free functions, safe on any thread.
//
// Types map one to one onto Value (bools stay bools, integers stay integers, reals stay
// reals); dates are stored in the documents as seconds since 2001. A keyed-archive UID is
// the one-entry dictionary {"CF$UID": n}, as XML spells it, in both formats. Null and sets
// have no property-list form. XML keeps whole seconds of dates only, as the platform writes
// it; binary keeps them exactly.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"

#include <cstdint>
#include <string_view>

namespace foundation {

// The platform's format codes.
enum class PropertyListFormat { XML = 100, Binary = 200 };

// Cocoa error codes of property-list reading and writing (reading a corrupt document is the
// shared NSPropertyListReadCorruptError, 3840).
enum PropertyListErrorCode : long {
    PropertyListReadUnknownVersionError = 3841,
    PropertyListWriteInvalidError = 3852,
};

// Deeper nesting is refused as corrupt: it protects the stack from hostile documents.
constexpr int PropertyListMaximumNestingDepth = 512;

// A document's expanded size is about what it takes written out as XML: 16 bytes an object
// plus its nesting depth plus the bytes of its text or data, every object counted at each place
// it is used (a binary document may use one object in many places, and share it in memory).
// Reading refuses a document whose expanded size passes this plus four times its own size: a
// few hundred bytes must not stand for more than any program could write out or walk through.
constexpr std::uint64_t PropertyListMaximumExpansion = 64ULL << 20;

// The XML form of a value is refused past this size (values built in memory share freely).
constexpr std::uint64_t PropertyListMaximumXMLSize = 128ULL << 20;

// On failure returns null and fills `error`; `format` receives the format that was read.
Value readPropertyList(std::string_view bytes, ErrorPtr* error = nullptr, PropertyListFormat* format = nullptr);
Value readPropertyList(const Data& bytes, ErrorPtr* error = nullptr, PropertyListFormat* format = nullptr);

// On failure (null, a set, a non-finite date, text that isn't UTF-8, too deep) returns empty bytes
// and fills `error` with PropertyListWriteInvalidError.
std::string toXMLPropertyList(const Value& value, ErrorPtr* error = nullptr);
Data toBinaryPropertyList(const Value& value, ErrorPtr* error = nullptr);
Data writePropertyList(const Value& value, PropertyListFormat format, ErrorPtr* error = nullptr);

} // namespace foundation
