#pragma once
// A test with the desktop open, the clipboard bridged as the application bridges it, and another
// application (xclip) on the same display. Tests using it take the display's lock for their run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Gtk/ClipboardBridge.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Platform/UI/Pasteboard.h"
#include "Tests/Support/DesktopClipboard.h"
#include "Tests/Support/TempDir.h"

namespace testsupport {

class DesktopClipboardTest : public testing::Test {
protected:
    // The types of the application's own that the bridge offers under application/x- names.
    virtual std::vector<std::string> ownTypes() const { return {"com.movara.CanvasObject"}; }

    void SetUp() override
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display (scripts/test starts a virtual one)";
        if (!hasXclip())
            GTEST_SKIP() << "xclip is not installed";
        m_lock.emplace(display);
        ASSERT_TRUE(m_lock->held()) << "the display stayed busy";
        m_desktop = ui::GtkDesktop::open();
        ASSERT_TRUE(m_desktop);
        m_bridge = ui::ClipboardBridge::open(ownTypes());
        ASSERT_TRUE(m_bridge);
    }

    void TearDown() override
    {
        m_other.stopServing();
        m_bridge.reset();
        m_desktop.reset();
        ui::Pasteboard::generalPasteboard()->clearContents();
    }

    // The other application copies; true once the bridge has seen the clipboard change hands
    // (reading the pasteboard then waits for the data).
    bool copyThere(const std::string& target, const std::vector<uint8_t>& bytes)
    {
        auto general = ui::Pasteboard::generalPasteboard();
        auto& loop = dispatch::RunLoop::main();
        // The last copy's owner going away is a change of its own: the bridge sees it first, so
        // that the change waited for below is this copy's.
        if (m_other.serving()) {
            const long served = general->changeCount();
            m_other.stopServing();
            loop.runUntil([&] { return general->changeCount() != served; }, 1);
        }
        const long before = general->changeCount();
        return m_other.copy(target, bytes) && loop.runUntil([&] { return general->changeCount() != before; }, 20);
    }

    TempDir m_dir;
    std::optional<DisplayLock> m_lock;
    OtherApplication m_other {m_dir.path()};
    std::unique_ptr<ui::GtkDesktop> m_desktop;
    std::unique_ptr<ui::ClipboardBridge> m_bridge;
};

} // namespace testsupport
