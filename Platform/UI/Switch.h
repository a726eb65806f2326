#pragma once
// An on/off switch: a rounded track with a knob that slides to the on side. A click flips it
// and sends its action; its state (and the "value" binding) is on or off. Main thread only.

#include <memory>

#include "Platform/UI/Button.h"

namespace ui {

class Switch : public Button {
public:
    static std::shared_ptr<Switch> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<Switch> switchWithTarget(const std::shared_ptr<Object>& target, const std::string& action);

    bool isOn() const { return state() != ControlStateValueOff; }
    void setOn(bool on) { setState(on ? ControlStateValueOn : ControlStateValueOff); }

    graphics::Size intrinsicContentSize() const override { return { 38, 22 }; }
    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;

protected:
    explicit Switch(const graphics::Rect& frame);
};

using SwitchPtr = std::shared_ptr<Switch>;

} // namespace ui
