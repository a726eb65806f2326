#include "MovaraAppKit/Controls/HyperlinkButton.h"

#include "Platform/Foundation/URL.h"
#include "Platform/UI/Workspace.h"

HyperlinkButton::HyperlinkButton(const graphics::Rect& frame)
    : ui::Button(frame, ui::ButtonCell::initTextCell(""))
{
    registerAction("openUrl:", [this](ui::Object* sender) { openUrl(sender); });
}

std::shared_ptr<HyperlinkButton> HyperlinkButton::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<HyperlinkButton>(new HyperlinkButton(frame));
}

std::shared_ptr<HyperlinkButton> HyperlinkButton::initWithCoder(const graphics::Rect& frame)
{
    return std::shared_ptr<HyperlinkButton>(new HyperlinkButton(frame));
}

ui::TextAttributes HyperlinkButton::hyperlinkTextAttributes()
{
    ui::TextAttributes a;
    a.underlineStyle = 1;
    a.font = ui::Font::systemFontOfSize(ui::Font::smallSystemFontSize());
    a.foregroundColor = ui::Color::calibratedRGB(0.1, 0.1, 1.0, 1.0);
    return a;
}

void HyperlinkButton::setTitle(const std::string& title)
{
    ui::Button::setTitle(title);
    updateAttributedTitle();
}

void HyperlinkButton::updateAttributedTitle()
{
    setAttributedTitle(ui::AttributedString(title(), hyperlinkTextAttributes()));
}

void HyperlinkButton::awakeFromNib()
{
    ui::Button::awakeFromNib();
    setBordered(false);
    setBezelStyle(ui::BezelStyle::regularSquare);
    setButtonType(ui::ButtonType::momentaryChange);
    if (action().empty()) {
        setAction("openUrl:");
        setTarget(sharedAs<ui::Object>());
    }
    updateAttributedTitle();
}

void HyperlinkButton::resetCursorRects()
{
    ui::Button::resetCursorRects();
    addCursorRect(bounds(), ui::Cursor::pointingHand);
}

void HyperlinkButton::openUrl(ui::Object*)
{
    auto url = foundation::URL::URLWithString(title());
    if (!url)
        return;
    ui::Workspace::shared().openURL(*url);
}
