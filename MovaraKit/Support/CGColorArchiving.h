#pragma once
// Colours and colour spaces as property-list dictionaries, the form the canvas document
// stores them in: {"colorSpace": {...}, "components": [..., alpha]}, and a space as
// {"name": ...}, {"iccData": ...} or {"colorTable": [...], "baseColorSpace": {...}}. Whatever
// cannot be written or read back gives none; nothing throws. Any thread.

#include <optional>

#include "Platform/Foundation/Value.h"
#include "Platform/Graphics/Color.h"
#include "Platform/Graphics/ColorSpace.h"

class CGColorArchiving {
public:
    CGColorArchiving() = delete;

    static std::optional<foundation::Value> dictionary(const graphics::Color& color);
    static std::optional<foundation::Value> dictionary(const graphics::ColorSpacePtr& colorSpace);
    // None unless the dictionary names a usable space and holds exactly its components and alpha.
    static std::optional<graphics::Color> color(const foundation::Value& dictionary);
    static graphics::ColorSpacePtr colorSpace(const foundation::Value& dictionary);
};
