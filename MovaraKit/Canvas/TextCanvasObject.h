#pragma once
// A piece of styled text on a canvas: one string in one font, colour, underline style and
// alignment. It measures itself (one line, or a height for a wrapping width) and renders
// into a bitmap of its own size, one pixel per point.

#include <memory>
#include <string>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "Platform/Graphics/Color.h"
#include "Platform/UI/AttributedString.h"
#include "Platform/UI/Font.h"

class TextCanvasObject;
using TextCanvasObjectPtr = std::shared_ptr<TextCanvasObject>;

class TextCanvasObject : public CanvasObject {
public:
    // The localized "Text" in 128-point Helvetica, white, centred, not underlined, sized to fit.
    static TextCanvasObjectPtr init();
    static const std::string& defaultText();
    static const std::vector<std::string>& textObservedKeyPaths();
    const std::vector<std::string>& observedKeyPaths() const override { return textObservedKeyPaths(); }

    const std::string& text() const { return m_text; }
    void setText(const std::string& text);
    const ui::Font& font() const { return m_font; }
    void setFont(const ui::Font& font);
    // 0 none, 1 single.
    int64_t underlineStyle() const { return m_underlineStyle; }
    void setUnderlineStyle(int64_t style);
    ui::TextAlignment textAlignment() const { return m_textAlignment; }
    void setTextAlignment(ui::TextAlignment alignment);
    const graphics::Color& color() const { return m_color; }
    void setColor(const graphics::Color& color);

    // What every measurement and drawing uses, made anew each time.
    ui::TextAttributes textAttributes() const;
    // The text on one line, rounded up to whole points.
    graphics::Size naturalSize() const override;
    // The height of the text wrapped to `width`, rounded up to whole points.
    double heightForWidth(double width) const;
    // The text drawn into a bitmap of size() truncated to whole pixels; none for a size
    // below one pixel (or not finite).
    graphics::ImagePtr makeImage() const override;
    std::string defaultDescription() const override { return m_text; }

    std::string className() const override { return "TextCanvasObject"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static void registerCodingClass();

    const foundation::KeyTable& observableKeys() const override;

private:
    TextCanvasObject();

    std::string m_text;
    ui::Font m_font;
    int64_t m_underlineStyle = 0;
    ui::TextAlignment m_textAlignment = ui::TextAlignment::center;
    graphics::Color m_color;
};
