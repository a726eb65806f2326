// The application on a display: what it shows, and the main job done with the pointer, the
// keyboard and a drop from another application.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>

#include "Platform/UI/Button.h"
#include "Quintor/MainWindowController.h"
#include "Quintor/TrimTrackView.h"
#include "Tests/Quintor/DesktopTestSupport.h"

namespace {

using namespace desktoptest;

TEST_F(Desktop, TheWindowShowsWhatTheSnapshotShowsAndQuitsFromItsMenu)
{
    // One grey throughout: the playing preview looks the same whatever frame it is on.
    photos({128, 128, 128, 128});
    const fs::path folder = m_dir / "photos";
    const fs::path snapshot = m_dir / "snapshot.png";
    {
        DesktopProgram headless(m_dir.path(), {"--snapshot", snapshot.string(), folder.string()});
        ASSERT_EQ(headless.waitForExit(120), 0) << headless.log();
    }
    // The snapshot is drawn at twice the pixels; the virtual display has one per point. Both
    // are looked at in a quarter of that, where the edges that each resolution smooths its own
    // way no longer count and a shift of a few points still does.
    const Size snapshotSize = imageSize(snapshot);
    const Size size {snapshotSize.width / 2, snapshotSize.height / 2};
    ASSERT_GT(size.width, 0);
    const fs::path expected = m_dir / "expected.png";
    capture("convert '" + snapshot.string() + "' -resize 12.5% '" + expected.string() + "'");

    DesktopProgram program(m_dir.path(), {"--window", folder.string()});
    ASSERT_TRUE(program.started());
    const std::string window = mainWindow(program);
    ASSERT_FALSE(window.empty());
    // The window settles once the preview is built and plays.
    double best = 1.0;
    fs::path shot;
    waitFor([&] {
        shot = windowContent(screenshot(window, "screen"), size);
        capture("convert '" + shot.string() + "' -resize 25% '" + shot.string() + "'");
        best = std::min(best, difference(shot, expected));
        return best < 0.02;
    }, 60);
    EXPECT_LT(best, 0.02) << "the window on screen differs from the snapshot\n" << program.log();

    // Quintor > Quit Quintor, with the pointer and the menu's own keys.
    const int menu = menuBarHeight(window, size.height);
    ASSERT_GT(menu, 0);
    xdotool("mousemove --window " + window + " 20 " + std::to_string(menu / 2) + " click 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    xdotool("key Up");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    xdotool("key Return");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
    EXPECT_TRUE(windowsNamed("Quintor").empty());
}

TEST_F(Desktop, TrimPlayTypeASpeedAndExportWithThePointerAndKeys)
{
    const std::vector<int> greys {30, 60, 90, 120, 150, 180, 210, 240};
    const auto urls = photos(greys);

    // Where things are: the same interface laid out here, headless.
    mainwindowtest::Harness h;
    h.add(urls);
    auto window = h.controller->window();
    const double height = window->frame().height();
    auto track = h.controller->trimTrackView();
    const auto trackRect = track->convertRectToView(track->bounds(), nullptr);
    std::shared_ptr<ui::Button> playPause;
    std::function<void(const ui::ViewPtr&)> find = [&](const ui::ViewPtr& v) {
        if (auto b = std::dynamic_pointer_cast<ui::Button>(v); b && b->action() == "togglePlayPause:")
            playPause = b;
        for (const auto& sub : v->subviews())
            find(sub);
    };
    find(h.content());
    ASSERT_TRUE(playPause);
    const auto playRect = playPause->convertRectToView(playPause->bounds(), nullptr);
    const auto exportRect = h.controller->exportButton()->convertRectToView(h.controller->exportButton()->bounds(), nullptr);
    auto fpsField = h.controller->fpsTextField();
    const auto fpsRect = fpsField->convertRectToView(fpsField->bounds(), nullptr);
    const auto playerRect = h.controller->previewController()->playerView()->convertRectToView(
        h.controller->previewController()->playerView()->bounds(), nullptr);

    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());
    const int menu = menuBarHeight(id, height);
    // Screen coordinates in the GTK window of a point of our window.
    auto at = [&](double x, double y) {
        return std::to_string(int(x)) + " " + std::to_string(int(menu + height - y));
    };
    auto playerPicture = [&](const std::string& name) {
        const fs::path shot = screenshot(id, name);
        const fs::path out = m_dir / (name + "-player.png");
        capture("convert '" + shot.string() + "' -crop " + std::to_string(int(playerRect.width())) + "x"
                + std::to_string(int(playerRect.height())) + "+" + std::to_string(int(playerRect.minX())) + "+"
                + std::to_string(int(menu + height - playerRect.maxY())) + " +repage '" + out.string() + "'");
        return out;
    };
    // The preview is built once the middle of the player shows a photo's flat grey (not the
    // drop view, nor the progress display's flip-book).
    ASSERT_TRUE(waitFor([&] {
        const auto look = capture("convert '" + playerPicture("wait").string()
                                  + "' -gravity center -crop 40x40+0+0 +repage -colorspace gray"
                                    " -format '%[fx:mean*255] %[fx:standard_deviation*255]' info:");
        double mean = 0, spread = 255;
        std::istringstream(look) >> mean >> spread;
        return mean > 20 && spread < 3;
    }, 60)) << program.log();

    // The preview plays: the picture changes.
    auto changes = [&](int looks) {
        fs::path first = playerPicture("look0");
        for (int i = 1; i < looks; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            if (difference(first, playerPicture("look" + std::to_string(i))) > 0.01)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(changes(12));
    // Play/Pause stops it.
    xdotool("mousemove --window " + id + " " + at(playRect.midX(), playRect.midY()) + " click 1");
    // (A busy machine may take a moment to handle the click.)
    EXPECT_TRUE(waitFor([&] { return !changes(6); }, 20));

    // The start knob dragged to the middle of the track.
    const double knobY = trackRect.midY();
    xdotool("mousemove --window " + id + " " + at(trackRect.minX() + 4, knobY) + " mousedown 1");
    for (int step = 1; step <= 10; ++step)
        xdotool("mousemove --window " + id + " " + at(trackRect.minX() + 4 + (trackRect.width() / 2) * step / 10, knobY));
    xdotool("mouseup 1");

    // A speed of 12 photos a second typed into the rate field (what it showed erased first).
    xdotool("mousemove --window " + id + " " + at(fpsRect.midX(), fpsRect.midY()) + " click 1");
    xdotool("key BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace");
    xdotool("type 12");
    xdotool("key Return");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Export…, the settings sheet answered with Return (its default button), then the chooser.
    const fs::path output = m_dir / "timelapse.mp4";
    xdotool("mousemove --window " + id + " " + at(exportRect.midX(), exportRect.midY()) + " click 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    xdotool("key Return");
    std::string chooser;
    ASSERT_TRUE(waitFor([&] {
        std::istringstream in(xdotool("search --onlyvisible --name ."));
        for (std::string w; std::getline(in, w);)
            if (!w.empty() && w != id && xdotool("getwindowname " + w) != "Quintor")
                chooser = w;
        return !chooser.empty();
    }, 30)) << program.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    xdotool("key ctrl+a");
    xdotool("type --delay 10 '" + output.string() + "'");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    xdotool("key Return");

    mainwindowtest::Movie movie;
    ASSERT_TRUE(waitFor([&] {
        std::error_code ec;
        if (!fs::exists(output, ec))
            return false;
        movie = mainwindowtest::readMovie(output);
        return !movie.greys.empty();
    }, 120)) << program.log();
    // Only the second half of the photos, in order.
    ASSERT_GE(movie.greys.size(), 2u);
    EXPECT_LT(movie.greys.size(), greys.size());
    EXPECT_GT(movie.greys.front(), greys[2]);
    EXPECT_NEAR(movie.greys.back(), greys.back(), 8);
    EXPECT_EQ(movie.width, 64);
    EXPECT_EQ(movie.frameRate, "12/1");

    // Control+Q quits, the movie whole.
    xdotool("key ctrl+q");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
    EXPECT_EQ(mainwindowtest::readMovie(output).greys, movie.greys);
}

// The share of one processor the program uses over `seconds` of the wall clock.
double processorShare(const DesktopProgram& program, double seconds)
{
    const long before = program.cpuTicks();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long after = program.cpuTicks();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return double(after - before) / double(::sysconf(_SC_CLK_TCK)) / elapsed;
}

// Where the main window's controls are: the same interface laid out here, headless.
struct Layout {
    double height = 0;
    graphics::Rect playPause;
    graphics::Rect player;
    graphics::Rect fps;
    // The view that Tab moves the keys to from the rate field.
    graphics::Rect afterFps;

    Layout()
    {
        mainwindowtest::Harness h;
        height = h.controller->window()->frame().height();
        std::function<void(const ui::ViewPtr&)> find = [&](const ui::ViewPtr& v) {
            if (auto b = std::dynamic_pointer_cast<ui::Button>(v); b && b->action() == "togglePlayPause:")
                playPause = b->convertRectToView(b->bounds(), nullptr);
            for (const auto& sub : v->subviews())
                find(sub);
        };
        find(h.controller->editView());
        auto view = h.controller->previewController()->playerView();
        player = view->convertRectToView(view->bounds(), nullptr);
        auto field = h.controller->fpsTextField();
        fps = field->convertRectToView(field->bounds(), nullptr);
        if (auto next = field->nextValidKeyView())
            afterFps = next->convertRectToView(next->bounds(), nullptr);
    }
};

TEST_F(Desktop, TheProgramSleepsWhileNothingOnScreenChanges)
{
    // The window without photos: nothing moves, so the program waits for the person.
    {
        DesktopProgram program(m_dir.path(), {"--window"});
        ASSERT_TRUE(program.started());
        const std::string id = mainWindow(program);
        ASSERT_FALSE(id.empty());
        xdotool("mousemove 1200 1000");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double share = processorShare(program, 3);
        std::printf("empty window: %.1f%% of a processor\n", share * 100);
        EXPECT_LT(share, 0.10) << "busy with nothing to show";
        program.terminate();
        EXPECT_EQ(program.waitForExit(60), 0) << program.log();
    }

    // The preview of photos, paused.
    const Layout layout;
    ASSERT_GT(layout.playPause.width(), 0);
    photos({100, 100, 100, 100, 100, 100});
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());
    const int menu = menuBarHeight(id, layout.height);
    const fs::path middle = m_dir / "middle.png";
    ASSERT_TRUE(waitFor([&] {
        capture("import -window " + id + " -crop 40x40+" + std::to_string(int(layout.player.midX()) - 20) + "+"
                + std::to_string(menu + int(layout.height - layout.player.midY()) - 20) + " +repage '" + middle.string()
                + "' 2>/dev/null");
        const double grey = std::atof(capture("convert '" + middle.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str());
        return std::abs(grey - 100) < 10;
    }, 60)) << "no preview\n" << program.log();
    std::printf("playing: %.1f%% of a processor\n", processorShare(program, 2) * 100);
    xdotool("mousemove --window " + id + " " + std::to_string(int(layout.playPause.midX())) + " "
            + std::to_string(int(menu + layout.height - layout.playPause.midY())) + " click 1");
    xdotool("mousemove 1200 1000");
    // Paused once the program has calmed down; a busy machine may take a moment to get there.
    double share = 1;
    waitFor([&] {
        share = processorShare(program, 3);
        return share < 0.10;
    }, 30);
    std::printf("paused: %.1f%% of a processor\n", share * 100);
    EXPECT_LT(share, 0.10) << "busy with a paused preview";
    program.terminate();
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

// Openbox managing the display for as long as it lives, in a home of its own.
class Openbox {
public:
    explicit Openbox(const fs::path& home)
    {
        fs::create_directories(home);
        const std::string homeVar = "HOME=" + home.string();
        const std::string display = std::string("DISPLAY=") + std::getenv("DISPLAY");
        std::vector<std::string> environment {homeVar, display, "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (auto& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = "/usr/bin/openbox", noSession = "--sm-disable";
        char* argv[] = {program.data(), noSession.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0)
            m_pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        // Managing once it announces itself on the root window.
        m_running = m_pid > 0 && waitFor([] {
            return capture("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null").find("window id") != std::string::npos;
        }, 20);
    }
    ~Openbox()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        // The next test's display has no window manager.
        capture("xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null");
    }
    bool running() const { return m_running; }

private:
    pid_t m_pid = 0;
    bool m_running = false;
};

TEST_F(Desktop, ShortcutsWorkOnceAMenuIsClosedWithAndWithoutAWindowManager)
{
    photos({200, 200, 200});
    const Layout layout;
    for (const bool managed : {false, true}) {
        SCOPED_TRACE(managed ? "under openbox" : "on the bare display");
        std::optional<Openbox> openbox;
        if (managed) {
            if (!fs::exists("/usr/bin/openbox") || !hasTool("xprop")) {
                std::printf("openbox or xprop is not installed: only the bare display is tried\n");
                break;
            }
            openbox.emplace(m_dir / "openbox");
            ASSERT_TRUE(openbox->running());
        }
        DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
        ASSERT_TRUE(program.started());
        const std::string id = mainWindow(program);
        ASSERT_FALSE(id.empty());
        const int menu = menuBarHeight(id, layout.height);
        auto playerGrey = [&] {
            const fs::path middle = m_dir / "middle.png";
            capture("import -window " + id + " -crop 40x40+" + std::to_string(int(layout.player.midX()) - 20) + "+"
                    + std::to_string(menu + int(layout.height - layout.player.midY()) - 20) + " +repage '"
                    + middle.string() + "' 2>/dev/null");
            return std::atof(capture("convert '" + middle.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str());
        };
        ASSERT_TRUE(waitFor([&] { return std::abs(playerGrey() - 200) < 10; }, 60)) << "no preview\n" << program.log();

        // A menu of the menu bar opened with the pointer and closed with Escape: Control+Z
        // then undoes the photos' addition, and the window goes back to its empty state.
        xdotool("mousemove --window " + id + " 20 " + std::to_string(menu / 2) + " click 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        xdotool("key Escape");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        xdotool("key ctrl+z");
        EXPECT_TRUE(waitFor([&] { return std::abs(playerGrey() - 200) > 30; }, 20))
            << "Control+Z did nothing after the menu\n" << program.log();
        screenshot(id, managed ? "undone-openbox" : "undone");

        // Again, and Control+Q quits.
        xdotool("mousemove --window " + id + " 20 " + std::to_string(menu / 2) + " click 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        xdotool("key Escape");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        xdotool("key ctrl+q");
        EXPECT_EQ(program.waitForExit(20), 0) << "Control+Q did nothing after the menu\n" << program.log();
    }
}

TEST_F(Desktop, TheOpenPanelTakesAFolderOfPhotos)
{
    photos({200, 200, 200});
    const Layout layout;
    DesktopProgram program(m_dir.path(), {"--window"});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());
    auto chooser = [&] {
        std::istringstream in(xdotool("search --onlyvisible --name ."));
        for (std::string w; std::getline(in, w);)
            if (!w.empty() && w != id && xdotool("getwindowname " + w) != "Quintor")
                return w;
        return std::string();
    };
    // File > Open…: the chooser.
    ASSERT_TRUE(waitFor([&] {
        xdotool("windowfocus --sync " + id + " key ctrl+o");
        return waitFor([&] { return !chooser().empty(); }, 5);
    }, 30)) << "no chooser\n" << program.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot(chooser(), "chooser");

    // The folder named and opened: its photos become the sequence, and the chooser goes.
    xdotool("key ctrl+l");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    xdotool("type --delay 10 '" + (m_dir / "photos").string() + "'");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    xdotool("key Return");
    EXPECT_TRUE(waitFor([&] { return chooser().empty(); }, 10)) << "the chooser went into the folder instead";
    const int menu = menuBarHeight(id, layout.height);
    const fs::path middle = m_dir / "middle.png";
    EXPECT_TRUE(waitFor([&] {
        capture("import -window " + id + " -crop 40x40+" + std::to_string(int(layout.player.midX()) - 20) + "+"
                + std::to_string(menu + int(layout.height - layout.player.midY()) - 20) + " +repage '" + middle.string()
                + "' 2>/dev/null");
        const double grey = std::atof(capture("convert '" + middle.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str());
        return std::abs(grey - 200) < 10;
    }, 60)) << "the folder's photos are not shown\n" << program.log();
    if (const auto left = chooser(); !left.empty())
        xdotool("windowfocus --sync " + left + " key Escape");
    xdotool("windowfocus --sync " + id + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

TEST_F(Desktop, TheViewTakingTheKeysShowsItWithARingAndAFieldWithACaret)
{
    photos({90, 90, 90});
    const Layout layout;
    ASSERT_GT(layout.fps.width(), 0);
    ASSERT_GT(layout.afterFps.width(), 0) << "Tab leads nowhere from the rate field";
    DesktopProgram program(m_dir.path(), {"--window", (m_dir / "photos").string()});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());
    const int menu = menuBarHeight(id, layout.height);
    // A view's place on screen with a margin for its ring.
    int shots = 0;
    auto look = [&](const graphics::Rect& r) {
        const fs::path out = m_dir / ("field" + std::to_string(shots++) + ".png");
        capture("import -window " + id + " -crop " + std::to_string(int(r.width()) + 10) + "x" + std::to_string(int(r.height()) + 10)
                + "+" + std::to_string(int(r.minX()) - 5) + "+" + std::to_string(menu + int(layout.height - r.maxY()) - 5)
                + " +repage '" + out.string() + "' 2>/dev/null");
        return out;
    };
    // Once the photos are in, the rate field shows their rate.
    ASSERT_TRUE(waitFor([&] {
        const fs::path middle = look(graphics::Rect::make(layout.player.midX() - 20, layout.player.midY() - 20, 30, 30));
        return std::abs(std::atof(capture("convert '" + middle.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str()) - 90) < 10;
    }, 60)) << program.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const fs::path fpsBefore = look(layout.fps), nextBefore = look(layout.afterFps);

    // A click in the rate field: its ring and caret show.
    xdotool("mousemove --window " + id + " " + std::to_string(int(layout.fps.midX())) + " "
            + std::to_string(int(menu + layout.height - layout.fps.midY())) + " click 1");
    xdotool("mousemove 1200 1000");
    EXPECT_TRUE(waitFor([&] { return difference(fpsBefore, look(layout.fps)) > 0.03; }, 10)) << "the field looks as before";
    screenshot(id, "editing");
    // Tab: the next view takes the keys and shows it; the rate field looks as it did.
    xdotool("key Tab");
    EXPECT_TRUE(waitFor([&] { return difference(nextBefore, look(layout.afterFps)) > 0.03; }, 10))
        << "Tab moved the keys without showing where";
    EXPECT_TRUE(waitFor([&] { return difference(fpsBefore, look(layout.fps)) < 0.01; }, 10));
    screenshot(id, "tabbed");

    xdotool("windowfocus --sync " + id + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

TEST_F(Desktop, TheWindowCarriesTheApplicationsIconAndGtksMenusAreDarkAsTheWindowIs)
{
    if (!hasTool("xprop"))
        GTEST_SKIP() << "xprop is not installed";
    DesktopProgram program(m_dir.path(), {"--window"});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());
    // The icon the desktop shows in its task list and window switcher.
    EXPECT_TRUE(waitFor([&] {
        return capture("xprop -id " + id + " _NET_WM_ICON 2>/dev/null | head -c 200").find("_NET_WM_ICON(CARDINAL)") != std::string::npos;
    }, 10)) << capture("xprop -id " + id + " _NET_WM_ICON 2>&1 | head -c 200");

    // The application menu, drawn by GTK below the menu bar, is as dark as the window.
    const int menu = menuBarHeight(id, Layout().height);
    xdotool("mousemove --window " + id + " 20 " + std::to_string(menu / 2) + " click 1");
    xdotool("mousemove --window " + id + " 300 " + std::to_string(menu / 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    std::istringstream in(xdotool("getwindowgeometry --shell " + id));
    int x = 0, y = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("X=", 0) == 0)
            x = std::atoi(line.c_str() + 2);
        if (line.rfind("Y=", 0) == 0)
            y = std::atoi(line.c_str() + 2);
    }
    const fs::path shot = m_dir / "menu.png";
    capture("import -window root -crop 120x60+" + std::to_string(x + 10) + "+" + std::to_string(y + menu + 8) + " +repage '"
            + shot.string() + "' 2>/dev/null");
    if (const char* keep = std::getenv("QUINTOR_SCREENSHOT_DIR"); keep && *keep)
        fs::copy_file(shot, fs::path(keep) / "menu.png", fs::copy_options::overwrite_existing);
    const double grey = std::atof(capture("convert '" + shot.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str());
    EXPECT_LT(grey, 100) << "a light menu over the dark window";
    xdotool("key Escape");
    program.terminate();
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

// A window of this process offering files to drag, as a file manager does.
class DragSource {
public:
    explicit DragSource(const std::vector<foundation::URL>& files)
    {
        gtk_init();
        m_window = gtk_window_new();
        gtk_window_set_title(GTK_WINDOW(m_window), "Files to drop");
        gtk_window_set_default_size(GTK_WINDOW(m_window), 200, 120);
        GtkWidget* label = gtk_label_new("photos");
        gtk_window_set_child(GTK_WINDOW(m_window), label);
        GSList* list = nullptr;
        for (auto it = files.rbegin(); it != files.rend(); ++it)
            list = g_slist_prepend(list, g_file_new_for_path(it->path().c_str()));
        GdkContentProvider* content = gdk_content_provider_new_typed(GDK_TYPE_FILE_LIST, list);
        g_slist_free_full(list, g_object_unref);
        GtkDragSource* source = gtk_drag_source_new();
        gtk_drag_source_set_content(source, content);
        gtk_drag_source_set_actions(source, GDK_ACTION_COPY);
        g_object_unref(content);
        gtk_widget_add_controller(label, GTK_EVENT_CONTROLLER(source));
        gtk_window_present(GTK_WINDOW(m_window));
    }
    ~DragSource()
    {
        gtk_window_destroy(GTK_WINDOW(m_window));
        pump(100);
    }
    // Lets GTK answer the display for a while (the drag's messages go through this process).
    static void pump(int milliseconds)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < end) {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    GtkWidget* m_window = nullptr;
};

TEST_F(Desktop, FilesDroppedFromAnotherApplicationReachTheSequence)
{
    const auto urls = photos({200, 200, 200});
    DesktopProgram program(m_dir.path(), {"--window"});
    ASSERT_TRUE(program.started());
    const std::string id = mainWindow(program);
    ASSERT_FALSE(id.empty());

    DragSource source(urls);
    std::string sourceId;
    ASSERT_TRUE(waitFor([&] {
        DragSource::pump(50);
        auto ids = windowsNamed("Files to drop");
        if (!ids.empty())
            sourceId = ids.front();
        return !sourceId.empty();
    }, 20));
    // Side by side: nothing arranges windows on a bare display.
    xdotool("windowmove " + sourceId + " 900 100");
    DragSource::pump(300);

    // Pressed on the files, dragged over the window's middle in small steps, let go.
    xdotool("mousemove --window " + sourceId + " 100 60 mousedown 1");
    DragSource::pump(100);
    std::istringstream in(xdotool("getwindowgeometry --shell " + id));
    int width = 0, height = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("WIDTH=", 0) == 0)
            width = std::atoi(line.c_str() + 6);
        if (line.rfind("HEIGHT=", 0) == 0)
            height = std::atoi(line.c_str() + 7);
    }
    const int fromX = 1000, fromY = 160, toX = width / 2, toY = height / 2;
    for (int step = 1; step <= 20; ++step) {
        xdotool("mousemove " + std::to_string(fromX + (toX - fromX) * step / 20) + " "
                + std::to_string(fromY + (toY - fromY) * step / 20));
        DragSource::pump(40);
    }
    DragSource::pump(300);
    xdotool("mouseup 1");

    // The photos became the sequence: its preview shows their grey.
    const fs::path shot = m_dir / "dropped.png";
    EXPECT_TRUE(waitFor([&] {
        DragSource::pump(100);
        capture("import -window " + id + " -crop 100x100+" + std::to_string(toX - 50) + "+" + std::to_string(toY - 50)
                + " '" + shot.string() + "' 2>/dev/null");
        const double grey = std::atof(capture("convert '" + shot.string() + "' -colorspace gray -format '%[fx:mean*255]' info:").c_str());
        return std::abs(grey - 200) < 12;
    }, 60)) << program.log();
    xdotool("windowfocus --sync " + id + " key ctrl+q");
    EXPECT_EQ(program.waitForExit(60), 0) << program.log();
}

} // namespace
