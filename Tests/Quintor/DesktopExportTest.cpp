// The application on a display while it exports: leaving it midway asks first, and whatever
// the answer no unfinished movie is left beside the user's files; the save panel's replace
// question is about the file that is then written.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "Tests/Quintor/DesktopTestSupport.h"

namespace {

using namespace desktoptest;

class DesktopExport : public Desktop {
protected:
    // How long the program may take to show what the test waits for, however busy the machine:
    // a bound for a program that never shows it, not a time a test spends when it does.
    static constexpr double kPatience = 240;

    // The main window's frame height, laid out here as on screen.
    static double frameHeight()
    {
        static const double height = [] {
            mainwindowtest::Harness h;
            return h.controller->window()->frame().height();
        }();
        return height;
    }

    // Photos of noise that take a few seconds to export: five pictures, repeated in turn. The
    // encoder finds nothing of one in the frames it keeps to predict from, so every frame costs
    // it as much as the first, where copies of one picture would cost nothing after it; the
    // preview, which is small, costs little more either way.
    void noisyPhotos(int count)
    {
        const fs::path folder = m_dir / "photos";
        fs::create_directories(folder);
        capture("convert -size 1920x1080 xc:gray -duplicate 4 +noise Random -quality 92 '" + (folder / "noise_%d.jpg").string()
                + "' 2>/dev/null");
        for (int i = 1; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%03d.jpg", i);
            fs::copy_file(folder / ("noise_" + std::to_string((i - 1) % 5) + ".jpg"), folder / name);
        }
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(fs::remove(folder / ("noise_" + std::to_string(i) + ".jpg")));
    }

    // Waits until the player shows the photos: noise (a wide spread of greys) in a corner where
    // the other views are plain, or one flat grey.
    void waitForPreview(DesktopProgram& program, const std::string& window, std::optional<int> flatGrey = std::nullopt)
    {
        const int menu = menuBarHeight(window, frameHeight());
        const fs::path corner = m_dir / "corner.png";
        // Small photos fill the player's height only: a flat grey is looked for in its middle.
        const std::string crop = flatGrey ? "40x40+340+" + std::to_string(menu + int(frameHeight()) - 315)
                                          : "60x60+40+" + std::to_string(menu + int(frameHeight()) - 200);
        ASSERT_TRUE(waitFor([&] {
            capture("import -window " + window + " -crop " + crop + " +repage '" + corner.string() + "' 2>/dev/null");
            double mean = 0, spread = 0;
            std::istringstream(capture("convert '" + corner.string()
                                       + "' -colorspace gray -format '%[fx:mean*255] %[fx:standard_deviation*255]' info:"))
                >> mean >> spread;
            return flatGrey ? std::abs(mean - *flatGrey) < 12 && spread < 4 : spread > 20;
        }, kPatience)) << "the preview did not play\n" << program.log();
    }

    // Export…, its settings taken as they are, up to the save panel's chooser.
    void openChooser(DesktopProgram& program, const std::string& window)
    {
        xdotool("windowfocus --sync " + window + " key ctrl+e");
        // Return takes the settings sheet's default, once the sheet is there: a Return that comes
        // before it presses Export… again, and a second sheet would wait behind the first.
        ASSERT_TRUE(waitForSheet(window)) << "no settings sheet\n" << program.log();
        xdotool("windowfocus --sync " + window + " key Return");
        waitForChooser(program, window);
    }

    // Whether a sheet hangs in the window: its default button (and an alert's icon) are the only
    // saturated blue in the top of the window, where the preview and the progress are not.
    // Counted with whole-picture operations (blue high, red and green low), which take a few
    // hundredths of a second where a per-pixel expression takes seconds on a busy machine.
    bool sheetShown(const std::string& window)
    {
        const fs::path shot = screenshot(window, "sheet-probe");
        const std::string blue = trimmed(capture(
            "convert '" + shot.string() + "' -crop 720x260+0+40 +repage"
            " \\( -clone 0 -channel B -separate +channel -threshold 80% \\)"
            " \\( -clone 0 -channel R -separate +channel -negate -threshold 75% \\)"
            " \\( -clone 0 -channel G -separate +channel -negate -threshold 35% \\)"
            " -delete 0 -evaluate-sequence min -format '%[fx:mean*w*h]' info: 2>/dev/null"));
        return std::atof(blue.c_str()) > 300;
    }

    bool waitForSheet(const std::string& window) { return waitFor([&] { return sheetShown(window); }, kPatience); }

    // The chooser is on screen and takes the keys typed: the keyboard's focus is in it.
    void waitForChooser(DesktopProgram& program, const std::string& window)
    {
        std::string chooser;
        ASSERT_TRUE(waitFor([&] { return !(chooser = otherWindow(window)).empty(); }, kPatience)) << "no chooser\n" << program.log();
        ASSERT_TRUE(waitFor([&] { return xdotool("getwindowfocus") == chooser; }, kPatience))
            << "the chooser does not take the keyboard\n" << program.log();
    }

    // Types `path` as the name the chooser saves under and accepts it.
    void typeIntoChooser(const std::string& path)
    {
        xdotool("key ctrl+a");
        xdotool("type --delay 10 '" + path + "'");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        xdotool("key Return");
    }

    // Export… on the program's photos of noise, once their preview plays, into `output`.
    void startExport(DesktopProgram& program, const std::string& window, const fs::path& output)
    {
        waitForPreview(program, window);
        openChooser(program, window);
        typeIntoChooser(output.string());
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
    // Long enough that the export still runs once the question is up and answered, however
    // slowly a busy machine draws it.
    noisyPhotos(90);
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    const fs::path output = out / "timelapse.mp4";
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    startExport(program, window, output);
    ASSERT_TRUE(waitFor([&] { return !unfinished(out).empty(); }, kPatience)) << "the export did not start\n" << program.log();

    // Control+Q asks first: the program stays, and so does its export.
    xdotool("windowfocus --sync " + window + " key ctrl+q");
    ASSERT_FALSE(program.waitForExit(0.7)) << "quit without asking\n" << program.log();
    ASSERT_TRUE(waitForSheet(window)) << "no question\n" << program.log();
    screenshot(window, "asked");
    EXPECT_FALSE(unfinished(out).empty()) << "the export was stopped before the answer";

    // Return: stop and quit. The export ends and its unfinished movie goes with it.
    xdotool("windowfocus --sync " + window + " key Return");
    EXPECT_EQ(program.waitForExit(kPatience), 0) << program.log();
    EXPECT_TRUE(unfinished(out).empty());
    EXPECT_FALSE(fs::exists(output)) << capture("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames '" + output.string() + "' 2>&1") << program.log();
}

TEST_F(DesktopExport, ClosingTheWindowMidwayAsksAndKeepingOnFinishesTheMovie)
{
    constexpr int count = 48;
    noisyPhotos(count);
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    const fs::path output = out / "timelapse.mp4";
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    startExport(program, window, output);
    ASSERT_TRUE(waitFor([&] { return !unfinished(out).empty(); }, kPatience)) << "the export did not start\n" << program.log();

    // The title bar's close button: the window stays while the question is up.
    const int menu = menuBarHeight(window, frameHeight());
    xdotool("mousemove --window " + window + " 20 " + std::to_string(menu + 14));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    xdotool("click 1");
    ASSERT_FALSE(program.waitForExit(0.7)) << "closed without asking\n" << program.log();
    ASSERT_TRUE(waitForSheet(window)) << "no question\n" << program.log();
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
    }, kPatience)) << program.log();
    EXPECT_EQ(movie.greys.size(), size_t(count));
    EXPECT_FALSE(program.waitForExit(0.5));
    xdotool("windowfocus --sync " + window + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(kPatience), 0) << program.log();
}

TEST_F(DesktopExport, ANameCorrectedToTheMoviesExtensionIsAskedAboutBeforeItIsReplaced)
{
    photos({200, 200, 200});
    const fs::path out = m_dir / "out";
    fs::create_directories(out);
    auto keepsake = [&](const std::string& name) {
        std::ofstream(out / name) << "the user's own " << name;
        return out / name;
    };
    auto contents = [](const fs::path& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const fs::path noext = keepsake("noext.mp4");
    const fs::path wrong = keepsake("wrong.mov.mp4");
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    waitForPreview(program, window, 200);

    // "noext" is saved as "noext.mp4", which exists: the question comes before anything is
    // written, and Escape (Cancel) goes back to the chooser with the name as it would be saved.
    openChooser(program, window);
    typeIntoChooser((out / "noext").string());
    EXPECT_FALSE(waitFor([&] { return contents(noext) != "the user's own noext.mp4"; }, 3)) << "replaced without asking";
    EXPECT_TRUE(otherWindow(window).empty()) << "the chooser is still up";
    screenshot(window, "replace-question");
    xdotool("windowfocus --sync " + window + " key Escape");
    waitForChooser(program, window);
    xdotool("key Escape");
    ASSERT_TRUE(waitFor([&] { return otherWindow(window).empty(); }, kPatience));
    EXPECT_EQ(contents(noext), "the user's own noext.mp4");

    // "wrong.mov" is saved as "wrong.mov.mp4": asked about, and Return replaces it with the movie.
    openChooser(program, window);
    typeIntoChooser((out / "wrong.mov").string());
    EXPECT_FALSE(waitFor([&] { return contents(wrong) != "the user's own wrong.mov.mp4"; }, 3)) << "replaced without asking";
    xdotool("windowfocus --sync " + window + " key Return");
    mainwindowtest::Movie movie;
    EXPECT_TRUE(waitFor([&] {
        movie = mainwindowtest::readMovie(wrong);
        return !movie.greys.empty();
    }, kPatience)) << program.log();
    EXPECT_EQ(movie.greys.size(), 3u);
    EXPECT_FALSE(fs::exists(out / "wrong.mov"));
    EXPECT_EQ(contents(noext), "the user's own noext.mp4");

    xdotool("windowfocus --sync " + window + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(kPatience), 0) << program.log();
}

} // namespace
