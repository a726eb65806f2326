// The command line's session: the application launched in this process and worked as a user
// would, its progress printed, its errors reported, and the termination signals taken.
#include "Quintor/CommandLine.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "MovaraAppKit/Shell/DirectSalesController.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/TerminationSignals.h"
#include "Platform/Foundation/TemporaryFolder.h"
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

// ---- the job --------------------------------------------------------------------------------

namespace {

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
        std::fprintf(stderr, "quintor: %s\n", escapedForTerminal(errors[i]).c_str());
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
        const auto tag = *m_options.sort == CommandLineSort::name ? Model::SortTag::byName : Model::SortTag::byDate;
        if (!chooseMenuItem("changeSort:", ui::tagValue(tag)))
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
        if (popUp->menu()->itemWithTag(ui::tagValue(ExportSettingsController::FormatTag::h264)))
            formatPopUp = popUp;
        else if (popUp->menu()->itemWithTag(ui::tagValue(ExportSettingsController::FpsTag::current)))
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

    const MovieFormat& format = effectiveFormat(m_options);
    if (!formatPopUp->chooseItemWithTag(ui::tagValue(format.settingsTag))) {
        cancelButton->performClick(nullptr);
        throw Failure {format.code == MVRVideoCodecHEVC ? "HEVC encoding is not available on this machine"
                                                        : "that format is not offered"};
    }
    using FpsTag = ExportSettingsController::FpsTag;
    auto rateTag = FpsTag::current;
    switch (m_options.frameRate) {
    case CommandLineFrameRate::source: rateTag = FpsTag::current; break;
    case CommandLineFrameRate::fps24: rateTag = FpsTag::fps24; break;
    case CommandLineFrameRate::fps25: rateTag = FpsTag::fps25; break;
    case CommandLineFrameRate::fps30: rateTag = FpsTag::fps30; break;
    }
    // A fixed rate equal to the sequence's own is not offered: the current rate is that rate.
    if (!ratePopUp->chooseItemWithTag(ui::tagValue(rateTag)))
        ratePopUp->chooseItemWithTag(ui::tagValue(FpsTag::current));
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
    std::printf("Order:      by %s, %s\n", model->sortItemTag() == Model::SortTag::byName ? "name" : "date",
                model->playDirectionTag() == Model::PlayDirectionTag::forward ? "forward" : "reverse");
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
            std::fprintf(stderr, "quintor: %s: no such file or folder\n", escapedForTerminal(input).c_str());
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
            std::fprintf(stderr, "quintor: %s is a folder\n", escapedForTerminal(*path).c_str());
            return CommandLineFailure;
        }
        const fs::path folder = file.parent_path();
        if (!fs::is_directory(folder, ec)) {
            std::fprintf(stderr, "quintor: cannot write %s: the folder %s does not exist\n", escapedForTerminal(*path).c_str(),
                         escapedForTerminal(folder.string()).c_str());
            return CommandLineFailure;
        }
        if (::access(folder.c_str(), W_OK | X_OK) != 0) {
            std::fprintf(stderr, "quintor: cannot write %s: %s\n", escapedForTerminal(*path).c_str(), std::strerror(errno));
            return CommandLineFailure;
        }
    }

    // The loop is bound first: a signal that arrives at once is performed on it.
    dispatch::RunLoop::main().bindToCurrentThread();
    // The first SIGINT or SIGTERM asks the job to stop as the cancel button would; a second one
    // ends the process at once (whatever a writer had not finished stays out of the user's file).
    dispatch::TerminationSignals signals([this] { interrupt(); }, [] {
        foundation::TemporaryFolder::removeRegisteredItems(true);
        std::_Exit(CommandLineInterrupted);
    });
    int status = CommandLineSuccess;
    try {
        launch();
        // An export needs no preview movie; a snapshot pictures one.
        if (m_options.exportPath && !m_options.snapshotPath)
            if (auto preview = m_controller->previewController())
                preview->setBuildsPreview(false);
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
        std::fprintf(stderr, "quintor: %s\n", escapedForTerminal(failure.message).c_str());
        status = m_interrupted ? CommandLineInterrupted : CommandLineFailure;
    }
    tearDown();
    std::fflush(stdout);
    std::fflush(stderr);
    // Whatever working files are still known (the preview's, say) go before the process does.
    foundation::TemporaryFolder::removeRegisteredItems();
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
