// The application on a display: what it shows, and the main job done with the pointer, the
// keyboard and a drop from another application.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

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
