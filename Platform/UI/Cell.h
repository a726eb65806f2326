#pragma once
// The part of a control that holds its value and draws it: Cell (value, text, state, font),
// ButtonCell (title, bezel, image, key equivalent) and TextFieldCell (text, placeholder,
// colours, insets). Subclasses change the look by overriding the drawing members.
// Main thread only.

#include <any>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/AttributedString.h"
#include "Platform/UI/Color.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Object.h"

namespace ui {

class Formatter;
class GraphicsContext;
class View;

// A button's or check box's state.
using ControlStateValue = long;
inline constexpr ControlStateValue ControlStateValueMixed = -1;
inline constexpr ControlStateValue ControlStateValueOff = 0;
inline constexpr ControlStateValue ControlStateValueOn = 1;

class Cell : public Object {
public:
    static std::shared_ptr<Cell> initTextCell(const std::string& text);

    // ---- value
    const std::any& objectValue() const { return m_value; }
    virtual void setObjectValue(const std::any& value);
    // Through the formatter when there is one; numbers as the platform prints them.
    virtual std::string stringValue() const;
    virtual void setStringValue(const std::string& value);
    double doubleValue() const;
    virtual void setDoubleValue(double value) { setObjectValue(value); }
    long integerValue() const { return static_cast<long>(doubleValue()); }
    void setIntegerValue(long value) { setObjectValue(static_cast<long long>(value)); }
    bool hasValidObjectValue() const { return m_value.has_value(); }
    const std::shared_ptr<Formatter>& formatter() const { return m_formatter; }
    void setFormatter(std::shared_ptr<Formatter> formatter) { m_formatter = std::move(formatter); }

    // ---- state
    virtual std::string title() const { return stringValue(); }
    virtual void setTitle(const std::string& title) { setStringValue(title); }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool value) { m_enabled = value; }
    bool isHighlighted() const { return m_highlighted; }
    void setHighlighted(bool value) { m_highlighted = value; }
    ControlStateValue state() const { return m_state; }
    virtual void setState(ControlStateValue state);
    bool allowsMixedState() const { return m_allowsMixedState; }
    void setAllowsMixedState(bool value) { m_allowsMixedState = value; }
    bool isBordered() const { return m_bordered; }
    virtual void setBordered(bool value) { m_bordered = value; }
    bool isBezeled() const { return m_bezeled; }
    virtual void setBezeled(bool value) { m_bezeled = value; }
    bool isEditable() const { return m_editable; }
    void setEditable(bool value) { m_editable = value; }
    bool isSelectable() const { return m_selectable || m_editable; }
    void setSelectable(bool value) { m_selectable = value; }
    long tag() const { return m_tag; }
    void setTag(long tag) { m_tag = tag; }

    // ---- look
    Font font() const { return m_font; }
    void setFont(const Font& font) { m_font = font; }
    TextAlignment alignment() const { return m_alignment; }
    void setAlignment(TextAlignment alignment) { m_alignment = alignment; }
    LineBreakMode lineBreakMode() const { return m_lineBreakMode; }
    void setLineBreakMode(LineBreakMode mode) { m_lineBreakMode = mode; }
    ImagePtr image() const { return m_image; }
    virtual void setImage(ImagePtr image) { m_image = std::move(image); }
    View* controlView() const { return m_controlView; }
    void setControlView(View* view) { m_controlView = view; }
    // The appearance of the control view (light without one).
    AppearancePtr effectiveAppearance() const;

    // ---- geometry and drawing
    virtual graphics::Size cellSize() const;
    virtual graphics::Size cellSizeForBounds(const graphics::Rect& bounds) const;
    // Where the content goes inside `bounds` (inside any border or bezel).
    virtual graphics::Rect drawingRectForBounds(const graphics::Rect& bounds) const;
    virtual graphics::Rect titleRectForBounds(const graphics::Rect& bounds) const { return drawingRectForBounds(bounds); }
    // The text drawn: the string value with the cell's font, alignment and text colour.
    virtual AttributedString attributedStringValue() const;
    virtual void drawWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context);
    virtual void drawInteriorWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context);
    virtual void drawFocusRingMaskWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context);

protected:
    Cell() = default;

private:
    std::any m_value;
    std::shared_ptr<Formatter> m_formatter;
    bool m_enabled = true;
    bool m_highlighted = false;
    ControlStateValue m_state = ControlStateValueOff;
    bool m_allowsMixedState = false;
    bool m_bordered = false;
    bool m_bezeled = false;
    bool m_editable = false;
    bool m_selectable = false;
    long m_tag = 0;
    Font m_font = Font::systemFontOfSize(Font::systemFontSize());
    TextAlignment m_alignment = TextAlignment::natural;
    LineBreakMode m_lineBreakMode = LineBreakMode::truncatingTail;
    ImagePtr m_image;
    View* m_controlView = nullptr;
};

enum class ButtonType {
    momentaryLight = 0,
    pushOnPushOff = 1,
    toggle = 2,
    switchButton = 3, // a check box
    radio = 4,
    momentaryChange = 5,
    onOff = 6,
    momentaryPushIn = 7,
};

enum class BezelStyle {
    rounded = 1,
    regularSquare = 2,
    disclosure = 5,
    shadowlessSquare = 6,
    circular = 7,
    texturedSquare = 8,
    helpButton = 9,
    smallSquare = 10,
    texturedRounded = 11,
    roundRect = 12,
    recessed = 13,
    roundedDisclosure = 14,
    inlineBezel = 15,
};

enum class ImagePosition { noImage = 0, imageOnly = 1, imageLeft = 2, imageRight = 3, imageBelow = 4, imageAbove = 5, imageOverlaps = 6 };

class ButtonCell : public Cell {
public:
    static std::shared_ptr<ButtonCell> initTextCell(const std::string& title);
    static std::shared_ptr<ButtonCell> initImageCell(ImagePtr image);

    std::string title() const override { return m_title; }
    void setTitle(const std::string& title) override { m_title = title; }
    // The title as drawn; setting it keeps its text as the title and its attributes.
    virtual AttributedString attributedTitle() const;
    virtual void setAttributedTitle(const AttributedString& title);
    const std::string& alternateTitle() const { return m_alternateTitle; }
    void setAlternateTitle(std::string title) { m_alternateTitle = std::move(title); }
    ButtonType buttonType() const { return m_buttonType; }
    void setButtonType(ButtonType type);
    BezelStyle bezelStyle() const { return m_bezelStyle; }
    void setBezelStyle(BezelStyle style) { m_bezelStyle = style; }
    ImagePosition imagePosition() const { return m_imagePosition; }
    void setImagePosition(ImagePosition position) { m_imagePosition = position; }
    // "\r" makes the default button (Return), "\x1b" the cancel button (Escape).
    const std::string& keyEquivalent() const { return m_keyEquivalent; }
    void setKeyEquivalent(std::string key) { m_keyEquivalent = std::move(key); }
    unsigned long keyEquivalentModifierMask() const { return m_keyEquivalentModifiers; }
    void setKeyEquivalentModifierMask(unsigned long mask) { m_keyEquivalentModifiers = mask; }
    std::optional<Color> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color) { m_backgroundColor = std::move(color); }
    // Whether clicking switches the state (check boxes, radio and toggle buttons).
    bool changesState() const;
    // A click: the next state for state-changing types.
    void advanceState();

    graphics::Size cellSize() const override;
    void drawWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context) override;
    virtual void drawBezelWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context);
    virtual void drawImage(const ImagePtr& image, const graphics::Rect& frame, View& view, GraphicsContext& context);
    // Draws the title into `frame`; returns where it went.
    virtual graphics::Rect drawTitle(const AttributedString& title, const graphics::Rect& frame, View& view,
                                     GraphicsContext& context);

protected:
    ButtonCell() = default;

private:
    std::string m_title;
    std::optional<AttributedString> m_attributedTitle;
    std::string m_alternateTitle;
    ButtonType m_buttonType = ButtonType::momentaryPushIn;
    BezelStyle m_bezelStyle = BezelStyle::rounded;
    ImagePosition m_imagePosition = ImagePosition::noImage;
    std::string m_keyEquivalent;
    unsigned long m_keyEquivalentModifiers = 0;
    std::optional<Color> m_backgroundColor;
};

class TextFieldCell : public Cell {
public:
    static std::shared_ptr<TextFieldCell> initTextCell(const std::string& text);

    const std::string& placeholderString() const { return m_placeholder; }
    void setPlaceholderString(std::string text) { m_placeholder = std::move(text); }
    std::optional<Color> textColor() const { return m_textColor; }
    void setTextColor(std::optional<Color> color) { m_textColor = std::move(color); }
    std::optional<Color> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color) { m_backgroundColor = std::move(color); }
    bool drawsBackground() const { return m_drawsBackground; }
    void setDrawsBackground(bool value) { m_drawsBackground = value; }
    // Space between the frame and the text when the cell has a bezel or border.
    graphics::EdgeInsets insets() const { return m_insets; }
    void setInsets(graphics::EdgeInsets insets) { m_insets = insets; }
    // Draws bullets instead of the characters (secure fields).
    bool echosBullets() const { return m_echosBullets; }
    void setEchosBullets(bool value) { m_echosBullets = value; }

    AttributedString attributedStringValue() const override;
    graphics::Size cellSizeForBounds(const graphics::Rect& bounds) const override;
    graphics::Rect drawingRectForBounds(const graphics::Rect& bounds) const override;
    void drawWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context) override;
    void drawInteriorWithFrame(const graphics::Rect& frame, View& view, GraphicsContext& context) override;

    // Internal: the text being edited, shown instead of the value while editing.
    void setEditingText(std::optional<std::string> text) { m_editingText = std::move(text); }
    const std::optional<std::string>& editingText() const { return m_editingText; }

protected:
    TextFieldCell() = default;

private:
    std::string m_placeholder;
    std::optional<Color> m_textColor;
    std::optional<Color> m_backgroundColor;
    bool m_drawsBackground = false;
    graphics::EdgeInsets m_insets {3, 4, 3, 4};
    bool m_echosBullets = false;
    std::optional<std::string> m_editingText;
};

class SecureTextFieldCell : public TextFieldCell {
public:
    static std::shared_ptr<SecureTextFieldCell> initTextCell(const std::string& text);

protected:
    SecureTextFieldCell();
};

} // namespace ui
