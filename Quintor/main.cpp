// Entry of the timelapse application. Without arguments it runs the application's main loop
// (the shell makes the application's delegate and runs the launch); with arguments it is the
// command line, which drives the same application (see CommandLine.h).
#include <cstdio>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/MovaraApplicationMain.h"
#include "Platform/Dispatch/Queue.h"
#include "Quintor/CommandLine.h"

namespace {

int run(int argc, char** argv)
{
    if (argc <= 1)
        return MovaraApplicationMain(argc, argv);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
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
