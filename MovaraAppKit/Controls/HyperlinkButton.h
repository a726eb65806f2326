#pragma once
// A borderless button whose title is a web address: shown as small, underlined blue text,
// with the pointing-hand cursor over it, opened in the browser when clicked (unless the
// layout gave it another action). Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Button.h"

class HyperlinkButton : public ui::Button {
public:
    static std::shared_ptr<HyperlinkButton> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<HyperlinkButton> initWithCoder(const graphics::Rect& frame);

    // The title with the link attributes: single underline, small system font, blue.
    static ui::TextAttributes hyperlinkTextAttributes();

    std::string title() const { return ui::Button::title(); }
    // Stores the title and restyles it at once.
    void setTitle(const std::string& title);
    void updateAttributedTitle();

    void awakeFromNib() override;
    void resetCursorRects() override;
    // Action "openUrl:": opens the title as a URL; nothing when it is not one.
    void openUrl(ui::Object* sender);

protected:
    explicit HyperlinkButton(const graphics::Rect& frame);
};
