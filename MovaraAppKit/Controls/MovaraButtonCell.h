#pragma once
// The shell's push-button cell: a flat rounded bezel coloured by the appearance (light or
// dark), the button's role (the Return-key default button is blue) and its state (pressed,
// disabled), with a border a shade darker; or, when a background image name is set, that
// image and two tinted variants for pressed and disabled. The title is recoloured for the
// pressed and disabled states. Layouts choose it for their buttons. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Cell.h"

class MovaraButtonCell : public ui::ButtonCell {
public:
    static std::shared_ptr<MovaraButtonCell> initTextCell(const std::string& title);
    static std::shared_ptr<MovaraButtonCell> initImageCell(ui::ImagePtr image);
    // A new cell with the same title, state, look and images.
    std::shared_ptr<MovaraButtonCell> copy() const;

    // Built-in colours.
    static const ui::Color& defaultButtonColor();            // 59, 153, 252 of 255
    static const ui::Color& lightButtonColor();              // grey 220 of 255
    static const ui::Color& darkButtonColor();               // grey 59 of 255
    static const ui::Color& darkDisabledButtonColor();       // grey 50 of 255
    static const ui::Color& lightDisabledButtonColor();      // grey 0.667
    // The colour converted to RGB with `delta` added to red, green and blue (clamped), alpha kept.
    static ui::Color shiftedColor(const ui::Color& color, double delta, const ui::AppearancePtr& appearance = nullptr);

    const std::optional<ui::Color>& textColor() const { return m_textColor; }
    void setTextColor(std::optional<ui::Color> color) { m_textColor = std::move(color); }
    const std::optional<ui::Color>& bgColor() const { return m_bgColor; }
    void setBgColor(std::optional<ui::Color> color) { m_bgColor = std::move(color); }
    const std::optional<ui::Color>& defaultBgColor() const { return m_defaultBgColor; }
    void setDefaultBgColor(std::optional<ui::Color> color) { m_defaultBgColor = std::move(color); }
    bool isDrawingInTitleBar() const { return m_isDrawingInTitleBar; }
    void setIsDrawingInTitleBar(bool value) { m_isDrawingInTitleBar = value; }
    const std::optional<std::string>& backgroundImageName() const { return m_backgroundImageName; }
    // Loads the image of that name (the shell's bundle first, then the application's) and
    // makes its pressed and disabled variants; a name no bundle knows keeps the old images.
    void setBackgroundImageName(std::optional<std::string> name);
    ui::ImagePtr backgroundImage() const { return m_backgroundImage; }
    ui::ImagePtr highlightedBackgroundImage() const { return m_highlightedBackgroundImage; }
    ui::ImagePtr disabledBackgroundImage() const { return m_disableddbackgroundImage; }

    // The rectangle the bezel fills inside the cell frame.
    graphics::Rect bezelRectForFrame(const graphics::Rect& frame) const;

    ui::AttributedString attributedTitle() const override;
    void drawBezelWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;
    // Strokes the bezel's outline a shade darker than its fill; subclasses may draw their own.
    virtual void drawBorderAround(const ui::BezierPath& path, const ui::Color& fillColor, ui::GraphicsContext& context);

protected:
    MovaraButtonCell() = default;

private:
    std::optional<ui::Color> m_textColor;
    std::optional<ui::Color> m_bgColor;
    std::optional<ui::Color> m_defaultBgColor;
    bool m_isDrawingInTitleBar = false;
    std::optional<std::string> m_backgroundImageName;
    ui::ImagePtr m_backgroundImage;
    ui::ImagePtr m_highlightedBackgroundImage;
    ui::ImagePtr m_disableddbackgroundImage;
};
