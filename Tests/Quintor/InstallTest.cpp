// `cmake --install` of this build into a fresh prefix: the launcher and icon land where the
// desktop looks for them, and the installed program runs the main job from there, finding its
// libraries and resources without the build tree's help.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Tests/Quintor/MainWindowTestSupport.h"
#include "Tests/Support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Install, PutsTheProgramItsLauncherAndIconInTheirPlacesAndTheInstalledProgramRuns)
{
    testsupport::TempDir dir;
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    const fs::path prefix = dir / "prefix";
    const std::string install = "cmake --install '" + build.string() + "' --prefix '" + prefix.string() + "' > '"
        + (dir / "install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << contents(dir / "install.log");

    const fs::path launcher = prefix / "share/applications/com.movara.Quintor.desktop";
    const std::string desktop = contents(launcher);
    EXPECT_NE(desktop.find("Exec=quintor --window %F"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("MimeType=image/jpeg;image/png;image/tiff;"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("Icon=com.movara.Quintor"), std::string::npos) << desktop;
    // The desktop's own checker: menus and file managers skip or misfile an entry it rejects,
    // and one listed under several main categories shows up more than once in the menu.
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0) {
        const std::string validate = "desktop-file-validate '" + launcher.string() + "' > '" + (dir / "validate.log").string() + "' 2>&1";
        EXPECT_EQ(std::system(validate.c_str()), 0) << contents(dir / "validate.log");
        EXPECT_EQ(contents(dir / "validate.log"), "");
    }
    for (const char* size : {"256x256", "512x512"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor" / size / "apps/com.movara.Quintor.png")) << size;

    // The link on the PATH runs the program from its own folder, away from the build tree.
    const fs::path program = prefix / "bin/quintor";
    ASSERT_TRUE(fs::is_symlink(program));
    fs::create_directories(dir / "photos");
    for (int i = 0; i < 3; ++i)
        mainwindowtest::greyPhoto(dir / "photos" / ("IMG_" + std::to_string(i + 1) + ".jpg"), 60 + 60 * i, i);
    const fs::path snapshot = dir / "window.png";
    const std::string run = "env -u DISPLAY -u WAYLAND_DISPLAY ASAN_OPTIONS=detect_leaks=0 '" + program.string()
        + "' --snapshot '" + snapshot.string() + "' --export '" + (dir / "out.mp4").string() + "' '"
        + (dir / "photos").string() + "' > '" + (dir / "run.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(run.c_str()), 0) << contents(dir / "run.log");
    EXPECT_TRUE(fs::is_regular_file(snapshot));
    EXPECT_EQ(mainwindowtest::readMovie(dir / "out.mp4").greys.size(), 3u);
}

} // namespace
