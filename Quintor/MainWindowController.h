#pragma once
// The application's one main window: its look, the three content views (empty state,
// editing, progress) and the switch among them, the progress display shared by adding
// images, building the preview and exporting, the trim track's gestures turned into trim
// ranges with undo, the window's commands and their validation, and the export (one pass at
// the sequence's own rate, two when a fixed output rate is chosen). Its window comes from the
// interface file "MainWindow"; its undo manager is the whole application's.
//
// The application delegate sets the model and the two hooks (adding images, delivering the
// "Export Complete" notification) before the window loads. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Media/Time.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/ProgressIndicator.h"
#include "Platform/UI/Slider.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/WindowController.h"
#include "Quintor/Model.h"
#include "Quintor/PreviewController.h"
#include "Quintor/TrimTrackView.h"

class ExportSettingsController;
class FlipBookView;
struct ExportJob;
class MovieExport;

// The sibling application that takes an exported movie, and its page when it is missing.
extern const std::string MVRStillaraApplicationName;   // "Stillara.app"
extern const std::string MVRStillaraProductPageURL;

namespace ui {
class Alert;
}

class MainWindowController : public ui::WindowController,
                             public foundation::Observable,
                             public PreviewProgressDisplay,
                             public ui::WindowDelegate {
public:
    static std::shared_ptr<MainWindowController> init();
    ~MainWindowController() override;

    std::string windowNibName() const override { return "MainWindow"; }
    // Loads "MainWindow" and keeps its objects for the controller's life.
    void loadWindow() override;
    void windowDidLoad() override;

    // ---- the application's side
    ModelPtr model() const { return m_model.lock(); }
    // Also makes this window's undo manager the model's.
    void setModel(const ModelPtr& model);
    // Where files chosen in the open panel or dropped on the window go (the application
    // delegate's add-items); in the panel's or pasteboard's order. Ignored while exporting.
    using AddImagesHandler = std::function<void(const std::vector<foundation::URL>&)>;
    void setAddImagesHandler(AddImagesHandler handler) { m_addImagesHandler = std::move(handler); }
    void addImagesAt(const std::vector<foundation::URL>& urls);
    // Delivers a user notification that reveals `url` when activated.
    using NotificationHandler = std::function<void(const std::string& title, const std::string& info, const foundation::URL& url)>;
    void setNotificationHandler(NotificationHandler handler) { m_notificationHandler = std::move(handler); }

    // ---- outlets (held weakly; connected by the interface file)
    ui::ViewPtr editView() const { return m_editView.lock(); }
    void setEditView(const ui::ViewPtr& view) { m_editView = view; }
    ui::ViewPtr dragAndDropView() const { return m_dragAndDropView.lock(); }
    void setDragAndDropView(const ui::ViewPtr& view) { m_dragAndDropView = view; }
    std::shared_ptr<PreviewController> previewController() const { return m_previewController.lock(); }
    void setPreviewController(const std::shared_ptr<PreviewController>& controller) { m_previewController = controller; }
    std::shared_ptr<ExportSettingsController> exportSettingsController() const { return m_exportSettingsController.lock(); }
    void setExportSettingsController(const std::shared_ptr<ExportSettingsController>& controller) { m_exportSettingsController = controller; }
    std::shared_ptr<TrimTrackView> trimTrackView() const { return m_trimTrackView.lock(); }
    void setTrimTrackView(const std::shared_ptr<TrimTrackView>& view) { m_trimTrackView = view; }
    std::shared_ptr<ui::Slider> speedSlider() const { return m_speedSlider.lock(); }
    void setSpeedSlider(const std::shared_ptr<ui::Slider>& slider) { m_speedSlider = slider; }
    ui::ButtonPtr exportButton() const { return m_exportButton.lock(); }
    void setExportButton(const ui::ButtonPtr& button) { m_exportButton = button; }
    ui::ButtonPtr browseButton() const { return m_browseButton.lock(); }
    void setBrowseButton(const ui::ButtonPtr& button) { m_browseButton = button; }
    std::shared_ptr<ui::TextField> durationTextField() const { return m_durationTextField.lock(); }
    void setDurationTextField(const std::shared_ptr<ui::TextField>& field) { m_durationTextField = field; }
    std::shared_ptr<ui::TextField> fpsTextField() const { return m_fpsTextField.lock(); }
    void setFpsTextField(const std::shared_ptr<ui::TextField>& field) { m_fpsTextField = field; }
    ui::ViewPtr progressView() const { return m_progressView.lock(); }
    void setProgressView(const ui::ViewPtr& view) { m_progressView = view; }
    std::shared_ptr<ui::ProgressIndicator> progressIndicator() const { return m_progressIndicator.lock(); }
    void setProgressIndicator(const std::shared_ptr<ui::ProgressIndicator>& indicator) { m_progressIndicator = indicator; }
    std::shared_ptr<FlipBookView> sunScapeView() const { return m_sunScapeView.lock(); }
    // Also loads the flip-book's 362 frames "SunScapeAnimation000"... (a missing one stops the
    // process: the application's resources are incomplete).
    void setSunScapeView(const std::shared_ptr<FlipBookView>& view);
    ui::ButtonPtr cancelButton() const { return m_cancelButton.lock(); }
    void setCancelButton(const ui::ButtonPtr& button) { m_cancelButton = button; }

    // ---- the progress display (observable: "progressMessage", "progressValue",
    // "isIndeterminateProgress"; written on the main thread only)
    const std::string& progressMessage() const { return m_progressMessage; }
    void setProgressMessage(std::string message);
    double progressValue() const { return m_progressValue; }
    void setProgressValue(double value);
    bool isIndeterminateProgress() const { return m_isIndeterminateProgress; }
    void setIsIndeterminateProgress(bool value);
    // While false the progress view is the window's content.
    bool hideProgress() const { return m_hideProgress; }
    void setHideProgress(bool value) { m_hideProgress = value; }

    // PreviewProgressDisplay (also used by the application delegate and the export).
    void showProgress(const std::string& message, const std::shared_ptr<ui::Object>& target,
                      const std::string& action) override;
    void progressDidAdvance(double fraction) override;
    void leaveProgress() override;
    void presentError(const foundation::ErrorPtr& error) override;

    // Chooses the content view: the drop view while the model is empty, else the editing
    // view, and the progress view while progress shows. `notification` is ignored.
    void updateViews(const foundation::Notification* notification = nullptr);
    // Moves the playhead to the notification's play position and wraps it into the range.
    void updatePlayhead(const foundation::Notification& notification);
    // The sequence has been emptied: the preview's player goes (see removePlayer), then the
    // window shows its empty state.
    void imageSequenceCleared(const foundation::Notification& notification);

    // ---- actions (also by name: "addImages:", "togglePlayPause:", "togglePlayDirection:",
    // "changeSort:", "resetTrimRange:", "removeAllItems:", "export:", "exportToStillara:")
    void addImages(ui::Object* sender);
    void togglePlayPause(ui::Object* sender);
    void togglePlayDirection(ui::Object* sender);
    // Orders by the sender's tag, a Model::SortTag.
    void changeSort(ui::Object* sender);
    void changeSort(Model::SortTag tag);
    void resetTrimRange(ui::Object* sender);
    void removeAllItems(ui::Object* sender);
    // The Export command ("export:"): settings sheet, save panel, export, notification.
    void exportCommand(ui::Object* sender);
    void exportToStillara(ui::Object* sender);

    // What undo entries call.
    void setTrimRange(double start, double end);
    void setPlayDirection(Model::PlayDirectionTag tag);
    void applySort(Model::SortTag tag);

    void handleTrimGesture(double value, ChangedItem item, ChangeGesture gesture);

    bool validateMenuItem(ui::MenuItem& item) override;
    bool validateUserInterfaceItem(const ui::UserInterfaceItem& item) override;

    // The window's undo manager (loads the window), which is the application's.
    std::shared_ptr<foundation::UndoManager> undoManager();

    // ---- export
    using ExportCompletion = std::function<void(foundation::ErrorPtr)>;
    // Exports the trimmed, ordered sequence to `url` with `codec` (an AVVideoCodecType), at
    // `scale` of the images' size; a valid `frameDuration` re-times the movie to that rate in a
    // second pass. Returns at once; `completion` runs on the main thread after the progress
    // display has been left. An existing file at `url` is replaced only by a finished movie.
    void exportMovie(const foundation::URL& url, const std::string& codec, double scale, const media::Time& frameDuration,
                     ExportCompletion completion = {});
    // Whether an export is running; the commands that change or export the sequence wait.
    bool isExporting() const { return m_exportJob != nullptr; }
    // The model's images that the export writes, in order: those the preview plays within the
    // trim range, ordered by the sort and play direction in force.
    std::vector<MVRImageSourcePtr> exportedImageSources() const;
    // The images [first, end) of a sequence of `count` that a trim range of fractions keeps.
    static std::pair<long, long> trimmedRange(long count, double startKnobValue, double endKnobValue);
    // The job of the running export; null when none runs.
    std::shared_ptr<MovieExport> runningExport() const;

    // ---- leaving while an export runs
    // Asks (a sheet on the window) whether to stop the running export and quit. `answer` gets
    // true once the export has ended and its unfinished movie is gone (at once when none
    // runs), false when the user keeps exporting. Asked again while the question is up, it
    // asks nothing more: that answer goes to both.
    void confirmStopExport(std::function<void(bool stopped)> answer);
    // The question: stop and quit (the default button) or keep exporting (Escape).
    static std::shared_ptr<ui::Alert> makeStopExportAlert();
    // Closing the window quits the application: while an export runs it asks first, and
    // closes once the export has stopped.
    bool windowShouldClose(ui::Window& sender) override;

    const foundation::KeyTable& observableKeys() const override;

protected:
    MainWindowController();

private:
    void registerActions();
    void finishExport(const std::shared_ptr<ExportJob>& job, const foundation::ErrorPtr& error);
    void exportDidFinish(const foundation::ErrorPtr& error, const foundation::URL& url);
    void observeExportProgress(const foundation::ProgressPtr& progress);

    std::weak_ptr<Model> m_model;
    AddImagesHandler m_addImagesHandler;
    NotificationHandler m_notificationHandler;

    std::weak_ptr<ui::View> m_editView;
    std::weak_ptr<ui::View> m_dragAndDropView;
    std::weak_ptr<PreviewController> m_previewController;
    std::weak_ptr<ExportSettingsController> m_exportSettingsController;
    std::weak_ptr<TrimTrackView> m_trimTrackView;
    std::weak_ptr<ui::Slider> m_speedSlider;
    std::weak_ptr<ui::Button> m_exportButton;
    std::weak_ptr<ui::Button> m_browseButton;
    std::weak_ptr<ui::TextField> m_durationTextField;
    std::weak_ptr<ui::TextField> m_fpsTextField;
    std::weak_ptr<ui::View> m_progressView;
    std::weak_ptr<ui::ProgressIndicator> m_progressIndicator;
    std::weak_ptr<FlipBookView> m_sunScapeView;
    std::string m_progressMessage;
    double m_progressValue = 0.0;
    bool m_isIndeterminateProgress = false;
    bool m_hideProgress = true;
    std::weak_ptr<ui::Button> m_cancelButton;
    double m_originalStartKnobValue = 0.0;
    double m_originalEndKnobValue = 0.0;

    std::vector<ui::ObjectPtr> m_interfaceObjects;
    std::vector<foundation::NotificationCenter::Token> m_observations;
    // The running export, and the observation of its current pass's progress.
    std::shared_ptr<ExportJob> m_exportJob;
    foundation::Observable::Token m_exportProgressObservation;
    // The stop-and-quit question while it is up, who waits for its answer, and who waits for
    // the stopped export to be gone.
    std::shared_ptr<ui::Alert> m_stopExportAlert;
    std::vector<std::function<void(bool)>> m_stopExportAnswers;
    std::vector<std::function<void(bool)>> m_afterStoppedExport;
};
