// Entry of the timelapse application: answers --version, otherwise hands control to the
// shell's application main loop, which makes the application's delegate and runs the launch.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "MovaraAppKit/Shell/MovaraApplicationMain.h"
#include "Platform/Foundation/Bundle.h"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quintor %s\n", QUINTOR_VERSION);
            return 0;
        }
    }
    // Installed, the resources lie beside the binary (the default main bundle); in a build
    // tree they are still in the sources.
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || !std::filesystem::is_directory(exe.parent_path() / "Resources", ec))
        if (auto bundle = foundation::Bundle::bundleWithPath(QUINTOR_RESOURCES_DIR))
            foundation::Bundle::setMain(bundle);
    return MovaraApplicationMain(argc, argv);
}
