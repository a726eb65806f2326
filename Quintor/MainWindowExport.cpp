// The main window's export: the Export command (settings sheet, save panel, notification),
// the hand-off to the sibling application, and the one- or two-pass export job itself.
#include "Quintor/MainWindowController.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "MovaraAppKit/Shell/ReviewRequestController.h"
#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MovieExport.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/SavePanel.h"
#include "Platform/UI/Workspace.h"
#include "Quintor/ExportSettingsController.h"
#include "Quintor/ProgressCanceller.h"

const std::string MVRStillaraApplicationName = "Stillara.app";
const std::string MVRStillaraProductPageURL = "https://www.movara.com/products/mac/stillara/";

// One export, from the Export command or the hand-off, until its last step has run.
struct ExportJob {
    std::shared_ptr<MovieExport> movieExport;
    MainWindowController::ExportCompletion completion;
    // The running pass's progress, and what the cancel button talks to.
    foundation::ProgressPtr progress;
    std::shared_ptr<ui::Object> canceller;
};

namespace {

template <class T> std::shared_ptr<T> require(const std::shared_ptr<T>& outlet, const char* name)
{
    if (!outlet)
        foundation::fatal(std::string("MainWindowController: the outlet ") + name + " is not connected.");
    return outlet;
}

foundation::ErrorPtr exportError(const std::string& description)
{
    return foundation::Error::make(foundation::NSCocoaErrorDomain, 0, description);
}

foundation::URL temporaryFolder()
{
    return foundation::FileManager::defaultManager().temporaryDirectory();
}

} // namespace

std::shared_ptr<MovieExport> MainWindowController::runningExport() const
{
    return m_exportJob ? m_exportJob->movieExport : nullptr;
}

std::pair<long, long> MainWindowController::trimmedRange(long count, double startKnobValue, double endKnobValue)
{
    if (count <= 0 || !std::isfinite(startKnobValue) || !std::isfinite(endKnobValue))
        return { 0, 0 };
    // The preview shows image i from i/30 s to (i+1)/30 s and plays the times strictly inside
    // the trim range, so it shows every image whose span reaches into that range. The
    // tolerance keeps values such as 0.2 x 100 = 20.000000000000004 on their frame.
    const double n = static_cast<double>(count);
    constexpr double tolerance = 1e-9;
    const double first = std::floor(std::clamp(startKnobValue, 0.0, 1.0) * n + tolerance);
    const double end = std::ceil(std::clamp(endKnobValue, 0.0, 1.0) * n - tolerance);
    const long f = static_cast<long>(std::clamp(first, 0.0, n));
    const long e = static_cast<long>(std::clamp(end, 0.0, n));
    return { f, std::max(f, e) };
}

std::vector<MVRImageSourcePtr> MainWindowController::exportedImageSources() const
{
    const auto model = this->model();
    if (!model)
        return {};
    const auto& all = model->imageSources();
    auto track = trimTrackView();
    const double start = track ? track->startKnobValue() : 0.0;
    const double end = track ? track->endKnobValue() : 1.0;
    const auto [first, last] = trimmedRange(static_cast<long>(all.size()), start, end);
    std::vector<MVRImageSourcePtr> images(all.begin() + first, all.begin() + last);
    // The preview plays the model's list as it stands, backwards when reversed; the movie
    // holds the same frames in the same order.
    if (model->playDirectionTag() != Model::PlayDirectionTag::forward)
        std::reverse(images.begin(), images.end());
    return images;
}

// ---- the export job -------------------------------------------------------------------------

void MainWindowController::exportMovie(const foundation::URL& url, const std::string& codec, double scale,
                                       const media::Time& frameDuration, ExportCompletion completion)
{
    auto fail = [&](foundation::ErrorPtr error) {
        presentError(error);
        if (completion)
            dispatch::Queue::main()->async([completion, error] { completion(error); });
    };
    if (isExporting())
        return fail(exportError(foundation::localized("An export is already running.", "error description")));
    auto model = this->model();
    if (!url.isFileURL() || !MovieFormatForCodec(codec))
        return fail(exportError(foundation::localized("The movie format is not supported.", "error description")));
    MovieExport::Settings settings;
    settings.imageSources = exportedImageSources();
    if (settings.imageSources.empty())
        return fail(exportError(foundation::localized("There are no images in the trim range to export.", "error description")));
    // The sequence's own rate, as the importer's frame duration: 1000 / (fps x 1000) s.
    const double fps = model ? model->fps() : 0.0;
    const double timescale = std::trunc(fps * 1000.0);
    if (!(timescale >= 1.0 && timescale <= static_cast<double>(std::numeric_limits<int32_t>::max())))
        return fail(exportError(foundation::localized("The frame rate of the timelapse is not valid.", "error description")));
    settings.frameDuration = media::Time::make(1000, static_cast<int32_t>(timescale));
    settings.codec = codec;
    settings.scale = scale;
    settings.outputFrameDuration = frameDuration;
    // The output itself is not removed beforehand: the writer replaces it only with a
    // finished movie, so a failed or cancelled export leaves the user's file as it was.
    foundation::ErrorPtr error;
    auto movieExport = MovieExport::make(url, std::move(settings), &error);
    if (!movieExport)
        return fail(error ? error : exportError(foundation::localized("The movie could not be written.", "error description")));

    auto job = std::make_shared<ExportJob>();
    job->movieExport = movieExport;
    job->completion = std::move(completion);
    m_exportJob = job;
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    std::weak_ptr<ExportJob> weakJob = job;
    bool firstPass = true;
    movieExport->setPassHandler([weak, weakJob, firstPass](const foundation::ProgressPtr& progress) mutable {
        auto self = weak.lock();
        auto job = weakJob.lock();
        if (!self || !job)
            return;
        job->progress = progress;
        job->canceller = ProgressCanceller::make(progress);
        self->observeExportProgress(progress);
        if (firstPass) {
            firstPass = false;
            self->showProgress(foundation::localized("Exporting your timelapse", "progress caption"), job->canceller, "cancel");
        } else if (auto button = self->cancelButton()) {
            // The caption stays; the bar fills again for the second pass.
            button->setTarget(job->canceller);
            button->setAction("cancel");
        }
    });
    movieExport->start([weak, job](foundation::ErrorPtr error) {
        if (auto self = weak.lock())
            self->finishExport(job, error);
    });
}

void MainWindowController::observeExportProgress(const foundation::ProgressPtr& progress)
{
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    std::weak_ptr<foundation::Progress> weakProgress = progress;
    m_exportProgressObservation = progress->addObserver(
        "fractionCompleted", foundation::KeyValueObservingOptionNew, [weak, weakProgress](const foundation::KeyValueChange&) {
            // Reports come from the writer's queue; the window is touched on the main queue,
            // and only while this pass is still the running one.
            dispatch::Queue::main()->async([weak, weakProgress] {
                auto self = weak.lock();
                auto progress = weakProgress.lock();
                if (!self || !progress || !self->m_exportJob || self->m_exportJob->progress != progress)
                    return;
                self->progressDidAdvance(progress->fractionCompleted());
            });
        });
}

void MainWindowController::finishExport(const std::shared_ptr<ExportJob>& job, const foundation::ErrorPtr& error)
{
    if (m_exportJob == job)
        m_exportJob.reset();
    m_exportProgressObservation.remove();
    job->progress.reset();
    job->canceller.reset();
    job->movieExport.reset();
    leaveProgress();
    const auto waiting = std::move(m_afterStoppedExport);
    m_afterStoppedExport.clear();
    // Stopped on the way out: no alert about it, and the application goes on leaving.
    if (waiting.empty())
        presentError(error);
    if (auto completion = std::move(job->completion))
        completion(error);
    for (const auto& answer : waiting)
        answer(true);
}

// ---- leaving while an export runs --------------------------------------------------------------

std::shared_ptr<ui::Alert> MainWindowController::makeStopExportAlert()
{
    auto alert = ui::Alert::init();
    alert->setMessageText(foundation::localized("Stop exporting and quit?", "alert message"));
    alert->setInformativeText(foundation::localized(
        "Your timelapse is still being exported. If you quit now, the unfinished movie is deleted.", "alert message"));
    alert->addButtonWithTitle(foundation::localized("Stop and Quit", "alert button title"));
    alert->addButtonWithTitle(foundation::localized("Keep Exporting", "alert button title"))->setKeyEquivalent(ui::kEscapeKey);
    return alert;
}

void MainWindowController::confirmStopExport(std::function<void(bool)> answer)
{
    if (!isExporting()) {
        if (answer)
            answer(true);
        return;
    }
    m_stopExportAnswers.push_back(std::move(answer));
    if (m_stopExportAlert)
        return;
    m_stopExportAlert = makeStopExportAlert();
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    m_stopExportAlert->beginSheetModalForWindow(require(window(), "window"), [weak](ui::ModalResponse response) {
        auto self = weak.lock();
        if (!self)
            return;
        self->m_stopExportAlert.reset();
        auto answers = std::move(self->m_stopExportAnswers);
        self->m_stopExportAnswers.clear();
        const bool stop = response == ui::AlertFirstButtonReturn;
        if (!stop || !self->isExporting()) {
            // Kept on, or finished while the question was up: nothing is left to stop.
            for (const auto& a : answers)
                if (a)
                    a(stop);
            return;
        }
        for (auto& a : answers)
            if (a)
                self->m_afterStoppedExport.push_back(std::move(a));
        // The job deletes what it had written before it reports its end.
        self->runningExport()->cancel();
    });
}

bool MainWindowController::windowShouldClose(ui::Window& sender)
{
    if (!isExporting())
        return true;
    std::weak_ptr<ui::Window> weakWindow = sender.sharedAs<ui::Window>();
    confirmStopExport([weakWindow](bool stopped) {
        if (auto window = weakWindow.lock(); stopped && window)
            window->close();
    });
    return false;
}

// ---- commands -------------------------------------------------------------------------------

void MainWindowController::exportCommand(ui::Object*)
{
    auto model = this->model();
    if (isExporting() || !model || model->imageSources().empty())
        return;
    commitEdits(*this);
    auto settings = require(exportSettingsController(), "exportSettingsController");
    const auto first = model->imageSources().front();
    settings->setSize(first->size());
    settings->setScale(1.0);
    settings->setWindowForSheet(window());
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    settings->beginSheetWithCompletionHandler([weak](ui::ModalResponse response) {
        auto self = weak.lock();
        if (!self || response != ui::ModalResponseOK)
            return;
        auto model = self->model();
        auto settings = self->exportSettingsController();
        if (!model || model->imageSources().empty() || !settings)
            return;
        const std::string codec = settings->videoCodec();
        const double scale = settings->scale();
        const std::string extension = ui::Workspace::shared().preferredFilenameExtensionForType(settings->fileFormatUTI());
        auto panel = ui::SavePanel::savePanel();
        panel->setNameFieldStringValue(model->imageSources().front()->fileURL().URLByDeletingPathExtension().lastPathComponent()
                                       + "." + extension);
        panel->setAllowedFileTypes({ extension });
        panel->setAllowsOtherFileTypes(false);
        panel->setCanCreateDirectories(true);
        panel->setCanSelectHiddenExtension(true);
        panel->setExtensionHidden(false);
        panel->beginSheetModalForWindow(self->window(), [weak, panel, codec, scale](ui::ModalResponse response) {
            auto self = weak.lock();
            if (!self || response != ui::ModalResponseOK || !panel->URL())
                return;
            auto settings = self->exportSettingsController();
            const auto frameDuration = settings ? settings->frameDuration() : media::Time::invalid();
            const auto url = *panel->URL();
            self->exportMovie(url, codec, scale, frameDuration, [weak, url](foundation::ErrorPtr error) {
                if (auto self = weak.lock())
                    self->exportDidFinish(error, url);
            });
        });
    });
}

void MainWindowController::exportDidFinish(const foundation::ErrorPtr& error, const foundation::URL& url)
{
    if (!error && m_notificationHandler) {
        std::string info = foundation::localized("Your timelapse has been exported to %@", "notification info");
        const auto at = info.find("%@");
        if (at != std::string::npos)
            info.replace(at, 2, url.lastPathComponent());
        m_notificationHandler(foundation::localized("Export Complete", "notification title"), info, url);
    }
    ReviewRequestController::incrementExportCount();
    ReviewRequestController::setNeedsToShowLoveRequest();
    ReviewRequestController::showLoveRequestIfNeeded();
}

void MainWindowController::exportToStillara(ui::Object*)
{
    auto model = this->model();
    if (isExporting() || !model || model->imageSources().empty())
        return;
    auto& workspace = ui::Workspace::shared();
    if (!workspace.fullPathForApplication(MVRStillaraApplicationName)) {
        if (auto page = foundation::URL::URLWithString(MVRStillaraProductPageURL))
            workspace.openURL(*page);
        return;
    }
    const auto name = model->imageSources().front()->fileURL().URLByDeletingPathExtension().lastPathComponent() + ".mov";
    const auto url = temporaryFolder().URLByAppendingPathComponent(name);
    const auto& codec = DeviceCapabilities::isHEVCEncodingEnabled() ? media::AVVideoCodecTypeHEVC : media::AVVideoCodecTypeH264;
    exportMovie(url, codec, 1.0, media::Time::invalid(), [url](foundation::ErrorPtr error) {
        if (!error)
            ui::Workspace::shared().openFile(url.path(), MVRStillaraApplicationName);
    });
}
