#pragma once
// Unicode-aware helpers for UTF-8 text: validity, the platform's string lengths (UTF-16 units,
// user-perceived characters), trimming and the comparisons the platform offers. Stateless;
// callable from any thread. Invalid UTF-8 is read as one U+FFFD per bad byte, never rejected.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

enum class ComparisonResult { OrderedAscending = -1, OrderedSame = 0, OrderedDescending = 1 };

bool isValidUTF8(std::string_view text);
// The code point at `pos`, moving `pos` past it; none (and `pos` unchanged) where the bytes
// there are not UTF-8: a bad lead or continuation byte, a cut-off sequence, an overlong form,
// a surrogate or a value past U+10FFFF.
std::optional<char32_t> decodeUTF8(std::string_view text, std::size_t& pos);
// Appends `codePoint` (at most U+10FFFF) in UTF-8.
void appendUTF8(std::string& out, char32_t codePoint);

// The string's length as the platform counts it: UTF-16 code units.
std::size_t utf16Length(std::string_view utf8);
// User-perceived characters (extended grapheme clusters): "e" + combining accent, a flag,
// a family emoji joined with ZWJ and CR LF each count once.
std::size_t graphemeCount(std::string_view utf8);

// With A-Z made a-z and every other byte as it was: for names and keys that are ASCII by
// definition (schemes, header fields, file extensions), whatever the process's locale.
std::string asciiLowercase(std::string_view text);

// Without leading and trailing spaces and tabs (and other space separators).
std::string trimmingWhitespace(std::string_view text);
// Without leading and trailing white space and line breaks.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Compares by Unicode simple case folding, code point by code point.
ComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b);
// The file manager's order of names: case is ignored, accents rank below base letters, runs of
// ASCII digits compare by numeric value ("img2" before "img10"), punctuation before digits
// before letters.
ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b);

} // namespace foundation
