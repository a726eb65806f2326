#include "Quintor/PreviewController.h"

#include <cmath>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Application.h"
#include "Quintor/ProgressCanceller.h"

const std::string MVRPreviewCreatedNotification = "MVRPreviewCreatedNotification";
const std::string MVRPlayPositionChanged = "MVRPlayPositionChanged";

using foundation::Notification;
using foundation::NotificationCenter;
using media::Time;

std::optional<double> MVRPlayPosition(const Notification& notification)
{
    if (notification.name != MVRPlayPositionChanged || !notification.objectRef)
        return std::nullopt;
    return *notification.objectAs<double>();
}

std::optional<PlayerDirection> PlayerDirectionFromRawValue(float rawValue)
{
    if (rawValue == 0.0f)
        return PlayerDirection::forward;
    if (rawValue == 1.0f)
        return PlayerDirection::reverse;
    return std::nullopt;
}

float PlayerDirectionRawValue(PlayerDirection direction)
{
    return direction == PlayerDirection::forward ? 0.0f : 1.0f;
}

// One rebuild's reasons. Requests that arrive while a rebuild runs fold into one of these.
struct PreviewController::Request {
    // The frame-rate estimate of a new sequence, applied when the rebuild starts.
    std::optional<double> fps;
    // The list from before the earliest addition this rebuild covers; "Add Items" restores it.
    std::optional<std::vector<MVRImageSourcePtr>> listBeforeAddition;
    // The ordering from before the earliest re-ordering this rebuild covers.
    std::optional<Model::SortTag> sortTagBefore;
    // The list the rebuild turns into a movie, as it was when the rebuild started.
    std::vector<MVRImageSourcePtr> imageSources;

    void merge(const Request& later)
    {
        if (later.fps)
            fps = later.fps;
        if (!listBeforeAddition)
            listBeforeAddition = later.listBeforeAddition;
        if (!sortTagBefore)
            sortTagBefore = later.sortTagBefore;
    }
};

namespace {

bool applicationIsActive()
{
    return ui::Application::shared()->isActive();
}

double secondsOrZero(const Time& time)
{
    const double seconds = time.seconds();
    return std::isfinite(seconds) ? seconds : 0.0;
}

} // namespace

std::shared_ptr<PreviewController> PreviewController::init()
{
    return std::shared_ptr<PreviewController>(new PreviewController());
}

PreviewController::~PreviewController()
{
    m_modelObservations.clear();
    m_progressObservation.remove();
    m_endObservation.remove();
    m_statusObservation.remove();
    if (auto player = m_observedPlayer.lock(); player && m_timeObserverToken)
        player->removeTimeObserver(m_timeObserverToken);
}

const foundation::KeyTable& PreviewController::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable keys = Observable::observableKeys();
        keys.key("duration", &PreviewController::duration, &PreviewController::setDuration);
        return keys;
    }();
    return table;
}

void PreviewController::setDuration(double seconds)
{
    willChange("duration");
    m_duration = seconds;
    didChange("duration");
}

namespace {

foundation::URL previewFolder(foundation::TemporaryFolderPtr& folder)
{
    // Two windows, or two processes, never write one another's preview.
    if (!folder)
        folder = foundation::TemporaryFolder::make("qtrPreview");
    return folder ? folder->url() : foundation::FileManager::defaultManager().temporaryDirectory();
}

} // namespace

foundation::URL PreviewController::previewURL()
{
    return previewFolder(m_folder).URLByAppendingPathComponent("qtr.mov");
}

foundation::URL PreviewController::temporaryPreviewURL()
{
    return previewFolder(m_folder).URLByAppendingPathComponent("qtrtemp.mov");
}

std::shared_ptr<Model> PreviewController::requireModel() const
{
    auto model = m_model.lock();
    if (!model)
        foundation::fatal("PreviewController: the model is not connected");
    return model;
}

media::PlayerPtr PreviewController::player() const
{
    auto view = m_playerView.lock();
    if (!view)
        foundation::fatal("PreviewController: the player view is not connected");
    return view->player();
}

float PreviewController::signedRate() const
{
    return m_playerDirection == PlayerDirection::reverse ? -m_playerRate : m_playerRate;
}

void PreviewController::viewDidLoad()
{
    ViewController::viewDidLoad();
    std::weak_ptr<PreviewController> weak = sharedAs<PreviewController>();
    auto& center = NotificationCenter::defaultCenter();
    // Once only, however often the view is said to have loaded: a second registration would
    // start every rebuild twice.
    m_modelObservations.clear();
    for (const std::string& name : {MVRImageSequenceChanged, MVRImageSequenceSorted, MVRRegeneratePreviewNotification}) {
        m_modelObservations.push_back(center.addObserver(name, nullptr, nullptr, [weak](const Notification& n) {
            if (auto self = weak.lock())
                self->createPreview(&n);
        }));
    }
    m_modelObservations.push_back(center.addObserver(MVRSpeedChanged, nullptr, nullptr, [weak](const Notification& n) {
        if (auto self = weak.lock())
            self->updatePreviewSpeed(&n);
    }));
}

// ---- rebuilding the preview movie ------------------------------------------------------------

void PreviewController::createPreview(const Notification* notification)
{
    auto model = requireModel();
    auto request = std::make_shared<Request>();
    if (notification && notification->name == MVRImageSequenceChanged) {
        request->fps = MVRImageSequenceEstimatedFps(*notification);
        // A change made by undo or redo has its inverse registered already; only an addition
        // gets an "Add Items" entry.
        auto undo = model->undoManager();
        if (!undo || !(undo->isUndoing() || undo->isRedoing()))
            request->listBeforeAddition = model->previousImageSources();
    } else if (notification && notification->name == MVRImageSequenceSorted) {
        request->sortTagBefore = model->previousSortItemTag();
    }
    if (m_isCreatingPreview) {
        // Built as soon as the running rebuild ends, so the preview catches up with the model.
        if (m_pendingRequest)
            m_pendingRequest->merge(*request);
        else
            m_pendingRequest = request;
        return;
    }
    startRebuild(std::move(request));
}

void PreviewController::startRebuild(std::shared_ptr<Request> request)
{
    auto model = requireModel();
    m_isCreatingPreview = true;
    if (auto p = player()) {
        stopObservingPlayer();
        p->pause();
    }
    const size_t count = model->imageSources().size();
    m_playerRate = static_cast<float>(model->fps()) / 30.0f;

    // The estimate of a new sequence is no user change: it leaves no "FPS Change" entry.
    auto undo = model->undoManager();
    if (undo)
        undo->disableUndoRegistration();
    if (request->fps)
        model->setFps(std::round(*request->fps * 100.0) / 100.0);
    if (undo)
        undo->enableUndoRegistration();

    if (count < 1) {
        m_isCreatingPreview = false;
        return;
    }
    if (!m_buildsPreview) {
        // The addition that led here showed the progress display; nothing follows it now.
        m_isCreatingPreview = false;
        m_previewedImageSources = model->imageSources();
        model->setPreviousImageSources({});
        if (auto host = m_mainWindowController.lock())
            host->leaveProgress();
        return;
    }

    request->imageSources = model->imageSources();
    auto importer = MVRImageSequenceImporter::initWithImageSources(request->imageSources, 1.0);
    importer->setFrameDuration(Time::make(1, 30));
    importer->setMaxPixelSize(previewMaxPixelSize);
    const foundation::URL outputURL = temporaryPreviewURL();
    foundation::FileManager::defaultManager().removeItemAtURL(outputURL);

    auto host = m_mainWindowController.lock();
    if (!host)
        foundation::fatal("PreviewController: the main window controller is not connected");
    foundation::ProgressPtr progress = importer->progress();
    m_importer = importer;
    m_cancelTarget = ProgressCanceller::make(progress);
    host->showProgress(foundation::localized("Creating preview", "progress caption"), m_cancelTarget, "cancel");

    std::weak_ptr<PreviewController> weak = sharedAs<PreviewController>();
    importer->importAsynchronouslyWithOutputURL(
        outputURL, [weak, progress, request](std::optional<foundation::URL> url, foundation::ErrorPtr error) {
            auto self = weak.lock();
            if (!self)
                return;
            self->m_progressObservation.remove();
            // Runs after the main-queue work in hand, as every other completion does.
            dispatch::Queue::main()->async([weak, url, error, progress, request] {
                if (auto self = weak.lock())
                    self->previewImportDidFinish(url, error, progress, request);
            });
        });
    m_progressObservation = progress->addObserver(
        "fractionCompleted", foundation::KeyValueObservingOptionNew, [weak, progress](const foundation::KeyValueChange&) {
            dispatch::Queue::main()->async([weak, progress] {
                auto self = weak.lock();
                // A report that arrives after the import ended must not revive the display.
                if (!self || !self->m_importer || self->m_importer->progress() != progress)
                    return;
                if (auto host = self->m_mainWindowController.lock())
                    host->progressDidAdvance(progress->fractionCompleted());
            });
        });
}

void PreviewController::previewImportDidFinish(std::optional<foundation::URL> url, foundation::ErrorPtr error,
                                               foundation::ProgressPtr progress, std::shared_ptr<Request> request)
{
    m_isCreatingPreview = false;
    m_importer.reset();
    m_cancelTarget.reset();
    auto model = requireModel();
    auto host = m_mainWindowController.lock();
    if (!host)
        foundation::fatal("PreviewController: the main window controller is not connected");

    const bool cancelled = progress && progress->isCancelled();
    if (url && !error && !cancelled) {
        if (request->listBeforeAddition)
            model->registerImageSourcesUndo(*request->listBeforeAddition,
                                            foundation::localized("Add Items", "undo action name"));
        auto& files = foundation::FileManager::defaultManager();
        foundation::URL location = previewURL();
        files.removeItemAtURL(location);
        // Should the move fail, the new movie is played where it is rather than a stale one.
        if (!files.moveItemAtURL(*url, location))
            location = *url;
        if (auto view = m_playerView.lock())
            view->setPlayer(media::Player::playerWithURL(location));
        m_previewedImageSources = request->imageSources;
        NotificationCenter::defaultCenter().post(MVRPreviewCreatedNotification);
        model->setPreviousImageSources({});
        host->leaveProgress();
        resumeInstalledPlayer();
        if (auto next = std::move(m_pendingRequest)) {
            m_pendingRequest.reset();
            startRebuild(std::move(next));
        }
        return;
    }

    // Cancelled or failed: whatever arrived meanwhile is undone with it.
    if (m_pendingRequest) {
        if (!request->sortTagBefore)
            request->sortTagBefore = m_pendingRequest->sortTagBefore;
        m_pendingRequest.reset();
    }
    const bool wasEmpty = model->imageSources().empty();
    restorePreviewedState(request);
    if (!cancelled && error)
        host->presentError(error);
    model->setPreviousImageSources({});
    host->leaveProgress();
    if (!cancelled && !wasEmpty && model->imageSources().empty())
        NotificationCenter::defaultCenter().post(MVRImageSequenceCleared);
    resumeInstalledPlayer();
}

void PreviewController::restorePreviewedState(const std::shared_ptr<Request>& request)
{
    auto model = requireModel();
    model->setImageSources(m_previewedImageSources);
    if (request->sortTagBefore)
        model->setSortItemTag(*request->sortTagBefore);
}

void PreviewController::resumeInstalledPlayer()
{
    auto p = player();
    if (!p || requireModel()->imageSources().empty())
        return;
    startObservingPlayer();
    p->setRate(signedRate());
    if (!applicationIsActive())
        p->pause();
}

// ---- playback --------------------------------------------------------------------------------

Time PreviewController::trimTime(double fraction) const
{
    auto p = player();
    auto item = p ? p->currentItem() : nullptr;
    const Time duration = item ? item->duration() : Time::make(0, 600);
    return media::multiplyByFloat64(duration, fraction);
}

void PreviewController::updatePlayerRate()
{
    if (auto p = player())
        p->setRate(signedRate());
}

void PreviewController::play()
{
    if (auto p = player()) {
        p->play();
        p->setRate(signedRate());
    }
}

void PreviewController::togglePlayPause()
{
    auto p = player();
    if (p && p->rate() != 0.0f)
        p->pause();
    else
        play();
}

void PreviewController::seek(double position)
{
    auto p = player();
    if (!p)
        return;
    p->seekToTime(trimTime(position), Time::zero(), Time::zero());
}

void PreviewController::removePlayer()
{
    // The movie being built belongs to the list that is going away.
    if (m_importer)
        m_importer->progress()->cancel();
    m_pendingRequest.reset();
    stopObservingPlayer();
    if (auto p = player())
        p->pause();
    if (auto view = m_playerView.lock())
        view->setPlayer(nullptr);
    m_previewedImageSources.clear();
    setDuration(0.0);
}

Time PreviewController::trimmedDuration() const
{
    const Time difference = media::subtract(trimTime(m_endKnobValue), trimTime(m_startKnobValue));
    if (difference.isNumeric())
        return difference;
    auto p = player();
    auto item = p ? p->currentItem() : nullptr;
    const Time whole = item ? item->duration() : Time::make(0, 600);
    return whole.isNumeric() ? whole : Time::make(0, 600);
}

void PreviewController::updatePreviewSpeed(const Notification*)
{
    auto model = requireModel();
    if (model->imageSources().empty() || m_isCreatingPreview)
        return;
    const double fps = model->fps();
    m_playerRate = static_cast<float>(fps / 30.0);
    if (auto p = player())
        p->setRate(signedRate());
    refreshDuration();
}

void PreviewController::refreshDuration()
{
    auto model = requireModel();
    if (model->imageSources().empty() || m_isCreatingPreview)
        return;
    setDuration(30.0 / model->fps() * secondsOrZero(trimmedDuration()));
}

void PreviewController::updateDuration(ui::Object*)
{
    auto model = requireModel();
    const double d = m_duration;
    const double trimmed = secondsOrZero(trimmedDuration());
    model->setFps(d > 0 ? 30.0 / d * trimmed : 30.0);
    if (model->fps() < 1.0) {
        model->setFps(1.0);
        setDuration(trimmed * 30.0 / 1.0);
    }
    if (model->fps() > 240.0) {
        model->setFps(240.0);
        setDuration(trimmed * 30.0 / 240.0);
    }
}

void PreviewController::playerItemDidReachEnd(const Notification*)
{
    auto p = player();
    if (!p)
        return;
    const Time loopPoint = m_playerDirection == PlayerDirection::reverse ? trimTime(m_endKnobValue)
                                                                         : trimTime(m_startKnobValue);
    p->seekToTime(loopPoint, Time::zero(), Time::zero());
    p->play();
    p->setRate(signedRate());
    removePeriodicTimeObserver();
    addPeriodicTimeObserver();
}

void PreviewController::startObservingPlayer()
{
    auto view = m_playerView.lock();
    auto p = view ? view->player() : nullptr;
    if (!p)
        return;
    std::weak_ptr<PreviewController> weak = sharedAs<PreviewController>();
    if (!m_isObservingPlayer) {
        m_observedItem = p->currentItem();
        m_endObservation = NotificationCenter::defaultCenter().addObserver(
            media::AVPlayerItemDidPlayToEndTimeNotification, m_observedItem.get(), nullptr, [weak](const Notification& n) {
                if (auto self = weak.lock())
                    self->playerItemDidReachEnd(&n);
            });
        m_statusObservation = view->addObserver("player.currentItem.status", foundation::KeyValueObservingOptionNew,
                                                [weak](const foundation::KeyValueChange&) {
                                                    dispatch::Queue::main()->async([weak] {
                                                        if (auto self = weak.lock())
                                                            self->updatePreviewSpeed(nullptr);
                                                    });
                                                });
    }
    addPeriodicTimeObserver();
    m_isObservingPlayer = true;
}

void PreviewController::stopObservingPlayer()
{
    if (m_isObservingPlayer) {
        m_endObservation.remove();
        m_statusObservation.remove();
        m_observedItem.reset();
    }
    removePeriodicTimeObserver();
    m_isObservingPlayer = false;
}

void PreviewController::addPeriodicTimeObserver()
{
    auto p = player();
    if (!p)
        return;
    // One observer at a time: a second would report every position twice.
    removePeriodicTimeObserver();
    std::weak_ptr<PreviewController> weak = sharedAs<PreviewController>();
    m_timeObserverToken = p->addPeriodicTimeObserverForInterval(Time::make(60, 600), dispatch::Queue::main(),
                                                                [weak](const Time& time) {
                                                                    if (auto self = weak.lock())
                                                                        self->periodicTimeObserverFired(time);
                                                                });
    m_observedPlayer = p;
}

void PreviewController::removePeriodicTimeObserver()
{
    if (!m_timeObserverToken)
        return;
    if (auto p = m_observedPlayer.lock())
        p->removeTimeObserver(m_timeObserverToken);
    m_timeObserverToken.reset();
    m_observedPlayer.reset();
}

void PreviewController::periodicTimeObserverFired(const Time& time)
{
    auto p = player();
    if (!p)
        return;
    auto item = p->currentItem();
    const Time duration = item ? item->duration() : Time::make(0, 600);
    double position = time.seconds() / duration.seconds();
    if (!std::isfinite(position))
        position = 0.0; // no movie length yet: the playhead stays at the start
    NotificationCenter::defaultCenter().post(MVRPlayPositionChanged, std::make_shared<double>(position));

    const Time start = trimTime(m_startKnobValue);
    const Time end = trimTime(m_endKnobValue);
    if (p->rate() == 0.0f)
        return;
    if (time <= start || time >= end)
        p->seekToTime(m_playerDirection == PlayerDirection::forward ? start : end, Time::zero(), Time::zero());
    if (p->rate() != signedRate()) {
        p->setRate(signedRate());
        if (!applicationIsActive())
            p->pause();
    }
}
