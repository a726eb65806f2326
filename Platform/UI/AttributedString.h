#pragma once
// Text with one set of attributes for its whole length: font, colour, underline and
// paragraph alignment — what titles and labels need. A plain value.

#include <optional>
#include <string>

#include "Platform/UI/Color.h"
#include "Platform/UI/Font.h"

namespace ui {

enum class TextAlignment { left = 0, right = 1, center = 2, justified = 3, natural = 4 };
enum class LineBreakMode { wordWrapping, charWrapping, clipping, truncatingHead, truncatingTail, truncatingMiddle };

struct TextAttributes {
    std::optional<Font> font;
    std::optional<Color> foregroundColor;
    std::optional<Color> backgroundColor;
    int underlineStyle = 0; // 0 none, 1 single
    std::optional<TextAlignment> alignment;
    LineBreakMode lineBreakMode = LineBreakMode::truncatingTail;
    bool operator==(const TextAttributes& other) const = default;
};

class AttributedString {
public:
    AttributedString() = default;
    explicit AttributedString(std::string text, TextAttributes attributes = {})
        : m_text(std::move(text)), m_attributes(std::move(attributes)) { }

    const std::string& string() const { return m_text; }
    size_t length() const { return m_text.size(); }
    const TextAttributes& attributes() const { return m_attributes; }
    TextAttributes& attributes() { return m_attributes; }
    // Sizes with the font of the attributes (the system font when none).
    graphics::Size size(double maxWidth = 0) const;

    bool operator==(const AttributedString& other) const = default;

private:
    std::string m_text;
    TextAttributes m_attributes;
};

} // namespace ui
