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

namespace {

using namespace desktoptest;

// Whether the middle of the window shows the flat grey of the photos (the preview is built and
// plays in it), rather than the drop view or the progress display.
bool showsGrey(const fs::path& shot, int grey)
{
    const auto look = capture("convert '" + shot.string() + "' -gravity center -crop 40x40+0+0 +repage -colorspace gray"
                              " -format '%[fx:mean*255] %[fx:standard_deviation*255]' info:");
    double mean = 0, spread = 255;
    std::istringstream(look) >> mean >> spread;
    return std::abs(mean - grey) < 12 && spread < 3;
}

TEST_F(Desktop, ALaterLaunchHandsItsPhotosToTheRunningQuintorAndEnds)
{
    photos({200, 200, 200});
    // Each launch keeps its output in a folder of its own.
    auto folder = [&](const std::string& name) {
        fs::create_directories(m_dir / name);
        return m_dir / name;
    };
    DesktopProgram running(m_dir.path(), {"--window"});
    ASSERT_TRUE(running.started());
    const std::string window = mainWindow(running);
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(xdotool("getwindowpid " + window), std::to_string(running.pid()));

    // A plain launch brings the running one forward and ends.
    {
        DesktopProgram again(folder("again"), {});
        EXPECT_EQ(again.waitForExit(60), 0) << again.log();
    }
    EXPECT_EQ(windowsNamed("Quintor").size(), 1u);

    // The file manager's "Open With": the photos go to the running window.
    {
        DesktopProgram open(folder("open"), {"--window", (m_dir / "photos").string()});
        EXPECT_EQ(open.waitForExit(60), 0) << open.log();
    }
    EXPECT_FALSE(running.waitForExit(0).has_value()) << running.log();
    const auto windows = windowsNamed("Quintor");
    ASSERT_EQ(windows.size(), 1u) << running.log();
    EXPECT_EQ(windows.front(), window);
    EXPECT_TRUE(waitFor([&] { return showsGrey(screenshot(window, "photos"), 200); }, 60))
        << running.log();

    // An export from a terminal is the terminal's: it runs on its own and writes its movie.
    {
        DesktopProgram exporting(folder("export"), {"--export", (m_dir / "out.mp4").string(), (m_dir / "photos").string()});
        EXPECT_EQ(exporting.waitForExit(120), 0) << exporting.log();
    }
    EXPECT_EQ(mainwindowtest::readMovie(m_dir / "out.mp4").greys.size(), 3u);
    EXPECT_EQ(windowsNamed("Quintor").size(), 1u);

    running.terminate();
    EXPECT_EQ(running.waitForExit(60), 0) << running.log();
}

} // namespace
