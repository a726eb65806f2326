#pragma once
// A push button, check box or radio button. A click (performClick, or mouse down and up
// inside) switches the state of state-changing kinds and sends the action; a key equivalent
// ("\r" for the default button, "\x1b" for the cancel button) clicks it from the keyboard.
// Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Control.h"

namespace ui {

class Button : public Control {
public:
    static std::shared_ptr<Button> initWithFrame(const graphics::Rect& frame);
    // A rounded push button sized to its title.
    static std::shared_ptr<Button> buttonWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                   const std::string& action);
    static std::shared_ptr<Button> checkboxWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                     const std::string& action);
    static std::shared_ptr<Button> radioButtonWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                        const std::string& action);
    static std::shared_ptr<Button> buttonWithImage(ImagePtr image, const std::shared_ptr<Object>& target,
                                                   const std::string& action);

    std::shared_ptr<ButtonCell> buttonCell() const { return std::dynamic_pointer_cast<ButtonCell>(cell()); }
    std::string title() const;
    void setTitle(const std::string& title);
    AttributedString attributedTitle() const;
    void setAttributedTitle(const AttributedString& title);
    ImagePtr image() const { return cell()->image(); }
    void setImage(ImagePtr image);
    ControlStateValue state() const { return cell()->state(); }
    void setState(ControlStateValue state);
    bool allowsMixedState() const { return cell()->allowsMixedState(); }
    void setAllowsMixedState(bool value) { cell()->setAllowsMixedState(value); }
    std::string keyEquivalent() const;
    void setKeyEquivalent(const std::string& key);
    void setButtonType(ButtonType type);
    BezelStyle bezelStyle() const;
    void setBezelStyle(BezelStyle style);
    bool isBordered() const { return cell()->isBordered(); }
    void setBordered(bool value);

    // Highlights, switches the state and sends the action, as a click does. Nothing when disabled.
    virtual void performClick(Object* sender = nullptr);

    void mouseDown(const Event& event) override;
    void mouseDragged(const Event& event) override;
    void mouseUp(const Event& event) override;
    bool performKeyEquivalent(const Event& event) override;
    bool setValueForBinding(const std::string& binding, const std::any& value) override;

protected:
    Button(const graphics::Rect& frame, std::shared_ptr<ButtonCell> cell);

private:
    bool m_tracking = false;
};

using ButtonPtr = std::shared_ptr<Button>;

} // namespace ui
