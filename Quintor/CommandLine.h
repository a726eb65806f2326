#pragma once
// The command line: the platform's stand-in for the file manager's open request and for a
// user at the main window. It launches the application, hands the photos to the application
// delegate as an open request, waits for the preview, then works the main window as a user
// would (its menu items, trim range and speed), renders the window if asked and runs the Export
// command, whose settings sheet and save panel it answers from the options. It prints what
// the window shows: progress, and the errors the window presents as sheets.
//
//     quintor [options] PHOTO_OR_FOLDER...
//
// Exit status: 0 success, 1 the job failed (the error is printed), 2 bad usage, 130 interrupted.

#include "MovaraKit/Media/MovieFormat.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class CommandLineFrameRate { source, fps24, fps25, fps30 };
enum class CommandLineSort { name, date };

struct CommandLineOptions {
    std::vector<std::string> inputs;
    std::optional<std::string> exportPath;
    // A format's name in the movie format table; none: from the export's extension (".mov"
    // gives ProRes 422, anything else H.264).
    std::optional<std::string> format;
    CommandLineFrameRate frameRate = CommandLineFrameRate::source;
    std::optional<double> speed;
    std::optional<CommandLineSort> sort;
    bool reverse = false;
    std::optional<std::pair<double, double>> trim;
    std::optional<std::string> snapshotPath;
    bool help = false;
    bool version = false;
};

enum CommandLineExitStatus : int {
    CommandLineSuccess = 0,
    CommandLineFailure = 1,
    CommandLineUsageError = 2,
    CommandLineInterrupted = 130,
};

// The options of `arguments` (without the program name); none with a one-line `error` when
// they cannot be understood.
std::optional<CommandLineOptions> parseCommandLine(const std::vector<std::string>& arguments, std::string* error);
std::string commandLineUsage();

// `text` as it may be written to a terminal: control characters (C0, DEL, C1) and bytes that
// are no UTF-8 are written out as escapes ("\x1B", "\u009B", "\xFF"), so a file name cannot
// move the cursor, retitle the window or clear the screen.
std::string escapedForTerminal(std::string_view text);

// The format an export is written in: the one asked for, else the one the extension implies.
const MovieFormat& effectiveFormat(const CommandLineOptions& options);

// Runs the job in this process, on the main thread, as the application; returns the exit
// status. Call from main() before any other thread exists (termination signals are taken by
// a thread of its own).
int runCommandLine(const CommandLineOptions& options);
