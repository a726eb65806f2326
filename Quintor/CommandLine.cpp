#include "Quintor/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>

#include "Platform/Foundation/StringUtils.h"
#include "Platform/Media/VideoSettings.h"

namespace fs = std::filesystem;

// ---- options --------------------------------------------------------------------------------

namespace {

std::optional<double> parseDouble(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

std::string escapedForTerminal(std::string_view text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto hex = [&](const char* prefix, unsigned value, int width) {
        out += prefix;
        for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
            out += digits[(value >> shift) & 0xF];
    };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                hex("\\x", byte, 2);
            else
                out += static_cast<char>(byte);
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        size_t length = 0;
        unsigned codePoint = 0;
        if (byte >= 0xC2 && byte <= 0xDF)
            length = 2, codePoint = byte & 0x1F;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3, codePoint = byte & 0x0F;
        else if (byte >= 0xF0 && byte <= 0xF4)
            length = 4, codePoint = byte & 0x07;
        bool wellFormed = length != 0 && i + length <= text.size();
        for (size_t k = 1; wellFormed && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            wellFormed = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
        wellFormed = wellFormed && !(length == 3 && codePoint < 0x800) && !(length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF))
                     && !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
        if (!wellFormed) {
            hex("\\x", byte, 2);
            ++i;
        } else if (codePoint >= 0x80 && codePoint <= 0x9F) {
            hex("\\u", codePoint, 4);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string commandLineUsage()
{
    return "Usage: quintor [options] PHOTO_OR_FOLDER...\n"
           "       quintor [--window [PHOTO_OR_FOLDER...] | --headless]\n"
           "\n"
           "Makes a timelapse of the photos (and of the photos directly inside each folder), as the\n"
           "application does when they are opened with it. Without --export it builds the preview\n"
           "and prints a summary of the sequence. Without any argument it starts the application,\n"
           "in its window when there is a display; --window opens the window with the photos given\n"
           "(as the file manager's Open With does), --headless starts it without a display.\n"
           "\n"
           "Options:\n"
           "  --export FILE       export the timelapse to FILE (.mp4 or .mov, as the format needs)\n"
           "  --format FORMAT     h264, hevc (MPEG-4), prores422 or prores4444 (QuickTime); by\n"
           "                      default prores422 for a .mov FILE, h264 otherwise\n"
           "  --fps RATE          frame rate of the exported movie: 24, 25, 30 or source (default)\n"
           "  --speed FPS         the timelapse's speed in photos per second (0.001 to 240, in\n"
           "                      steps of 0.001);\n"
           "                      by default estimated from the capture dates\n"
           "  --sort ORDER        order the photos by name (default) or by date\n"
           "  --reverse           play the sequence backwards\n"
           "  --trim START:END    keep the part between two fractions of the sequence (0 to 1)\n"
           "  --snapshot FILE.png save a picture of the main window as it is before the export\n"
           "  --help              show this help\n"
           "  --version           show the version\n"
           "\n"
           "Exit status: 0 success, 1 the timelapse could not be made, 2 bad usage, 130 interrupted.\n";
}

std::optional<CommandLineOptions> parseCommandLine(const std::vector<std::string>& arguments, std::string* error)
{
    auto fail = [error](std::string message) -> std::optional<CommandLineOptions> {
        if (error)
            *error = std::move(message);
        return std::nullopt;
    };
    CommandLineOptions options;
    bool sawFormatOrRate = false;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            options.inputs.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument == "--reverse") {
            options.reverse = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto equals = argument.find('='); equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.erase(equals);
        }
        static const char* const valued[] = {"--export", "--format", "--fps", "--speed", "--sort", "--trim", "--snapshot"};
        if (std::none_of(std::begin(valued), std::end(valued), [&](const char* name) { return argument == name; }))
            return fail("unknown option '" + argument + "'");
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail("option '" + argument + "' needs a value");
            value = arguments[++i];
        }
        if (argument == "--export") {
            if (value->empty())
                return fail("--export needs a file name");
            options.exportPath = *value;
        } else if (argument == "--format") {
            if (!MovieFormatNamed(*value))
                return fail("--format must be h264, hevc, prores422 or prores4444, not '" + *value + "'");
            options.format = *value;
            sawFormatOrRate = true;
        } else if (argument == "--fps") {
            static const std::pair<const char*, CommandLineFrameRate> rates[] = {
                {"source", CommandLineFrameRate::source},
                {"24", CommandLineFrameRate::fps24},
                {"25", CommandLineFrameRate::fps25},
                {"30", CommandLineFrameRate::fps30},
            };
            auto it = std::find_if(std::begin(rates), std::end(rates), [&](const auto& r) { return *value == r.first; });
            if (it == std::end(rates))
                return fail("--fps must be 24, 25, 30 or source, not '" + *value + "'");
            options.frameRate = it->second;
            sawFormatOrRate = true;
        } else if (argument == "--speed") {
            // The movie times frames in thousandths of a photo per second: a rate below one
            // thousandth cannot be exported, and a finer one would be rounded silently.
            auto fps = parseDouble(*value);
            const double thousandths = fps ? *fps * 1000.0 : 0.0;
            if (!fps || !(thousandths >= 1.0) || *fps > 240 || std::abs(thousandths - std::round(thousandths)) > 1e-6)
                return fail("--speed must be a number of photos per second from 0.001 to 240, in steps of 0.001, not '"
                            + *value + "'");
            options.speed = *fps;
        } else if (argument == "--sort") {
            if (*value == "name")
                options.sort = CommandLineSort::name;
            else if (*value == "date")
                options.sort = CommandLineSort::date;
            else
                return fail("--sort must be name or date, not '" + *value + "'");
        } else if (argument == "--trim") {
            const auto colon = value->find(':');
            std::optional<double> start, end;
            if (colon != std::string::npos) {
                start = parseDouble(value->substr(0, colon));
                end = parseDouble(value->substr(colon + 1));
            }
            if (!start || !end || *start < 0 || *end > 1 || *start >= *end)
                return fail("--trim must be START:END with 0 <= START < END <= 1, not '" + *value + "'");
            options.trim = std::make_pair(*start, *end);
        } else if (argument == "--snapshot") {
            if (foundation::asciiLowercase(fs::path(*value).extension().string()) != ".png")
                return fail("--snapshot needs a file name ending in .png, not '" + *value + "'");
            options.snapshotPath = *value;
        }
    }
    if (options.help || options.version)
        return options;
    if (options.inputs.empty())
        return fail("no photos or folders given");
    if (sawFormatOrRate && !options.exportPath)
        return fail("--format and --fps need --export");
    if (options.exportPath && foundation::asciiLowercase(fs::path(*options.exportPath).extension().string()) != "." + effectiveFormat(options).extension)
        return fail("--export: a movie in that format is a ." + effectiveFormat(options).extension + " file, not '"
                    + *options.exportPath + "'");
    return options;
}

const MovieFormat& effectiveFormat(const CommandLineOptions& options)
{
    const MovieFormat* format = options.format ? MovieFormatNamed(*options.format) : nullptr;
    if (!format && options.exportPath && foundation::asciiLowercase(fs::path(*options.exportPath).extension().string()) == ".mov")
        format = MovieFormatForCodec(media::AVVideoCodecTypeAppleProRes422);
    if (!format)
        format = MovieFormatForCodec(media::AVVideoCodecTypeH264);
    return *format;
}
