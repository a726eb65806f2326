#pragma once
// Standard Base64 (RFC 4648 alphabet with "=" padding), with the platform's line options.
// Decoding refuses malformed text unless told to skip characters outside the alphabet.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

enum Base64EncodingOptions : unsigned {
    Base64EncodingNoOptions = 0,
    Base64Encoding64CharacterLineLength = 1,
    Base64Encoding76CharacterLineLength = 2,
    // Line endings when lines are broken; CR LF when neither (or both) is given.
    Base64EncodingEndLineWithCarriageReturn = 16,
    Base64EncodingEndLineWithLineFeed = 32,
};

enum Base64DecodingOptions : unsigned {
    Base64DecodingNoOptions = 0,
    // Skip characters outside the alphabet (line breaks, spaces...) instead of failing.
    Base64DecodingIgnoreUnknownCharacters = 1,
};

std::string base64Encode(std::span<const std::uint8_t> bytes, unsigned options = Base64EncodingNoOptions);
std::string base64Encode(std::string_view bytes, unsigned options = Base64EncodingNoOptions);

// None for characters outside the alphabet (unless ignored), misplaced or missing padding, or
// a length that is not a whole number of 4-character groups.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text,
                                                      unsigned options = Base64DecodingNoOptions);

} // namespace foundation
