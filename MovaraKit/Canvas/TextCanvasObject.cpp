#include "MovaraKit/Canvas/TextCanvasObject.h"

#include <cmath>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "MovaraKit/Support/CGColorArchiving.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/GraphicsContext.h"

namespace {

graphics::Color whiteInDeviceGray()
{
    return graphics::Color::create(graphics::ColorSpace::createDeviceGray(), {1.0, 1.0}).value_or(graphics::Color::white());
}

// Pixel sizes beyond this are refused: a hostile archive or document must not make us
// allocate gigabytes for one text bitmap.
constexpr double kMaximumBitmapSide = 16384;

} // namespace

TextCanvasObject::TextCanvasObject()
    : m_text(defaultText())
    , m_font(ui::Font::fontWithName("Helvetica", 128))
    , m_color(whiteInDeviceGray())
{
}

TextCanvasObjectPtr TextCanvasObject::init()
{
    TextCanvasObjectPtr object(new TextCanvasObject());
    object->setSize(object->naturalSize());
    object->setPreserveAspect(false);
    return object;
}

const std::string& TextCanvasObject::defaultText()
{
    static const std::string text = mvr_movaraKitBundle()->localizedStringForKey("Text");
    return text;
}

const std::vector<std::string>& TextCanvasObject::textObservedKeyPaths()
{
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> p = baseObservedKeyPaths();
        p.insert(p.end(), {"text", "font", "color", "underlineStyle", "textAlignment"});
        return p;
    }();
    return paths;
}

void TextCanvasObject::setText(const std::string& text)
{
    change("text", m_text, text);
}

void TextCanvasObject::setFont(const ui::Font& font)
{
    change("font", m_font, font);
}

void TextCanvasObject::setUnderlineStyle(int64_t style)
{
    change("underlineStyle", m_underlineStyle, style);
}

void TextCanvasObject::setTextAlignment(ui::TextAlignment alignment)
{
    change("textAlignment", m_textAlignment, alignment);
}

void TextCanvasObject::setColor(const graphics::Color& color)
{
    change("color", m_color, color);
}

ui::TextAttributes TextCanvasObject::textAttributes() const
{
    ui::TextAttributes a;
    a.font = m_font;
    if (m_color.colorSpace())
        a.foregroundColor = ui::Color(m_color);
    a.underlineStyle = static_cast<int>(m_underlineStyle);
    a.alignment = m_textAlignment;
    a.lineBreakMode = ui::LineBreakMode::wordWrapping;
    return a;
}

graphics::Size TextCanvasObject::naturalSize() const
{
    const graphics::Size s = ui::AttributedString(m_text, textAttributes()).size();
    return {std::ceil(s.width), std::ceil(s.height)};
}

double TextCanvasObject::heightForWidth(double width) const
{
    if (!(width > 0) || !std::isfinite(width))
        return 0;
    return std::ceil(ui::AttributedString(m_text, textAttributes()).size(width).height);
}

graphics::ImagePtr TextCanvasObject::makeImage() const
{
    const graphics::Size s = size();
    if (!std::isfinite(s.width) || !std::isfinite(s.height) || s.width < 1 || s.height < 1
        || s.width > kMaximumBitmapSide || s.height > kMaximumBitmapSide)
        return nullptr;
    const double w = std::trunc(s.width);
    const double h = std::trunc(s.height);
    auto context = ui::GraphicsContext::bitmapContext({w, h}, 1.0);
    if (!context)
        return nullptr;
    context->drawText(ui::AttributedString(m_text, textAttributes()), graphics::Rect::make(0, 0, s.width, s.height), false);
    return context->createImage();
}

const foundation::KeyTable& TextCanvasObject::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t = makeBaseKeyTable();
        t.key("text", &TextCanvasObject::text, &TextCanvasObject::setText);
        t.key(
            "font", [](const foundation::Observable& o) -> std::any { return static_cast<const TextCanvasObject&>(o).font(); },
            [](foundation::Observable& o, const std::any& v) {
                static_cast<TextCanvasObject&>(o).setFont(std::any_cast<ui::Font>(v));
            });
        t.key(
            "color", [](const foundation::Observable& o) -> std::any { return static_cast<const TextCanvasObject&>(o).color(); },
            [](foundation::Observable& o, const std::any& v) {
                // Anything but a colour is ignored.
                if (const auto* color = std::any_cast<graphics::Color>(&v))
                    static_cast<TextCanvasObject&>(o).setColor(*color);
            });
        t.key("underlineStyle", &TextCanvasObject::underlineStyle, &TextCanvasObject::setUnderlineStyle);
        t.key(
            "textAlignment",
            [](const foundation::Observable& o) -> std::any { return static_cast<const TextCanvasObject&>(o).textAlignment(); },
            [](foundation::Observable& o, const std::any& v) {
                if (const auto* alignment = std::any_cast<ui::TextAlignment>(&v))
                    static_cast<TextCanvasObject&>(o).setTextAlignment(*alignment);
                else
                    static_cast<TextCanvasObject&>(o).setTextAlignment(static_cast<ui::TextAlignment>(foundation::anyTo<int64_t>(v)));
            });
        t.affecting("canvasDescription", {"text"});
        return t;
    }();
    return table;
}

void TextCanvasObject::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    CanvasObject::encodeWithCoder(coder);
    coder.encodeString(m_text, "text");
    const auto colorInfo = CGColorArchiving::dictionary(m_color);
    coder.encodeValue(colorInfo ? *colorInfo : foundation::Value(), "colorInfo");
    coder.encodeValue(foundation::Value::dictionary({{"attributes", m_font.fontDescriptorAttributes()},
                                                     {"size", m_font.pointSize()}}),
                      "fontInfo");
    coder.encodeInt64(m_underlineStyle, "underlineStyle");
    coder.encodeInt64(static_cast<int64_t>(m_textAlignment), "textAlignment");
}

void TextCanvasObject::registerCodingClass()
{
    foundation::KeyedArchiver::registerClass(
        {"TextCanvasObject", {"CanvasObject"}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
             TextCanvasObjectPtr object(new TextCanvasObject());
             object->m_text = coder.decodeString("text").value_or(std::string());
             const foundation::Value colorInfo = coder.decodeValue("colorInfo");
             if (auto color = CGColorArchiving::color(colorInfo))
                 object->m_color = *color;
             const foundation::Value fontInfo = coder.decodeValue("fontInfo");
             if (fontInfo["size"].isNumber()) {
                 if (auto font = ui::Font::fontWithDescriptor(fontInfo["attributes"], fontInfo["size"].asDouble()))
                     object->m_font = *font;
             }
             if (coder.containsValueForKey("underlineStyle"))
                 object->m_underlineStyle = coder.decodeInt64("underlineStyle");
             if (coder.containsValueForKey("textAlignment"))
                 object->m_textAlignment = static_cast<ui::TextAlignment>(coder.decodeInt64("textAlignment"));
             object->decodeBase(coder);
             return object;
         }});
}
