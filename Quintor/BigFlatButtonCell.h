#pragma once
// The flat look of the main window's large push buttons: a filled rounded rectangle, blue for
// the default button (key equivalent Return) and dark grey for the others, darker while
// pressed, always with a white title. Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Cell.h"

class BigFlatButtonCell : public ui::ButtonCell {
public:
    static std::shared_ptr<BigFlatButtonCell> initTextCell(const std::string& title);
    static std::shared_ptr<BigFlatButtonCell> initImageCell(ui::ImagePtr image);

    void drawBezelWithFrame(const graphics::Rect& frame, ui::View& view, ui::GraphicsContext& context) override;
    // The title as set, in white whatever colour it was given.
    ui::AttributedString attributedTitle() const override;

    // The bezel's fill for the cell's key equivalent and highlight.
    ui::Color bezelFillColor() const;

protected:
    BigFlatButtonCell() = default;
};
