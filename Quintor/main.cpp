// Entry of the timelapse application. Without arguments it runs the application's main loop
// (the shell makes the application's delegate and runs the launch), on screen when there is a
// display; with --window it opens the window with the photos given, as the file manager's
// "Open With" does; with --headless it runs without a display; with other arguments it is the
// command line, which drives the same application (see CommandLine.h).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/MovaraApplicationMain.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Quintor/CommandLine.h"

namespace {

// The application on screen; `paths` arrive as an open request once it has launched.
int runOnScreen(int argc, char** argv, const std::vector<std::string>& paths, bool required)
{
    // Termination signals are the shell's to take: blocked before the display's libraries
    // start threads of their own, which then never receive them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    auto desktop = ui::GtkDesktop::open();
    if (!desktop && required) {
        std::fprintf(stderr, "quintor: cannot open the window: no display (DISPLAY or WAYLAND_DISPLAY is not set "
                             "or cannot be opened)\n");
        return CommandLineFailure;
    }
    if (!paths.empty()) {
        dispatch::RunLoop::main().perform([paths] { ui::Application::shared()->openFiles(paths); });
    }
    const int status = MovaraApplicationMain(argc, argv);
    desktop.reset();
    return status;
}

int run(int argc, char** argv)
{
    if (argc <= 1)
        return runOnScreen(argc, argv, {}, false);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments.front() == "--headless")
        return MovaraApplicationMain(argc, argv);
    if (arguments.front() == "--window") {
        std::vector<std::string> paths;
        for (size_t i = 1; i < arguments.size(); ++i) {
            std::error_code ec;
            paths.push_back(std::filesystem::absolute(arguments[i], ec).lexically_normal().string());
        }
        return runOnScreen(argc, argv, paths, true);
    }
    std::string error;
    const auto options = parseCommandLine(arguments, &error);
    if (!options) {
        std::fprintf(stderr, "quintor: %s\nTry 'quintor --help' for more information.\n", error.c_str());
        return CommandLineUsageError;
    }
    if (options->help) {
        std::fputs(commandLineUsage().c_str(), stdout);
        return CommandLineSuccess;
    }
    if (options->version) {
        std::printf("quintor %s\n", QUINTOR_VERSION);
        return CommandLineSuccess;
    }
    return runCommandLine(*options);
}

} // namespace

int main(int argc, char** argv)
{
    const int status = run(argc, argv);
    // Work still running in the background (a preview being read when the user quits) finishes
    // before the process's static objects are destroyed under it.
    dispatch::waitForWorkersBeforeExit();
    return status;
}
