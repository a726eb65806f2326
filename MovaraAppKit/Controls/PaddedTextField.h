#pragma once
// Plain and secure text fields for the shell's forms, drawn as a rounded box with the text
// 8 points in from the sides and centred vertically; the focus ring follows the rounded
// outline. Made by layouts. Main thread only.

#include <memory>

#include "Platform/UI/Cell.h"
#include "Platform/UI/TextField.h"

class PaddedTextFieldCell : public ui::TextFieldCell {
public:
    static std::shared_ptr<PaddedTextFieldCell> initTextCell(const std::string& text);

    graphics::Rect drawingRectForBounds(const graphics::Rect& bounds) const override;
    void drawWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;
    void drawFocusRingMaskWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;

protected:
    PaddedTextFieldCell() = default;
};

class PaddedSecureTextFieldCell : public ui::SecureTextFieldCell {
public:
    static std::shared_ptr<PaddedSecureTextFieldCell> initTextCell(const std::string& text);

    graphics::Rect drawingRectForBounds(const graphics::Rect& bounds) const override;
    void drawWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;
    void drawFocusRingMaskWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;

protected:
    PaddedSecureTextFieldCell() = default;
};

class PaddedTextField : public ui::TextField {
public:
    static std::shared_ptr<PaddedTextField> initWithFrame(const graphics::Rect& frame);

protected:
    explicit PaddedTextField(const graphics::Rect& frame);
};

class PaddedSecureTextField : public ui::SecureTextField {
public:
    static std::shared_ptr<PaddedSecureTextField> initWithFrame(const graphics::Rect& frame);

protected:
    explicit PaddedSecureTextField(const graphics::Rect& frame);
};
