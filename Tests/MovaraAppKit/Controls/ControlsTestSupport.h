#pragma once
// What the control tests share: a fixture that leaves the UI as it found it, a borderless
// window of a chosen look and scale to put one control in, and pixel reading in window
// points. Set QUINTOR_RENDER_DIR to keep the rendered pictures for a look.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

namespace controlstest {

struct Look {
    bool dark = false;
    double scale = 1;
    std::string name() const { return std::string(dark ? "dark" : "light") + (scale == 1 ? "@1x" : "@2x"); }
};
inline const Look allLooks[] = {{false, 1}, {false, 2}, {true, 1}, {true, 2}};

class ControlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dispatch::RunLoop::main().bindToCurrentThread();
        ui::Workspace::shared().setRecordsOnly(true);
        ui::Workspace::shared().clearRecordedCalls();
    }
    void TearDown() override
    {
        for (const auto& w : ui::Application::shared()->windows())
            w->orderOut(nullptr);
        ui::ScriptedResponder::uninstall();
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    static ui::WindowPtr windowWith(const ui::ViewPtr& view, double width, double height, Look look = {})
    {
        auto w = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, width, height), ui::WindowStyleMaskBorderless);
        w->setAppearance(look.dark ? ui::Appearance::darkAqua() : ui::Appearance::aqua());
        w->setBackingScaleFactor(look.scale);
        w->contentView()->addSubview(view);
        return w;
    }

    static graphics::ImagePtr render(const ui::WindowPtr& w, const std::string& name)
    {
        if (const char* dir = std::getenv("QUINTOR_RENDER_DIR"))
            w->renderToPNG(std::string(dir) + "/" + name + ".png");
        return w->renderImage();
    }

    // The pixel under the point (x, y) of the window (y up), in a picture at `scale`.
    static graphics::Image::RGBA8 pixel(const graphics::ImagePtr& image, double scale, double x, double y)
    {
        const auto px = static_cast<size_t>(std::floor(x * scale));
        const auto py = static_cast<size_t>(image->height() - 1 - static_cast<size_t>(std::floor(y * scale)));
        return image->pixelAt(px, py);
    }

    static void mouse(const ui::WindowPtr& w, ui::EventType type, double x, double y, long clicks = 1)
    {
        w->sendEvent(ui::Event::mouseEvent(type, {x, y}, w, clicks));
    }
};

// Components within `tolerance` of 0...255 values.
inline ::testing::AssertionResult colorNear(const graphics::Image::RGBA8& p, int r, int g, int b, int tolerance = 2)
{
    if (std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << int(p.r) << ", " << int(p.g) << ", " << int(p.b) << ", " << int(p.a)
                                         << ") is not near (" << r << ", " << g << ", " << b << ")";
}

} // namespace controlstest
