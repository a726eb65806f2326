#include "Platform/UI/TextField.h"

#include <cmath>

#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Formatter.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/Pasteboard.h"
#include "Platform/UI/Window.h"

namespace ui {

using graphics::Rect;

TextField::TextField(const Rect& frame, std::shared_ptr<TextFieldCell> cell)
    : Control(frame, cell ? std::move(cell) : TextFieldCell::initTextCell(""))
{
    registerAction("cut:", [this](Object*) { cut(); });
    registerAction("copy:", [this](Object*) { copy(); });
    registerAction("paste:", [this](Object*) { paste(); });
}

bool TextField::isSecure() const
{
    auto c = textFieldCell();
    return c && c->echosBullets();
}

void TextField::copy()
{
    if (!m_editing || isSecure() || m_buffer.empty())
        return;
    auto pasteboard = Pasteboard::generalPasteboard();
    pasteboard->clearContents();
    pasteboard->setStringForType(m_buffer, NSPasteboardTypeString);
}

void TextField::cut()
{
    if (!m_editing || isSecure() || m_buffer.empty())
        return;
    copy();
    replaceText({});
}

void TextField::paste()
{
    if (!m_editing)
        return;
    auto text = Pasteboard::generalPasteboard()->stringForType(NSPasteboardTypeString);
    if (!text || text->empty())
        return;
    // One line: a field takes no line breaks.
    std::string line = *text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    insertText(line);
}

bool TextField::validateMenuItem(MenuItem& item)
{
    const std::string& action = item.action();
    if (action == "cut:" || action == "copy:")
        return m_editing && !isSecure() && !m_buffer.empty();
    if (action == "paste:")
        return m_editing && Pasteboard::generalPasteboard()->canReadItemWithDataConformingToTypes({NSPasteboardTypeString});
    return Control::validateMenuItem(item);
}

std::shared_ptr<TextField> TextField::initWithFrame(const Rect& frame)
{
    auto field = std::shared_ptr<TextField>(new TextField(frame, nullptr));
    field->setEditable(true);
    field->setBezeled(true);
    return field;
}

std::shared_ptr<TextField> TextField::labelWithString(const std::string& text)
{
    auto field = std::shared_ptr<TextField>(new TextField(Rect::zero(), nullptr));
    field->setStringValue(text);
    field->setFrameSize(field->intrinsicContentSize());
    return field;
}

std::shared_ptr<TextField> TextField::wrappingLabelWithString(const std::string& text, double width)
{
    auto field = std::shared_ptr<TextField>(new TextField(Rect::make(0, 0, width, 0), nullptr));
    field->setLineBreakMode(LineBreakMode::wordWrapping);
    field->setStringValue(text);
    field->setFrameSize({width, field->cell()->cellSizeForBounds(Rect::make(0, 0, width, 10000)).height});
    return field;
}

std::shared_ptr<TextField> TextField::textFieldWithString(const std::string& text)
{
    auto field = initWithFrame(Rect::make(0, 0, 200, 22));
    field->setStringValue(text);
    return field;
}

void TextField::setBezeled(bool value)
{
    cell()->setBezeled(value);
    setNeedsDisplay(true);
}

void TextField::setBordered(bool value)
{
    cell()->setBordered(value);
    setNeedsDisplay(true);
}

bool TextField::drawsBackground() const
{
    auto c = textFieldCell();
    return c && c->drawsBackground();
}

void TextField::setDrawsBackground(bool value)
{
    if (auto c = textFieldCell())
        c->setDrawsBackground(value);
    setNeedsDisplay(true);
}

std::optional<Color> TextField::backgroundColor() const
{
    auto c = textFieldCell();
    return c ? c->backgroundColor() : std::nullopt;
}

void TextField::setBackgroundColor(std::optional<Color> color)
{
    if (auto c = textFieldCell())
        c->setBackgroundColor(std::move(color));
    setNeedsDisplay(true);
}

std::optional<Color> TextField::textColor() const
{
    auto c = textFieldCell();
    return c ? c->textColor() : std::nullopt;
}

void TextField::setTextColor(std::optional<Color> color)
{
    if (auto c = textFieldCell())
        c->setTextColor(std::move(color));
    setNeedsDisplay(true);
}

std::string TextField::placeholderString() const
{
    auto c = textFieldCell();
    return c ? c->placeholderString() : std::string();
}

void TextField::setPlaceholderString(const std::string& text)
{
    if (auto c = textFieldCell())
        c->setPlaceholderString(text);
    setNeedsDisplay(true);
}

void TextField::setLineBreakMode(LineBreakMode mode)
{
    cell()->setLineBreakMode(mode);
    setNeedsDisplay(true);
}

std::string TextField::currentText() const
{
    return m_editing ? m_buffer : stringValue();
}

bool TextField::proposeText(const std::string& proposed)
{
    std::string accepted = proposed;
    if (const auto& f = formatter()) {
        std::string replacement;
        if (!f->isPartialStringValid(proposed, &replacement, nullptr)) {
            if (replacement.empty()) {
                Application::shared()->beep();
                return false;
            }
            accepted = replacement;
        }
    }
    m_buffer = accepted;
    if (auto c = textFieldCell())
        c->setEditingText(m_buffer);
    setNeedsDisplay(true);
    if (auto delegate = m_delegate.lock())
        delegate->controlTextDidChange(*this);
    return true;
}

bool TextField::insertText(const std::string& text)
{
    if (!m_editing)
        return false;
    return proposeText(m_buffer + text);
}

bool TextField::deleteBackward()
{
    if (!m_editing || m_buffer.empty())
        return false;
    // Back over one whole UTF-8 character.
    size_t cut = m_buffer.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(m_buffer[cut]) & 0xC0) == 0x80)
        --cut;
    return proposeText(m_buffer.substr(0, cut));
}

bool TextField::replaceText(const std::string& text)
{
    if (!m_editing)
        return false;
    return proposeText(text);
}

bool TextField::commitEditing()
{
    if (!m_editing)
        return true;
    std::any value = m_buffer;
    if (const auto& f = formatter()) {
        std::any parsed;
        std::string reason;
        if (!f->getObjectValue(&parsed, m_buffer, &reason)) {
            Application::shared()->beep();
            return false;
        }
        value = parsed;
    }
    const bool changed = m_buffer != stringValue();
    m_editing = false;
    if (auto c = textFieldCell())
        c->setEditingText(std::nullopt);
    Control::setObjectValue(value);
    if (changed)
        pushBindingValue(NSValueBinding, objectValue());
    return true;
}

void TextField::abortEditing()
{
    m_editing = false;
    m_buffer.clear();
    if (auto c = textFieldCell())
        c->setEditingText(std::nullopt);
    setNeedsDisplay(true);
}

bool TextField::becomeFirstResponder()
{
    if (isEditable() && isEnabled()) {
        m_editing = true;
        m_buffer = stringValue();
        if (auto c = textFieldCell())
            c->setEditingText(m_buffer);
        setNeedsDisplay(true);
    }
    return true;
}

bool TextField::resignFirstResponder()
{
    if (!m_editing)
        return true;
    const bool changed = m_buffer != stringValue();
    if (!commitEditing())
        return false; // text the formatter cannot read keeps the focus
    if (changed)
        sendAction();
    return true;
}

void TextField::keyDown(const Event& event)
{
    if (!m_editing) {
        Control::keyDown(event);
        return;
    }
    const std::string& c = event.characters();
    if (c == kReturnKey) {
        const bool committed = commitEditing();
        if (committed) {
            sendAction();
            becomeFirstResponder(); // the field keeps editing, with the text selected
        }
    } else if (c == kEscapeKey) {
        abortEditing();
        becomeFirstResponder();
    } else if (c == kDeleteBackwardKey || c == "\b") {
        deleteBackward();
    } else if (c == kTabKey) {
        if (Window* w = window()) {
            if (auto next = nextValidKeyView())
                w->makeFirstResponder(next);
        }
    } else if (!c.empty() && static_cast<unsigned char>(c[0]) >= 0x20) {
        insertText(c);
    }
}

void TextField::mouseDown(const Event& event)
{
    if (acceptsFirstResponder() && window())
        return; // the window made the field first responder: editing has begun
    Control::mouseDown(event);
}

void TextField::setObjectValue(const std::any& value)
{
    Control::setObjectValue(value);
    // A value set from outside while editing replaces what is being typed.
    if (m_editing) {
        m_buffer = stringValue();
        if (auto c = textFieldCell())
            c->setEditingText(m_buffer);
    }
}

graphics::Size TextField::intrinsicContentSize() const
{
    const graphics::Size s = cell()->cellSizeForBounds(bounds());
    return {std::ceil(s.width), std::ceil(s.height)};
}

std::vector<std::string> TextField::exposedBindings() const
{
    return {NSValueBinding, NSEnabledBinding, NSHiddenBinding, "editable"};
}

SecureTextField::SecureTextField(const Rect& frame)
    : TextField(frame, SecureTextFieldCell::initTextCell(""))
{
}

std::shared_ptr<SecureTextField> SecureTextField::initWithFrame(const Rect& frame)
{
    auto field = std::shared_ptr<SecureTextField>(new SecureTextField(frame));
    field->setEditable(true);
    field->setBezeled(true);
    return field;
}

} // namespace ui
