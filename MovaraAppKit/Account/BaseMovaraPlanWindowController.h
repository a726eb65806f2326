#pragma once
// The base of the account windows, and their windows' delegate: a transparent title bar,
// centred when shown, brought to the front on request, sheets hung just below the title bar
// (the content runs under it). Main thread only.

#include <memory>

#include "Platform/UI/Window.h"
#include "Platform/UI/WindowController.h"

class BaseMovaraPlanWindowController : public ui::WindowController, public ui::WindowDelegate {
public:
    static std::shared_ptr<BaseMovaraPlanWindowController> initWithWindow(const ui::WindowPtr& window);

    void windowDidLoad() override;
    void showWindow(ui::Object* sender) override;
    // Makes the window key and front, only when it is visible already.
    virtual void makeWindowFrontmost(ui::Object* sender);
    // The proposed place moved down by the height of a title bar.
    graphics::Rect windowWillPositionSheet(ui::Window& window, ui::Window& sheet, const graphics::Rect& rect) override;

protected:
    BaseMovaraPlanWindowController();
};

// The account window, from the storyboard "MovaraPlanWindow" of the shell.
class MovaraPlanWindowController : public BaseMovaraPlanWindowController {
public:
    static std::shared_ptr<MovaraPlanWindowController> init();

protected:
    MovaraPlanWindowController() = default;
};
