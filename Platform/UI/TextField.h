#pragma once
// A text label or an editable text field. Editing begins when the field becomes first
// responder: typed text goes into an editing buffer that the formatter may refuse character
// by character (with a beep); the edit is committed to the value (and its binding) when the
// field resigns first responder or the user presses Return, which also sends the action.
// Escape abandons the edit. SecureTextField shows bullets. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "Platform/UI/Control.h"

namespace ui {

class TextField;

// Told of every accepted change of a field's editing text, keystroke by keystroke (the value
// and its binding follow only when the edit is committed).
class ControlTextEditingDelegate {
public:
    virtual ~ControlTextEditingDelegate() = default;
    virtual void controlTextDidChange(TextField& field) = 0;
};

class TextField : public Control {
public:
    static std::shared_ptr<TextField> initWithFrame(const graphics::Rect& frame);
    // A borderless, not editable, not selectable label sized to its text.
    static std::shared_ptr<TextField> labelWithString(const std::string& text);
    // A label that wraps its text at the given width.
    static std::shared_ptr<TextField> wrappingLabelWithString(const std::string& text, double width = 300);
    // An editable, bezeled field.
    static std::shared_ptr<TextField> textFieldWithString(const std::string& text);

    std::shared_ptr<TextFieldCell> textFieldCell() const { return std::dynamic_pointer_cast<TextFieldCell>(cell()); }
    bool isEditable() const { return cell()->isEditable(); }
    void setEditable(bool value) { cell()->setEditable(value); }
    bool isSelectable() const { return cell()->isSelectable(); }
    void setSelectable(bool value) { cell()->setSelectable(value); }
    bool isBezeled() const { return cell()->isBezeled(); }
    void setBezeled(bool value);
    bool isBordered() const { return cell()->isBordered(); }
    void setBordered(bool value);
    bool drawsBackground() const;
    void setDrawsBackground(bool value);
    std::optional<Color> backgroundColor() const;
    void setBackgroundColor(std::optional<Color> color);
    std::optional<Color> textColor() const;
    void setTextColor(std::optional<Color> color);
    std::string placeholderString() const;
    void setPlaceholderString(const std::string& text);
    LineBreakMode lineBreakMode() const { return cell()->lineBreakMode(); }
    void setLineBreakMode(LineBreakMode mode);

    // ---- editing
    // Held weakly.
    void setDelegate(const std::shared_ptr<ControlTextEditingDelegate>& delegate) { m_delegate = delegate; }
    bool isEditing() const { return m_editing; }
    // The text as it stands in the field (the editing buffer while editing).
    std::string currentText() const;
    // Typing: inserts at the end of the buffer. False (and a beep) when the formatter refuses.
    bool insertText(const std::string& text);
    bool deleteBackward();
    // Replaces the whole buffer (a paste over a selection of everything).
    bool replaceText(const std::string& text);
    // Commits the buffer to the value; false (a beep, still editing) when the formatter
    // cannot read it.
    bool commitEditing();
    void abortEditing();

    // Cut, copy and paste while editing, through the general pasteboard: the whole text is
    // what is cut or copied (a field being edited has it all selected) and pasted text is typed
    // at the end. A secure field gives nothing out.
    void cut();
    void copy();
    void paste();
    bool validateMenuItem(MenuItem& item) override;

    bool acceptsFirstResponder() const override { return isEnabled() && (isEditable() || isSelectable()); }
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    void keyDown(const Event& event) override;
    void mouseDown(const Event& event) override;
    void setObjectValue(const std::any& value) override;
    graphics::Size intrinsicContentSize() const override;
    std::vector<std::string> exposedBindings() const override;

protected:
    TextField(const graphics::Rect& frame, std::shared_ptr<TextFieldCell> cell);
    bool proposeText(const std::string& proposed);
    bool isSecure() const;

private:
    bool m_editing = false;
    std::string m_buffer;
    std::weak_ptr<ControlTextEditingDelegate> m_delegate;
};

class SecureTextField : public TextField {
public:
    static std::shared_ptr<SecureTextField> initWithFrame(const graphics::Rect& frame);

protected:
    explicit SecureTextField(const graphics::Rect& frame);
};

} // namespace ui
