// The application on a display at launch and in its application menu: the About window, and
// the windows a launch brings up in front of the photos the user opened.
#include <gtest/gtest.h>

#include "Tests/Quintor/DesktopTestSupport.h"

namespace {

using namespace desktoptest;

TEST_F(Desktop, AboutQuintorShowsAWindowWithTheApplicationsIconNameVersionAndCredits)
{
    DesktopProgram program(m_dir.path(), {"--window"});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());

    // Quintor > About Quintor, the first item of the menu, which the opened menu offers first.
    std::string about;
    ASSERT_TRUE(waitFor([&] {
        xdotool("mousemove --window " + window + " 20 10 click 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        xdotool("key Return");
        return waitFor([&] {
            auto ids = windowsNamed("About Quintor");
            if (!ids.empty())
                about = ids.front();
            return !about.empty();
        }, 3);
    }, 30)) << program.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const fs::path shot = screenshot(about, "about");
    const Size size = imageSize(shot);
    EXPECT_GT(size.width, 200);
    EXPECT_GT(size.height, 250);
    // The icon is drawn in colour at the top; the rest is text on the panel's plain ground.
    const double colour = std::atof(capture("convert '" + shot.string() + "' -crop " + std::to_string(size.width) + "x140+0+20 +repage "
                                            "-colorspace HSL -channel G -separate -format '%[fx:maxima*255]' info:").c_str());
    EXPECT_GT(colour, 60) << "no icon";

    program.terminate();
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

} // namespace
