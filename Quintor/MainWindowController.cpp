#include "Quintor/MainWindowController.h"

#include <cstdio>

#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/SavePanel.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"
#include "Quintor/ExportSettingsController.h"
#include "Quintor/FlipBookView.h"

namespace {

template <class T> std::shared_ptr<T> require(const std::shared_ptr<T>& outlet, const char* name)
{
    if (!outlet)
        foundation::fatal(std::string("MainWindowController: the outlet ") + name + " is not connected.");
    return outlet;
}

std::string localizedUndoName(const std::string& text)
{
    return foundation::localized(text, "undo action name");
}

} // namespace

std::shared_ptr<MainWindowController> MainWindowController::init()
{
    return std::shared_ptr<MainWindowController>(new MainWindowController());
}

MainWindowController::MainWindowController()
{
    registerActions();
}

MainWindowController::~MainWindowController() = default;

void MainWindowController::registerActions()
{
    // The handlers run only while the controller is alive: it owns them.
    registerAction("addImages:", [this](ui::Object* sender) { addImages(sender); });
    registerAction("togglePlayPause:", [this](ui::Object* sender) { togglePlayPause(sender); });
    registerAction("togglePlayDirection:", [this](ui::Object* sender) { togglePlayDirection(sender); });
    registerAction("changeSort:", [this](ui::Object* sender) { changeSort(sender); });
    registerAction("resetTrimRange:", [this](ui::Object* sender) { resetTrimRange(sender); });
    registerAction("removeAllItems:", [this](ui::Object* sender) { removeAllItems(sender); });
    registerAction("export:", [this](ui::Object* sender) { exportCommand(sender); });
    registerAction("exportToStillara:", [this](ui::Object* sender) { exportToStillara(sender); });
}

void MainWindowController::loadWindow()
{
    foundation::ErrorPtr error;
    auto objects = ui::InterfaceRegistry::loadFile(windowNibName(), shared_from_this(), &error);
    if (!objects)
        foundation::fatal("MainWindowController: " + error->localizedDescription());
    // The outlets are weak: the file's top-level objects (the content views that are not on
    // screen, the preview and the settings sheet) live as long as the controller.
    m_interfaceObjects = std::move(*objects);
}

void MainWindowController::setModel(const ModelPtr& model)
{
    m_model = model;
    if (!model)
        return;
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    model->setUndoManagerProvider([weak]() -> std::shared_ptr<foundation::UndoManager> {
        auto self = weak.lock();
        return self && self->isWindowLoaded() ? self->window()->undoManager() : nullptr;
    });
    if (auto preview = previewController())
        preview->setModel(model);
    // A window loaded before the model came binds its speed controls now.
    if (auto slider = speedSlider())
        slider->bind(ui::NSValueBinding, model, "fps");
    if (auto field = fpsTextField())
        field->bind(ui::NSValueBinding, model, "fps");
}

void MainWindowController::addImagesAt(const std::vector<foundation::URL>& urls)
{
    // The progress display belongs to the export until it ends.
    if (m_addImagesHandler && !urls.empty() && !isExporting())
        m_addImagesHandler(urls);
}

void MainWindowController::setSunScapeView(const std::shared_ptr<FlipBookView>& view)
{
    m_sunScapeView = view;
    if (!view)
        return;
    std::vector<ui::ImagePtr> frames;
    frames.reserve(362);
    for (int i = 0; i < 362; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "SunScapeAnimation%03d", i);
        auto image = ui::Image::imageNamed(name);
        if (!image)
            foundation::fatal(std::string("MainWindowController: the application's image ") + name + " is missing.");
        frames.push_back(std::move(image));
    }
    view->setImages(std::move(frames));
}

// ---- window ---------------------------------------------------------------------------------

void MainWindowController::windowDidLoad()
{
    ui::WindowController::windowDidLoad();
    auto w = require(window(), "window");
    // Asked before the window closes while an export runs.
    w->setDelegate(std::static_pointer_cast<ui::WindowDelegate>(sharedAs<MainWindowController>()));
    mvr_setDarkAppearance(*w);
    // These controls keep their light look in the dark window.
    const auto aqua = ui::Appearance::appearanceNamed(ui::NSAppearanceNameAqua);
    require(speedSlider(), "speedSlider")->setAppearance(aqua);
    require(exportButton(), "exportButton")->setAppearance(aqua);
    require(browseButton(), "browseButton")->setAppearance(aqua);
    require(progressIndicator(), "progressIndicator")->setAppearance(aqua);
    const auto digits = ui::Font::monospacedDigitSystemFontOfSize(13.0, ui::FontWeight::regular);
    require(durationTextField(), "durationTextField")->setFont(digits);
    require(fpsTextField(), "fpsTextField")->setFont(digits);

    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    auto& center = foundation::NotificationCenter::defaultCenter();
    m_observations.push_back(center.addObserver(MVRPlayPositionChanged, nullptr, nullptr, [weak](const foundation::Notification& n) {
        if (auto self = weak.lock())
            self->updatePlayhead(n);
    }));
    m_observations.push_back(center.addObserver(MVRPreviewCreatedNotification, nullptr, nullptr, [weak](const foundation::Notification& n) {
        if (auto self = weak.lock())
            self->updateViews(&n);
    }));
    m_observations.push_back(center.addObserver(MVRImageSequenceCleared, nullptr, nullptr, [weak](const foundation::Notification& n) {
        if (auto self = weak.lock())
            self->imageSequenceCleared(n);
    }));
    // Held weakly: the track belongs to this controller's window, and a strong reference back
    // would keep both alive for good.
    require(trimTrackView(), "trimTrackView")->setGestureHandler([weak](double value, ChangedItem item, ChangeGesture gesture) {
        if (auto self = weak.lock())
            self->handleTrimGesture(value, item, gesture);
    });
    updateViews();
}

std::shared_ptr<foundation::UndoManager> MainWindowController::undoManager()
{
    return require(window(), "window")->undoManager();
}

void MainWindowController::updateViews(const foundation::Notification*)
{
    const auto model = this->model();
    const long count = model ? static_cast<long>(model->imageSources().size()) : 0;
    require(trimTrackView(), "trimTrackView")->setStopCount(count);
    ui::ViewPtr view = require(dragAndDropView(), "dragAndDropView");
    if (count >= 1)
        view = require(editView(), "editView");
    if (!m_hideProgress)
        view = require(progressView(), "progressView");
    auto w = require(window(), "window");
    auto current = w->contentView();
    if (current == view)
        return;
    if (current)
        view->setFrame(current->frame());
    w->setContentView(view);
}

void MainWindowController::imageSequenceCleared(const foundation::Notification& notification)
{
    // However the sequence was emptied (Remove All, undoing the first addition), the preview
    // lets go of the movie of the images that are gone: it would otherwise play on behind the
    // empty window, and a later build that is cancelled would bring those images back.
    const auto model = this->model();
    if (!model || model->imageSources().empty())
        require(previewController(), "previewController")->removePlayer();
    updateViews(&notification);
}

void MainWindowController::updatePlayhead(const foundation::Notification& notification)
{
    const auto position = MVRPlayPosition(notification);
    if (!position)
        return;
    auto track = require(trimTrackView(), "trimTrackView");
    track->setPlayheadValue(*position);
    track->wrapPlayheadIntoRange();
}

// ---- progress display ------------------------------------------------------------------------

void MainWindowController::setProgressMessage(std::string message)
{
    willChange("progressMessage");
    m_progressMessage = std::move(message);
    didChange("progressMessage");
}

void MainWindowController::setProgressValue(double value)
{
    willChange("progressValue");
    m_progressValue = value;
    didChange("progressValue");
}

void MainWindowController::setIsIndeterminateProgress(bool value)
{
    willChange("isIndeterminateProgress");
    m_isIndeterminateProgress = value;
    didChange("isIndeterminateProgress");
}

void MainWindowController::showProgress(const std::string& message, const std::shared_ptr<ui::Object>& target,
                                        const std::string& action)
{
    setProgressValue(0.0);
    setIsIndeterminateProgress(true);
    setProgressMessage(message);
    auto button = require(cancelButton(), "cancelButton");
    button->setTarget(target);
    button->setAction(action);
    button->setEnabled(false);
    m_hideProgress = false;
    updateViews();
    require(sunScapeView(), "sunScapeView")->startAnimation();
}

void MainWindowController::progressDidAdvance(double fraction)
{
    auto button = require(cancelButton(), "cancelButton");
    button->setEnabled(button->target() != nullptr && !button->action().empty());
    setIsIndeterminateProgress(false);
    setProgressValue(fraction);
}

void MainWindowController::leaveProgress()
{
    require(sunScapeView(), "sunScapeView")->stopAnimation();
    m_hideProgress = true;
    updateViews();
    setProgressValue(0.0);
    setProgressMessage("");
}

void MainWindowController::presentError(const foundation::ErrorPtr& error)
{
    // The user who cancelled needs no alert to tell them so.
    if (!error || error->isUserCancelled())
        return;
    require(window(), "window")->presentError(error);
}

// ---- trim -----------------------------------------------------------------------------------

void MainWindowController::handleTrimGesture(double value, ChangedItem item, ChangeGesture gesture)
{
    auto preview = require(previewController(), "previewController");
    auto pausePlayer = [&] {
        if (auto view = preview->playerView(); view && view->player())
            view->player()->pause();
    };
    switch (gesture) {
    case ChangeGesture::panBegan:
        pausePlayer();
        m_originalStartKnobValue = preview->startKnobValue();
        m_originalEndKnobValue = preview->endKnobValue();
        break;
    case ChangeGesture::panChanged:
        preview->seek(value);
        if (item == ChangedItem::startKnob)
            preview->setStartKnobValue(value);
        else if (item == ChangedItem::endKnob)
            preview->setEndKnobValue(value);
        preview->updatePreviewSpeed(nullptr);
        break;
    case ChangeGesture::panEnded:
        if (item == ChangedItem::startKnob || item == ChangedItem::endKnob) {
            if (auto undo = undoManager()) {
                undo->setActionName(localizedUndoName("Trim Range Change"));
                const bool start = item == ChangedItem::startKnob;
                const double original = start ? m_originalStartKnobValue : m_originalEndKnobValue;
                undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [start, original](MainWindowController& self) {
                    auto p = require(self.previewController(), "previewController");
                    if (start)
                        self.setTrimRange(original, p->endKnobValue());
                    else
                        self.setTrimRange(p->startKnobValue(), original);
                });
            }
        }
        preview->play();
        break;
    case ChangeGesture::clicked:
        pausePlayer();
        preview->seek(value);
        preview->play();
        break;
    }
}

void MainWindowController::setTrimRange(double start, double end)
{
    auto preview = require(previewController(), "previewController");
    auto track = require(trimTrackView(), "trimTrackView");
    if (auto undo = undoManager()) {
        const double oldStart = preview->startKnobValue();
        const double oldEnd = preview->endKnobValue();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldStart, oldEnd](MainWindowController& self) {
            self.setTrimRange(oldStart, oldEnd);
        });
    }
    track->setStartKnobValue(start);
    preview->setStartKnobValue(start);
    track->setEndKnobValue(end);
    preview->setEndKnobValue(end);
    // Undo, redo and reset change the range without a drag: the duration shown follows.
    preview->refreshDuration();
}

void MainWindowController::resetTrimRange(ui::Object*)
{
    auto preview = require(previewController(), "previewController");
    auto track = require(trimTrackView(), "trimTrackView");
    if (auto undo = undoManager()) {
        undo->setActionName(localizedUndoName("Reset Trim Range"));
        const double oldStart = preview->startKnobValue();
        const double oldEnd = preview->endKnobValue();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldStart, oldEnd](MainWindowController& self) {
            self.setTrimRange(oldStart, oldEnd);
        });
    }
    track->setStartKnobValue(0.0);
    preview->setStartKnobValue(0.0);
    track->setEndKnobValue(1.0);
    preview->setEndKnobValue(1.0);
    preview->refreshDuration();
}

// ---- commands -------------------------------------------------------------------------------

void MainWindowController::addImages(ui::Object*)
{
    auto panel = ui::OpenPanel::openPanel();
    panel->setCanChooseFiles(true);
    panel->setCanChooseDirectories(true);
    panel->setAllowsMultipleSelection(true);
    panel->setCanCreateDirectories(false);
    panel->setResolvesAliases(true);
    panel->setAllowedFileTypes({ "public.image" });
    std::weak_ptr<MainWindowController> weak = sharedAs<MainWindowController>();
    panel->beginSheetModalForWindow(require(window(), "window"), [weak, panel](ui::ModalResponse response) {
        auto self = weak.lock();
        if (self && response == ui::ModalResponseOK)
            self->addImagesAt(panel->URLs());
    });
}

void MainWindowController::togglePlayPause(ui::Object*)
{
    require(previewController(), "previewController")->togglePlayPause();
}

void MainWindowController::togglePlayDirection(ui::Object*)
{
    auto model = require(this->model(), "model");
    auto preview = require(previewController(), "previewController");
    if (auto undo = undoManager()) {
        undo->setActionName(localizedUndoName("Reverse"));
        const Model::PlayDirectionTag oldTag = model->playDirectionTag();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldTag](MainWindowController& self) {
            self.setPlayDirection(oldTag);
        });
    }
    if (model->playDirectionTag() == Model::PlayDirectionTag::forward) {
        model->setPlayDirectionTag(Model::PlayDirectionTag::reverse);
        preview->setPlayerDirection(PlayerDirection::reverse);
    } else {
        model->setPlayDirectionTag(Model::PlayDirectionTag::forward);
        preview->setPlayerDirection(PlayerDirection::forward);
    }
    preview->updatePlayerRate();
}

void MainWindowController::setPlayDirection(Model::PlayDirectionTag tag)
{
    auto model = require(this->model(), "model");
    auto preview = require(previewController(), "previewController");
    // Redo of a Reverse: the undo of this call brings the direction back again.
    if (auto undo = undoManager(); undo && (undo->isUndoing() || undo->isRedoing())) {
        const Model::PlayDirectionTag oldTag = model->playDirectionTag();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldTag](MainWindowController& self) {
            self.setPlayDirection(oldTag);
        });
    }
    model->setPlayDirectionTag(tag);
    preview->setPlayerDirection(tag == Model::PlayDirectionTag::forward ? PlayerDirection::forward : PlayerDirection::reverse);
    preview->updatePlayerRate();
}

void MainWindowController::changeSort(ui::Object* sender)
{
    long tag = 0;
    if (auto* item = dynamic_cast<ui::UserInterfaceItem*>(sender))
        tag = item->tag();
    changeSort(ui::tagAs<Model::SortTag>(tag));
}

void MainWindowController::changeSort(Model::SortTag tag)
{
    auto model = require(this->model(), "model");
    if (isExporting() || model->sortItemTag() == tag)
        return;
    if (auto undo = undoManager()) {
        undo->setActionName(tag == Model::SortTag::byName ? localizedUndoName("Sort by Name") : localizedUndoName("Sort by Date"));
        const Model::SortTag oldTag = model->sortItemTag();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldTag](MainWindowController& self) {
            self.applySort(oldTag);
        });
    }
    model->setPreviousImageSources(model->imageSources());
    model->setPreviousSortItemTag(model->sortItemTag());
    model->setSortItemTag(tag);
    model->sortImageSources(true);
}

void MainWindowController::applySort(Model::SortTag tag)
{
    auto model = require(this->model(), "model");
    if (model->sortItemTag() == tag)
        return;
    // Undo and redo of a sort alternate: each registers the way back.
    if (auto undo = undoManager(); undo && (undo->isUndoing() || undo->isRedoing())) {
        const Model::SortTag oldTag = model->sortItemTag();
        undo->registerUndo<MainWindowController>(sharedAs<MainWindowController>(), [oldTag](MainWindowController& self) {
            self.applySort(oldTag);
        });
    }
    model->setPreviousImageSources(model->imageSources());
    model->setPreviousSortItemTag(model->sortItemTag());
    model->setSortItemTag(tag);
    model->sortImageSources(true);
}

void MainWindowController::removeAllItems(ui::Object* sender)
{
    if (isExporting())
        return;
    auto model = require(this->model(), "model");
    auto undo = undoManager();
    if (undo)
        undo->beginUndoGrouping();
    resetTrimRange(sender);
    require(previewController(), "previewController")->removePlayer();
    model->setImageSources({});
    foundation::NotificationCenter::defaultCenter().post(MVRImageSequenceCleared);
    if (undo)
        undo->endUndoGrouping();
}

// ---- validation -----------------------------------------------------------------------------

bool MainWindowController::validateUserInterfaceItem(const ui::UserInterfaceItem& item)
{
    const auto model = this->model();
    const bool hasImages = model && !model->imageSources().empty();
    const std::string action = item.action();
    if (action == "removeAllItems:" || action == "export:" || action == "exportToStillara:")
        return hasImages && !isExporting();
    if (action == "changeSort:" || action == "addImages:")
        return !isExporting();
    if (action == "resetTrimRange:" || action == "togglePlayPause:")
        return hasImages;
    return true;
}

bool MainWindowController::validateMenuItem(ui::MenuItem& item)
{
    const std::string action = item.action();
    if (action == "togglePlayPause:") {
        const auto model = this->model();
        const bool hasImages = model && !model->imageSources().empty();
        bool playing = false;
        if (auto preview = previewController(); preview && hasImages) {
            if (auto view = preview->playerView(); view && view->player())
                playing = view->player()->rate() != 0.0f;
        }
        item.setTitle(foundation::localized(playing ? "Pause" : "Play", "menu item title"));
        item.setImage(ui::Image::imageNamed(playing ? "PauseMenuIconTemplate" : "PlayMenuIconTemplate"));
    } else if (action == "changeSort:") {
        const auto model = this->model();
        item.setState(model && model->sortItemTag() == ui::tagAs<Model::SortTag>(item.tag()) ? ui::ControlStateValueOn : ui::ControlStateValueOff);
    }
    return validateUserInterfaceItem(item);
}

const foundation::KeyTable& MainWindowController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("progressMessage", &MainWindowController::progressMessage, &MainWindowController::setProgressMessage)
            .key("progressValue", &MainWindowController::progressValue, &MainWindowController::setProgressValue)
            .key("isIndeterminateProgress", &MainWindowController::isIndeterminateProgress,
                 &MainWindowController::setIsIndeterminateProgress);
        return t;
    }();
    return table;
}
