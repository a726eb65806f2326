#pragma once
// A fixture that leaves the process-wide UI state as it found it (windows closed, no
// scripted responder, no delegate, no main menu) and small helpers that play the user.

#include <gtest/gtest.h>

#include <string>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

namespace uitest {

class UITest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dispatch::RunLoop::main().bindToCurrentThread();
        ui::Workspace::shared().clearRecordedCalls();
    }
    void TearDown() override
    {
        auto app = ui::Application::shared();
        for (const auto& w : app->windows())
            w->orderOut(nullptr);
        app->setDelegate(nullptr);
        app->setMainMenu(nullptr);
        ui::ScriptedResponder::uninstall();
        // Anything a test left on the main loop runs now, not in the next test.
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    static ui::WindowPtr makeWindow(double width = 300, double height = 200,
                                    unsigned long style = ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable)
    {
        return ui::Window::initWithContentRect(graphics::Rect::make(100, 100, width, height), style);
    }

    static void mouse(const ui::WindowPtr& w, ui::EventType type, double x, double y, long clicks = 1)
    {
        w->sendEvent(ui::Event::mouseEvent(type, {x, y}, w, clicks));
    }
    static void click(const ui::WindowPtr& w, double x, double y)
    {
        mouse(w, ui::EventType::leftMouseDown, x, y);
        mouse(w, ui::EventType::leftMouseUp, x, y);
    }
    static void key(const ui::WindowPtr& w, const std::string& characters, unsigned long modifiers = 0)
    {
        w->sendEvent(ui::Event::keyEvent(ui::EventType::keyDown, characters, w, 0, modifiers));
    }
    static bool runUntil(const std::function<bool()>& predicate)
    {
        return dispatch::RunLoop::main().runUntil(predicate, 5.0);
    }
};

} // namespace uitest
