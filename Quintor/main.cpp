// Entry of the timelapse application. Without arguments it runs the application's main loop
// (the shell makes the application's delegate and runs the launch), on screen when there is a
// display; with --window it opens the window with the photos given, as the file manager's
// "Open With" does; with --headless it runs without a display; with other arguments it is the
// command line, which drives the same application (see CommandLine.h).
// On screen the application is one instance per user session: a launch while another runs
// hands its photos to that one (or asks it to show itself) and ends. The headless application
// and the command line run on their own: an export from a terminal is never handed to a window.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/MovaraApplicationMain.h"
#include "MovaraKit/Canvas/CanvasObject.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Gtk/ClipboardBridge.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Platform/UI/Gtk/SingleInstance.h"
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
    // Only an application on screen takes the session's name: without a display it would
    // answer later launches with a window nobody sees.
    std::unique_ptr<ui::SingleInstance> instance;
    if (ui::hasDisplayEnvironment()) {
        auto outcome = ui::SingleInstance::Outcome::alone;
        std::string error;
        instance = ui::SingleInstance::start(foundation::Bundle::main()->bundleIdentifier(), paths, &outcome, &error);
        if (outcome == ui::SingleInstance::Outcome::forwarded)
            return CommandLineSuccess;
        if (outcome == ui::SingleInstance::Outcome::failed) {
            std::fprintf(stderr, "quintor: Quintor is already running but did not take the request: %s\n", escapedForTerminal(error).c_str());
            return CommandLineFailure;
        }
    }
    auto desktop = ui::GtkDesktop::open();
    if (!desktop) {
        instance.reset();
        if (required) {
            std::fprintf(stderr, "quintor: cannot open the window: no display (DISPLAY or WAYLAND_DISPLAY is not set "
                                 "or cannot be opened)\n");
            return CommandLineFailure;
        }
    }
    // Copy and paste reach the other applications of the desktop, canvas objects included.
    auto clipboard = desktop ? ui::ClipboardBridge::open({CanvasObject::pasteboardType()}) : nullptr;
    // The photos of the launch come with it: the launch knows that it opens documents.
    if (!paths.empty())
        ui::Application::shared()->openFilesOnLaunch(paths);
    const int status = MovaraApplicationMain(argc, argv);
    instance.reset();
    clipboard.reset();
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
        std::fprintf(stderr, "quintor: %s\nTry 'quintor --help' for more information.\n", escapedForTerminal(error).c_str());
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
    // A file grown past the size the process may write (a quota, ulimit -f) fails that write,
    // which the movie writer reports and cleans up after, instead of ending the process where
    // it stands with its unfinished files left behind.
    ::signal(SIGXFSZ, SIG_IGN);
    const int status = run(argc, argv);
    // Work still running in the background (a preview being read when the user quits) finishes
    // before the process's static objects are destroyed under it.
    dispatch::waitForWorkersBeforeExit();
    return status;
}
