#pragma once
// A box that groups views: an optional title, a rounded frame or a separator line, or a
// custom box with its own fill and border. Its content view holds the grouped views.
// Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Color.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/View.h"

namespace ui {

enum class BoxType { primary = 0, separator = 2, custom = 4 };
enum class TitlePosition { noTitle = 0, aboveTop = 1, atTop = 2, belowTop = 3, aboveBottom = 4, atBottom = 5, belowBottom = 6 };

class Box : public View {
public:
    static std::shared_ptr<Box> initWithFrame(const graphics::Rect& frame);

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    TitlePosition titlePosition() const { return m_titlePosition; }
    void setTitlePosition(TitlePosition position);
    Font titleFont() const { return m_titleFont; }
    void setTitleFont(const Font& font) { m_titleFont = font; }
    BoxType boxType() const { return m_boxType; }
    void setBoxType(BoxType type);
    bool isTransparent() const { return m_transparent; }
    void setTransparent(bool value);
    // Used by custom boxes.
    Color fillColor() const { return m_fillColor; }
    void setFillColor(const Color& color);
    Color borderColor() const { return m_borderColor; }
    void setBorderColor(const Color& color);
    double borderWidth() const { return m_borderWidth; }
    void setBorderWidth(double width);
    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double radius);
    graphics::Size contentViewMargins() const { return m_margins; }
    void setContentViewMargins(graphics::Size margins);

    std::shared_ptr<View> contentView() const { return m_contentView; }
    void setContentView(const std::shared_ptr<View>& view);
    // Where the frame is drawn (below the title).
    graphics::Rect borderRect() const;

    void setFrame(const graphics::Rect& frame) override;
    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;

protected:
    explicit Box(const graphics::Rect& frame);

private:
    void layoutContent();

    std::string m_title = "Title";
    TitlePosition m_titlePosition = TitlePosition::atTop;
    Font m_titleFont = Font::systemFontOfSize(Font::smallSystemFontSize());
    BoxType m_boxType = BoxType::primary;
    bool m_transparent = false;
    Color m_fillColor = Color::clear();
    Color m_borderColor = Color::separatorColor();
    double m_borderWidth = 1;
    double m_cornerRadius = 0;
    graphics::Size m_margins {5, 5};
    std::shared_ptr<View> m_contentView;
};

} // namespace ui
