#include "Quintor/CommandLine.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "MovaraAppKit/Shell/DirectSalesController.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/PopUpButton.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Window.h"
#include "Quintor/AppDelegate.h"
#include "Quintor/DurationFormatter.h"
#include "Quintor/ExportSettingsController.h"
#include "Quintor/MainWindowController.h"
#include "Quintor/PreviewController.h"

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

std::string commandLineUsage()
{
    return "Usage: quintor [options] PHOTO_OR_FOLDER...\n"
           "\n"
           "Makes a timelapse of the photos (and of the photos directly inside each folder), as the\n"
           "application does when they are opened with it. Without --export it builds the preview\n"
           "and prints a summary of the sequence. Without any argument it starts the application.\n"
           "\n"
           "Options:\n"
           "  --export FILE       export the timelapse to FILE (.mp4 or .mov, as the format needs)\n"
           "  --format FORMAT     h264, hevc (MPEG-4), prores422 or prores4444 (QuickTime); by\n"
           "                      default prores422 for a .mov FILE, h264 otherwise\n"
           "  --fps RATE          frame rate of the exported movie: 24, 25, 30 or source (default)\n"
           "  --speed FPS         the timelapse's speed in photos per second (above 0, at most 240);\n"
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
            static const std::pair<const char*, CommandLineFormat> formats[] = {
                {"h264", CommandLineFormat::h264},
                {"hevc", CommandLineFormat::hevc},
                {"prores422", CommandLineFormat::proRes422},
                {"prores4444", CommandLineFormat::proRes4444},
            };
            auto it = std::find_if(std::begin(formats), std::end(formats), [&](const auto& f) { return *value == f.first; });
            if (it == std::end(formats))
                return fail("--format must be h264, hevc, prores422 or prores4444, not '" + *value + "'");
            options.format = it->second;
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
            auto fps = parseDouble(*value);
            if (!fps || *fps <= 0 || *fps > 240)
                return fail("--speed must be a number of photos per second above 0 and at most 240, not '" + *value + "'");
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
    if (options.exportPath && foundation::asciiLowercase(fs::path(*options.exportPath).extension().string()) != "." + extensionForFormat(effectiveFormat(options)))
        return fail("--export: a movie in that format is a ." + extensionForFormat(effectiveFormat(options)) + " file, not '"
                    + *options.exportPath + "'");
    return options;
}

CommandLineFormat effectiveFormat(const CommandLineOptions& options)
{
    if (options.format)
        return *options.format;
    if (options.exportPath && foundation::asciiLowercase(fs::path(*options.exportPath).extension().string()) == ".mov")
        return CommandLineFormat::proRes422;
    return CommandLineFormat::h264;
}

std::string extensionForFormat(CommandLineFormat format)
{
    switch (format) {
    case CommandLineFormat::proRes422:
    case CommandLineFormat::proRes4444:
        return "mov";
    case CommandLineFormat::h264:
    case CommandLineFormat::hevc:
        break;
    }
    return "mp4";
}

// ---- the job --------------------------------------------------------------------------------

namespace {

// SIGINT and SIGTERM are taken by one thread with sigwait, outside any handler, and handed to
// the main loop: the first asks the job to stop as the cancel button would, a second one ends
// the process at once (whatever a writer had not finished stays out of the user's file).
class TerminationSignals {
public:
    explicit TerminationSignals(std::function<void()> onSignal)
        : m_onSignal(std::move(onSignal))
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
        m_thread = std::thread([this] {
            for (;;) {
                int signal = 0;
                if (sigwait(&m_set, &signal) != 0 || m_done.load())
                    return;
                if (m_count.fetch_add(1) > 0)
                    std::_Exit(CommandLineInterrupted);
                dispatch::RunLoop::main().perform(m_onSignal);
            }
        });
    }
    ~TerminationSignals()
    {
        m_done.store(true);
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
        pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
    }

private:
    std::function<void()> m_onSignal;
    sigset_t m_set;
    std::atomic<bool> m_done {false};
    std::atomic<int> m_count {0};
    std::thread m_thread;
};

// What the main window's progress display shows, drawn as a bar on a terminal and as plain
// lines (the caption, then every quarter) otherwise.
class ProgressPrinter {
public:
    ProgressPrinter() : m_terminal(::isatty(STDERR_FILENO) == 1) { }

    void update(bool visible, const std::string& caption, double value, bool indeterminate)
    {
        if (!visible) {
            endLine();
            m_caption.clear();
            return;
        }
        if (caption != m_caption) {
            endLine();
            m_caption = caption;
            m_shown = -2;
            if (!m_terminal)
                std::fprintf(stderr, "%s\n", caption.c_str());
        }
        const int percent = indeterminate ? -1 : static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 100));
        if (m_terminal) {
            if (percent == m_shown)
                return;
            m_shown = percent;
            if (percent < 0) {
                std::fprintf(stderr, "\r\033[K%s\u2026", caption.c_str());
            } else {
                constexpr int Width = 30;
                const int filled = percent * Width / 100;
                std::string bar(filled, '#');
                bar.append(Width - filled, ' ');
                std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", caption.c_str(), bar.c_str(), percent);
            }
            m_lineOpen = true;
            std::fflush(stderr);
        } else if (percent >= 0 && percent / 25 > m_shown / 25 && percent / 25 > 0) {
            m_shown = percent;
            std::fprintf(stderr, "%s: %d%%\n", caption.c_str(), percent / 25 * 25);
        }
    }

    void endLine()
    {
        if (m_lineOpen)
            std::fputc('\n', stderr);
        m_lineOpen = false;
    }

private:
    bool m_terminal = false;
    std::string m_caption;
    int m_shown = -2;
    bool m_lineOpen = false;
};

template <class T> void collectViews(const ui::ViewPtr& view, std::vector<std::shared_ptr<T>>& out)
{
    if (!view)
        return;
    if (auto match = std::dynamic_pointer_cast<T>(view))
        out.push_back(match);
    for (const auto& subview : view->subviews())
        collectViews(subview, out);
}

struct Failure {
    std::string message;
};

class Session {
public:
    explicit Session(const CommandLineOptions& options)
        : m_options(options)
    {
    }

    int run();

private:
    void launch();
    void tearDown();
    // Runs the main loop until the window is idle: no progress display, no preview being
    // built, no export running.
    void waitUntilIdle();
    bool isIdle() const;
    void tick();
    // The errors the window presented as sheets since the last look, printed; throws when
    // there was any.
    void reportPresentedErrors();
    bool hasUnreportedErrors() const;
    void interrupt();
    void pressCancelIfPossible();
    // Chooses an item of the main menu as the user would; false when it is disabled.
    bool chooseMenuItem(const std::string& action, std::optional<long> tag = std::nullopt);
    void applyOptions();
    void snapshot();
    void exportMovie();
    void printSummary();

    const CommandLineOptions& m_options;
    std::shared_ptr<AppDelegate> m_delegate;
    std::shared_ptr<MainWindowController> m_controller;
    std::shared_ptr<ui::ScriptedResponder> m_responder;
    size_t m_transcriptSeen = 0;
    ProgressPrinter m_printer;
    bool m_interrupted = false;
};

bool Session::isIdle() const
{
    auto preview = m_controller->previewController();
    return m_controller->hideProgress() && !m_controller->isExporting() && (!preview || !preview->isCreatingPreview());
}

void Session::tick()
{
    m_printer.update(!m_controller->hideProgress(), m_controller->progressMessage(), m_controller->progressValue(),
                     m_controller->isIndeterminateProgress());
    if (m_interrupted)
        pressCancelIfPossible();
}

void Session::waitUntilIdle()
{
    while (!dispatch::RunLoop::main().runUntil([this] {
        tick();
        return isIdle();
    }, 3600)) {
    }
    tick();
}

void Session::interrupt()
{
    m_interrupted = true;
    pressCancelIfPossible();
}

void Session::pressCancelIfPossible()
{
    // The cancel button becomes usable with the first progress report of a job.
    auto cancel = m_controller->cancelButton();
    if (cancel && cancel->isEnabled() && !m_controller->hideProgress())
        cancel->performClick(nullptr);
}

bool Session::hasUnreportedErrors() const
{
    const auto transcript = m_responder->transcript();
    for (size_t i = m_transcriptSeen; i < transcript.size(); ++i)
        if (transcript[i].kind == ui::ScriptedResponder::Kind::alert && transcript[i].asSheet)
            return true;
    return false;
}

void Session::reportPresentedErrors()
{
    const auto transcript = m_responder->transcript();
    std::vector<std::string> errors;
    for (size_t i = m_transcriptSeen; i < transcript.size(); ++i) {
        const auto& record = transcript[i];
        // Errors come as alert sheets on the main window; alerts run on their own (such as the
        // marketing-consent prompt) are questions, not errors.
        if (record.kind != ui::ScriptedResponder::Kind::alert || !record.asSheet)
            continue;
        std::string text = record.messageText;
        if (!record.informativeText.empty())
            text += " " + record.informativeText;
        errors.push_back(text);
    }
    m_transcriptSeen = transcript.size();
    if (errors.empty())
        return;
    m_printer.endLine();
    for (size_t i = 0; i + 1 < errors.size(); ++i)
        std::fprintf(stderr, "quintor: %s\n", errors[i].c_str());
    throw Failure {errors.back()};
}

bool Session::chooseMenuItem(const std::string& action, std::optional<long> tag)
{
    auto mainMenu = ui::Application::shared()->mainMenu();
    if (!mainMenu)
        return false;
    for (const auto& top : mainMenu->itemArray()) {
        auto menu = top->submenu();
        if (!menu)
            continue;
        for (long i = 0; i < menu->numberOfItems(); ++i) {
            auto item = menu->itemAtIndex(i);
            if (item->action() == action && (!tag || item->tag() == *tag))
                return menu->performActionForItemAtIndex(i);
        }
    }
    return false;
}

void Session::launch()
{
    // A run from the command line is not a first launch: no walkthrough, no plan onboarding and
    // no move alert. Registered defaults are not stored, so the application's own first launch
    // still shows them.
    foundation::UserDefaults::standard()->registerDefaults(foundation::Value::dictionary({
        {MVRHasShownWalkthroughWindowOnLaunchKey, foundation::Value(true)},
        {MVRDontShowOnboardingWindowOnLaunchKey, foundation::Value(true)},
        {DirectSalesController::MVRSuppressMoveToAppsFolderAlertKey, foundation::Value(true)},
    }));
    m_responder = ui::ScriptedResponder::make();
    ui::ScriptedResponder::install(m_responder);

    m_delegate = AppDelegate::init();
    m_controller = m_delegate->mainWindowController();
    auto app = ui::Application::shared();
    app->setDelegate(m_delegate);
    app->finishLaunching();
    // Whatever the launch itself asked (nothing, normally) is not this job's business.
    m_transcriptSeen = m_responder->transcript().size();
}

void Session::tearDown()
{
    m_printer.endLine();
    auto app = ui::Application::shared();
    // Windows, controllers and the delegate go before the process's static objects do.
    m_controller.reset();
    app->setDelegate(nullptr);
    m_delegate.reset();
    for (const auto& window : app->windows())
        window->orderOut();
    app->setMainMenu(nullptr);
    app->setHelpMenu(nullptr);
    ui::ScriptedResponder::uninstall();
}

void Session::applyOptions()
{
    auto model = m_delegate->model();
    if (m_options.sort) {
        const long tag = *m_options.sort == CommandLineSort::name ? Model::SortByNameTag : MainWindowController::SortByDateTag;
        if (!chooseMenuItem("changeSort:", tag))
            throw Failure {"the sequence cannot be sorted now"};
        waitUntilIdle();
        reportPresentedErrors();
    }
    if (m_options.reverse && !chooseMenuItem("togglePlayDirection:"))
        throw Failure {"the sequence cannot be reversed now"};
    if (m_options.speed) {
        // What the speed field's binding does with the number the user typed.
        model->setFps(*m_options.speed);
    }
    if (m_options.trim)
        m_controller->setTrimRange(m_options.trim->first, m_options.trim->second);
}

void Session::snapshot()
{
    // The player shows a frame once its item is ready; a preview that cannot be read shows
    // none, and the picture is taken all the same.
    auto preview = m_controller->previewController();
    auto playerView = preview ? preview->playerView() : nullptr;
    dispatch::RunLoop::main().runUntil([&] {
        auto player = playerView ? playerView->player() : nullptr;
        auto item = player ? player->currentItem() : nullptr;
        // Ready, the item also tells the preview its duration, which the window shows.
        return !item || item->status() == media::PlayerItemStatus::failed
            || (item->status() == media::PlayerItemStatus::readyToPlay && preview->duration() > 0);
    }, 10);
    auto window = m_controller->window();
    foundation::ErrorPtr error;
    if (!window || !window->renderToPNG(*m_options.snapshotPath, &error))
        throw Failure {"cannot save the snapshot " + *m_options.snapshotPath + (error ? ": " + error->localizedDescription() : "")};
}

void Session::exportMovie()
{
    const fs::path output = fs::absolute(*m_options.exportPath).lexically_normal();
    m_responder->answerSavePanel(foundation::URL::fileURLWithPath(output.string()));

    if (!chooseMenuItem("export:"))
        throw Failure {"the timelapse cannot be exported now"};
    auto sheet = m_controller->window() ? m_controller->window()->attachedSheet() : nullptr;
    if (!sheet)
        throw Failure {"the export settings did not open"};

    // The settings sheet, worked as the user would: its two pop-ups and its Export button.
    std::vector<std::shared_ptr<ui::PopUpButton>> popUps;
    collectViews(sheet->contentView(), popUps);
    std::vector<std::shared_ptr<ui::Button>> buttons;
    collectViews(sheet->contentView(), buttons);
    std::shared_ptr<ui::PopUpButton> formatPopUp, ratePopUp;
    for (const auto& popUp : popUps) {
        if (popUp->menu()->itemWithTag(ExportSettingsController::FormatH264Tag))
            formatPopUp = popUp;
        else if (popUp->menu()->itemWithTag(ExportSettingsController::FpsCurrentTag))
            ratePopUp = popUp;
    }
    auto buttonWithAction = [&](const std::string& action) -> std::shared_ptr<ui::Button> {
        for (const auto& button : buttons)
            if (!std::dynamic_pointer_cast<ui::PopUpButton>(button) && button->action() == action)
                return button;
        return nullptr;
    };
    auto exportButton = buttonWithAction("ok:");
    auto cancelButton = buttonWithAction("cancelSheet:");
    if (!formatPopUp || !ratePopUp || !exportButton || !cancelButton)
        throw Failure {"the export settings sheet is incomplete"};

    auto formatTag = ExportSettingsController::FormatH264Tag;
    switch (effectiveFormat(m_options)) {
    case CommandLineFormat::h264: formatTag = ExportSettingsController::FormatH264Tag; break;
    case CommandLineFormat::hevc: formatTag = ExportSettingsController::FormatHEVCTag; break;
    case CommandLineFormat::proRes422: formatTag = ExportSettingsController::FormatProRes422Tag; break;
    case CommandLineFormat::proRes4444: formatTag = ExportSettingsController::FormatProRes4444Tag; break;
    }
    if (!formatPopUp->chooseItemWithTag(static_cast<long>(formatTag))) {
        cancelButton->performClick(nullptr);
        throw Failure {effectiveFormat(m_options) == CommandLineFormat::hevc ? "HEVC encoding is not available on this machine"
                                                                             : "that format is not offered"};
    }
    auto rateTag = ExportSettingsController::FpsCurrentTag;
    switch (m_options.frameRate) {
    case CommandLineFrameRate::source: rateTag = ExportSettingsController::FpsCurrentTag; break;
    case CommandLineFrameRate::fps24: rateTag = ExportSettingsController::Fps24Tag; break;
    case CommandLineFrameRate::fps25: rateTag = ExportSettingsController::Fps25Tag; break;
    case CommandLineFrameRate::fps30: rateTag = ExportSettingsController::Fps30Tag; break;
    }
    // A fixed rate equal to the sequence's own is not offered: the current rate is that rate.
    if (!ratePopUp->chooseItemWithTag(static_cast<long>(rateTag)))
        ratePopUp->chooseItemWithTag(static_cast<long>(ExportSettingsController::FpsCurrentTag));
    exportButton->performClick(nullptr);

    // The save panel follows the sheet and is answered with the output; then the export runs
    // until it has left the progress display. It ends with the notification on success or with
    // an error sheet.
    auto window = m_controller->window();
    std::optional<ui::ModalResponse> panelResponse;
    bool sawExport = false;
    auto exportHasEnded = [&] {
        if (!panelResponse) {
            for (const auto& record : m_responder->transcript())
                if (record.kind == ui::ScriptedResponder::Kind::savePanel)
                    panelResponse = record.response;
        }
        sawExport = sawExport || m_controller->isExporting();
        tick();
        if (m_interrupted && !sawExport)
            return true;
        if (!panelResponse || window->attachedSheet() || !isIdle())
            return false;
        return *panelResponse != ui::ModalResponseOK || sawExport || hasUnreportedErrors();
    };
    while (!dispatch::RunLoop::main().runUntil(exportHasEnded, 3600)) {
    }
    tick();
    if (m_interrupted)
        return;
    if (!panelResponse || *panelResponse != ui::ModalResponseOK)
        throw Failure {"the export's save panel was cancelled"};
    reportPresentedErrors();
    std::error_code ec;
    if (!fs::is_regular_file(output, ec))
        throw Failure {"the movie was not written"};
    m_printer.endLine();
    std::printf("Exported %s\n", output.c_str());
}

void Session::printSummary()
{
    auto model = m_delegate->model();
    const auto& images = model->imageSources();
    const auto exported = m_controller->exportedImageSources();
    const auto size = images.empty() ? graphics::Size() : images.front()->size();
    // The movie's length: one frame per photo kept by the trim, at the sequence's rate.
    const double duration = model->fps() > 0 ? double(exported.size()) / model->fps() : 0.0;
    auto formatter = DurationFormatter::init();
    const auto durationText = formatter->stringForObjectValue(std::any(duration));
    const std::string rateText = frameRateString(model->fps(), ".").value_or("?");

    std::printf("Photos:     %zu\n", images.size());
    std::printf("Size:       %.0f x %.0f\n", size.width, size.height);
    std::printf("Order:      by %s, %s\n", model->sortItemTag() == Model::SortByNameTag ? "name" : "date",
                model->playDirectionTag() == Model::PlayForwardTag ? "forward" : "reverse");
    std::printf("Frame rate: %s fps\n", rateText.c_str());
    if (exported.size() == images.size())
        std::printf("Trim:       all photos\n");
    else
        std::printf("Trim:       %zu of %zu photos\n", exported.size(), images.size());
    std::printf("Duration:   %s\n", durationText.value_or("?").c_str());
}

int Session::run()
{
    // Checks that need no application: the user hears about a typo before any work is done.
    for (const auto& input : m_options.inputs) {
        std::error_code ec;
        if (!fs::exists(input, ec)) {
            std::fprintf(stderr, "quintor: %s: no such file or folder\n", input.c_str());
            return CommandLineFailure;
        }
    }
    for (const auto* path : {m_options.exportPath ? &*m_options.exportPath : nullptr,
                             m_options.snapshotPath ? &*m_options.snapshotPath : nullptr}) {
        if (!path)
            continue;
        const fs::path file = fs::absolute(*path).lexically_normal();
        std::error_code ec;
        if (fs::is_directory(file, ec)) {
            std::fprintf(stderr, "quintor: %s is a folder\n", path->c_str());
            return CommandLineFailure;
        }
        const fs::path folder = file.parent_path();
        if (!fs::is_directory(folder, ec)) {
            std::fprintf(stderr, "quintor: cannot write %s: the folder %s does not exist\n", path->c_str(), folder.c_str());
            return CommandLineFailure;
        }
        if (::access(folder.c_str(), W_OK | X_OK) != 0) {
            std::fprintf(stderr, "quintor: cannot write %s: %s\n", path->c_str(), std::strerror(errno));
            return CommandLineFailure;
        }
    }

    // The loop is bound first: a signal that arrives at once is performed on it.
    dispatch::RunLoop::main().bindToCurrentThread();
    TerminationSignals signals([this] { interrupt(); });
    int status = CommandLineSuccess;
    try {
        launch();
        std::vector<std::string> paths;
        for (const auto& input : m_options.inputs)
            paths.push_back(fs::absolute(input).lexically_normal().string());
        // The file manager's open request.
        ui::Application::shared()->openFiles(paths);
        waitUntilIdle();
        if (!m_interrupted)
            reportPresentedErrors();
        if (!m_interrupted && m_delegate->model()->imageSources().empty())
            throw Failure {"no preview could be made of these photos"};
        if (!m_interrupted)
            applyOptions();
        if (!m_interrupted && m_options.snapshotPath)
            snapshot();
        if (!m_interrupted && m_options.exportPath)
            exportMovie();
        else if (!m_interrupted)
            printSummary();
        if (m_interrupted) {
            m_printer.endLine();
            std::fprintf(stderr, "quintor: interrupted\n");
            status = CommandLineInterrupted;
        }
    } catch (const Failure& failure) {
        m_printer.endLine();
        std::fprintf(stderr, "quintor: %s\n", failure.message.c_str());
        status = m_interrupted ? CommandLineInterrupted : CommandLineFailure;
    }
    tearDown();
    std::fflush(stdout);
    std::fflush(stderr);
    // A cancelled import may still be decoding a photo it no longer needs on a worker thread;
    // the process ends here without running its static destructors under it.
    if (status == CommandLineInterrupted)
        std::_Exit(status);
    return status;
}

} // namespace

int runCommandLine(const CommandLineOptions& options)
{
    Session session(options);
    return session.run();
}
