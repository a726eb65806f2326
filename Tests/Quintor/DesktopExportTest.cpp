// The application on a display while it exports: leaving it midway asks first, and whatever
// the answer no unfinished movie is left beside the user's files; the save panel's replace
// question is about the file that is then written.
#include <gtest/gtest.h>

#include "Tests/Quintor/DesktopTestSupport.h"

namespace {

using namespace desktoptest;

class DesktopExport : public Desktop {
protected:
    // The main window's frame height, laid out here as on screen.
    static double frameHeight()
    {
        static const double height = [] {
            mainwindowtest::Harness h;
            return h.controller->window()->frame().height();
        }();
        return height;
    }

    // Photos of noise, large enough that their export takes a few seconds: one picture, copied.
    void noisyPhotos(int count)
    {
        fs::create_directories(m_dir / "photos");
        const fs::path first = m_dir / "photos" / "IMG_001.jpg";
        capture("convert -size 1920x1080 xc:gray +noise Random -quality 92 '" + first.string() + "' 2>/dev/null");
        ASSERT_TRUE(fs::is_regular_file(first));
        for (int i = 2; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%03d.jpg", i);
            fs::copy_file(first, m_dir / "photos" / name);
        }
    }

    // Export… on the program's photos, once their preview plays, into `output`.
    void startExport(DesktopProgram& program, const std::string& window, const fs::path& output)
    {
        // The preview plays once a corner of the player, where the other views are plain,
        // shows the photos' noise.
        const int menu = menuBarHeight(window, frameHeight());
        const fs::path corner = m_dir / "corner.png";
        ASSERT_TRUE(waitFor([&] {
            capture("import -window " + window + " -crop 60x60+40+" + std::to_string(menu + int(frameHeight()) - 200) + " +repage '"
                    + corner.string() + "' 2>/dev/null");
            const double spread = std::atof(
                capture("convert '" + corner.string() + "' -colorspace gray -format '%[fx:standard_deviation*255]' info:").c_str());
            return spread > 20;
        }, 90)) << "the preview did not play\n" << program.log();
        xdotool("windowfocus --sync " + window + " key ctrl+e");
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        xdotool("key Return");
        std::string chooser;
        ASSERT_TRUE(waitFor([&] {
            chooser = otherWindow(window);
            return !chooser.empty();
        }, 30)) << program.log();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        xdotool("key ctrl+a");
        xdotool("type --delay 10 '" + output.string() + "'");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        xdotool("key Return");
    }

    // A visible top-level window other than `window` and other windows called "Quintor".
    std::string otherWindow(const std::string& window)
    {
        std::istringstream in(xdotool("search --onlyvisible --name ."));
        for (std::string w; std::getline(in, w);)
            if (!w.empty() && w != window && xdotool("getwindowname " + w) != "Quintor")
                return w;
        return {};
    }

    // Files of the folder that the movie writer keeps while it writes ("." name ".partial").
    static std::vector<fs::path> unfinished(const fs::path& folder)
    {
        std::vector<fs::path> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 8 && name.front() == '.' && name.substr(name.size() - 8) == ".partial")
                found.push_back(entry.path());
        }
        return found;
    }
};

TEST_F(DesktopExport, QuittingMidwayAsksAndStoppingLeavesNoUnfinishedMovie)
{
    noisyPhotos(80);
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    const fs::path output = out / "timelapse.mp4";
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    startExport(program, window, output);
    ASSERT_TRUE(waitFor([&] { return !unfinished(out).empty(); }, 60)) << "the export did not start\n" << program.log();

    // Control+Q asks first: the program stays, and so does its export.
    xdotool("windowfocus --sync " + window + " key ctrl+q");
    ASSERT_FALSE(program.waitForExit(0.7)) << "quit without asking\n" << program.log();
    screenshot(window, "asked");
    EXPECT_FALSE(unfinished(out).empty()) << "the export was stopped before the answer";

    // Return: stop and quit. The export ends and its unfinished movie goes with it.
    xdotool("windowfocus --sync " + window + " key Return");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
    EXPECT_TRUE(unfinished(out).empty());
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(DesktopExport, ClosingTheWindowMidwayAsksAndKeepingOnFinishesTheMovie)
{
    noisyPhotos(80);
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    const fs::path output = out / "timelapse.mp4";
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    startExport(program, window, output);
    ASSERT_TRUE(waitFor([&] { return !unfinished(out).empty(); }, 60)) << "the export did not start\n" << program.log();

    // The title bar's close button: the window stays while the question is up.
    const int menu = menuBarHeight(window, frameHeight());
    xdotool("mousemove --window " + window + " 20 " + std::to_string(menu + 14));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    xdotool("click 1");
    ASSERT_FALSE(program.waitForExit(0.7)) << "closed without asking\n" << program.log();
    screenshot(window, "asked");

    // Escape: keep exporting. The movie is finished whole and the program goes on.
    xdotool("windowfocus --sync " + window + " key Escape");
    mainwindowtest::Movie movie;
    ASSERT_TRUE(waitFor([&] {
        std::error_code ec;
        if (!fs::exists(output, ec) || !unfinished(out).empty())
            return false;
        movie = mainwindowtest::readMovie(output);
        return !movie.greys.empty();
    }, 120)) << program.log();
    EXPECT_EQ(movie.greys.size(), 80u);
    EXPECT_FALSE(program.waitForExit(0.5));
    xdotool("windowfocus --sync " + window + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

} // namespace
