#pragma once
// How the canvas document writes geometry: transforms as text "{a, b, c, d, tx, ty}" and as
// boxed values, points and sizes in keyed archives, and text alignments as their raw values.
// Unusable input reads as the identity or the zero value; nothing throws. Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/AttributedString.h"

// "{%g, %g, %g, %g, %g, %g}" of a, b, c, d, tx, ty: the identity is "{1, 0, 0, 1, 0, 0}".
std::string transformString(const graphics::AffineTransform& transform);
// The transform written in `text` (white space allowed between items, anything after the
// closing brace ignored); the identity when an item is missing or not a finite number.
graphics::AffineTransform transform(std::string_view text);

// A boxed value as the platform keeps one: bytes tagged with their type encoding.
struct MVRBoxedValue {
    std::string objCType;
    std::vector<uint8_t> bytes;
};
extern const std::string MVRAffineTransformObjCType; // "{CGAffineTransform=dddddd}"

MVRBoxedValue mvr_valueWithCGAffineTransform(const graphics::AffineTransform& transform);
// The boxed transform; the identity for a value of any other type (or too few bytes).
graphics::AffineTransform mvr_CGAffineTransformValue(const MVRBoxedValue& value);

// Points and sizes as documents write them, "{x, y}" with numbers that read back exactly;
// reading takes blanks anywhere and gives none for anything else (or a non-finite number).
std::string mvr_stringFromPoint(const graphics::Point& point);
std::string mvr_stringFromSize(const graphics::Size& size);
std::optional<graphics::Point> mvr_pointFromString(std::string_view text);
std::optional<graphics::Size> mvr_sizeFromString(std::string_view text);

// Points and sizes under a key, as the coder's own point and size encodings ("{x, y}" text);
// a missing or unreadable entry decodes as zero.
void mvr_encodeCGPoint(foundation::KeyedArchiver& coder, const graphics::Point& point, const std::string& key);
void mvr_encodeCGSize(foundation::KeyedArchiver& coder, const graphics::Size& size, const std::string& key);
graphics::Point mvr_decodeCGPointForKey(foundation::KeyedUnarchiver& coder, const std::string& key);
graphics::Size mvr_decodeCGSizeForKey(foundation::KeyedUnarchiver& coder, const std::string& key);

// The integer stored for a text alignment in documents (its raw value), and back; any integer
// is taken as a raw value.
int64_t documentValue(ui::TextAlignment alignment);
ui::TextAlignment textAlignmentWithDocumentValue(int64_t value);
