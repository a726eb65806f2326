#pragma once
// The preview area of the main window. It keeps one preview movie of the model's whole image
// sequence ("qtr.mov" in the temporary folder, 30 frames per second), rebuilds it whenever the
// model announces a new or re-ordered list, and plays it in the player view endlessly within
// the trim range, forward or backward, at the model's frame rate.
//
// A rebuild shows its progress in the main window and can be cancelled. A change that arrives
// during a rebuild is kept and rebuilt right after it, so the preview never lags behind the
// model. A cancelled or failed rebuild puts the model back to the list (and ordering) that
// the installed preview shows and resumes that preview; a successful addition leaves one "Add
// Items" undo entry per addition, each restoring the list from just before it.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraKit/Media/MVRImageSequenceImporter.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Foundation/TemporaryFolder.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/ViewController.h"
#include "Quintor/Model.h"

// Posted (object none) each time a new preview movie has been installed in the player view.
extern const std::string MVRPreviewCreatedNotification; // "MVRPreviewCreatedNotification"
// Posted from every call of the player's periodic observer; object the play position, a
// double (see MVRPlayPosition).
extern const std::string MVRPlayPositionChanged; // "MVRPlayPositionChanged"

// The play position carried by an MVRPlayPositionChanged notification, or none.
std::optional<double> MVRPlayPosition(const foundation::Notification& notification);

// Play direction, with the raw values 0.0 (forward) and 1.0 (reverse).
enum class PlayerDirection { forward, reverse };
std::optional<PlayerDirection> PlayerDirectionFromRawValue(float rawValue);
float PlayerDirectionRawValue(PlayerDirection direction);

// What the preview needs of the main window's progress display; the main window controller
// implements it.
class PreviewProgressDisplay {
public:
    virtual ~PreviewProgressDisplay() = default;
    // Enters the progress display with `message`; its cancel button (disabled until the first
    // progress report) will send `action` to `target` (either may be empty).
    virtual void showProgress(const std::string& message, const std::shared_ptr<ui::Object>& target,
                              const std::string& action) = 0;
    // A progress report: enables the cancel button when it has a target and an action, makes
    // the bar determinate and shows `fraction` (0...1).
    virtual void progressDidAdvance(double fraction) = 0;
    // Leaves the display: stops the flip-book animation, hides the progress view, updates the
    // window's views and resets the progress value and caption.
    virtual void leaveProgress() = 0;
    // Shows `error` as a sheet on the main window.
    virtual void presentError(const foundation::ErrorPtr& error) = 0;
};

class PreviewController : public ui::ViewController, public foundation::Observable {
public:
    static std::shared_ptr<PreviewController> init();
    ~PreviewController() override;

    // ---- outlets (held weakly; connected by the interface file)
    std::shared_ptr<PreviewProgressDisplay> mainWindowController() const { return m_mainWindowController.lock(); }
    void setMainWindowController(const std::shared_ptr<PreviewProgressDisplay>& controller) { m_mainWindowController = controller; }
    std::shared_ptr<ui::PlayerView> playerView() const { return m_playerView.lock(); }
    void setPlayerView(const std::shared_ptr<ui::PlayerView>& view) { m_playerView = view; }
    std::shared_ptr<Model> model() const { return m_model.lock(); }
    void setModel(const std::shared_ptr<Model>& model) { m_model = model; }

    // ---- state
    // The trim range as fractions of the preview's duration; written by the main window.
    double startKnobValue() const { return m_startKnobValue; }
    void setStartKnobValue(double value) { m_startKnobValue = value; }
    double endKnobValue() const { return m_endKnobValue; }
    void setEndKnobValue(double value) { m_endKnobValue = value; }
    PlayerDirection playerDirection() const { return m_playerDirection; }
    void setPlayerDirection(PlayerDirection direction) { m_playerDirection = direction; }
    bool isCreatingPreview() const { return m_isCreatingPreview; }
    bool isObservingPlayer() const { return m_isObservingPlayer; }
    // The rate magnitude that plays the 30 fps preview at the model's frame rate.
    float playerRate() const { return m_playerRate; }
    // Observable under "duration": seconds the trimmed timelapse plays at the model's rate.
    double duration() const { return m_duration; }
    void setDuration(double seconds);

    // Registers for the model's notifications (the view is loaded from the interface file).
    void viewDidLoad() override;

    // ---- the preview movie
    // Starts a rebuild for a model notification (none: a plain rebuild of the current list).
    void createPreview(const foundation::Notification* notification);

    // ---- playback
    void updatePlayerRate();
    void play();
    void togglePlayPause();
    void seek(double position);
    void removePlayer();
    media::Time trimmedDuration() const;
    void updatePreviewSpeed(const foundation::Notification* notification);
    // Recomputes `duration` for the trim range and rate in force, leaving the player as it is.
    void refreshDuration();
    // The user entered `duration`: turns it into the model's frame rate (1...240).
    void updateDuration(ui::Object* sender);
    void playerItemDidReachEnd(const foundation::Notification* notification);
    void startObservingPlayer();
    void stopObservingPlayer();
    void addPeriodicTimeObserver();
    void removePeriodicTimeObserver();

    // The preview files, in a folder of this controller's own in the temporary folder that
    // goes with the controller (made at the first rebuild).
    foundation::URL previewURL();          // "qtr.mov"
    foundation::URL temporaryPreviewURL(); // "qtrtemp.mov"
    // The longest side of the preview movie: a screen's worth, which a player keeps up with.
    static constexpr size_t previewMaxPixelSize = 1920;

    // False: model changes are taken in (the estimated rate, the previewed list) but no movie
    // is built; for a job that only exports. True by default.
    bool buildsPreview() const { return m_buildsPreview; }
    void setBuildsPreview(bool builds) { m_buildsPreview = builds; }

    const foundation::KeyTable& observableKeys() const override;

    struct Request;

private:
    PreviewController() = default;

    std::shared_ptr<Model> requireModel() const;
    media::PlayerPtr player() const;
    float signedRate() const;
    media::Time trimTime(double fraction) const;
    void startRebuild(std::shared_ptr<Request> request);
    void previewImportDidFinish(std::optional<foundation::URL> url, foundation::ErrorPtr error,
                                foundation::ProgressPtr progress, std::shared_ptr<Request> request);
    // After a cancel or a failure: the model goes back to what the installed preview shows.
    void restorePreviewedState(const std::shared_ptr<Request>& request);
    void resumeInstalledPlayer();
    void periodicTimeObserverFired(const media::Time& time);

    std::weak_ptr<PreviewProgressDisplay> m_mainWindowController;
    std::weak_ptr<ui::PlayerView> m_playerView;
    std::weak_ptr<Model> m_model;
    double m_startKnobValue = 0.0;
    double m_endKnobValue = 1.0;
    PlayerDirection m_playerDirection = PlayerDirection::forward;
    bool m_isCreatingPreview = false;
    bool m_buildsPreview = true;
    foundation::TemporaryFolderPtr m_folder;
    bool m_isObservingPlayer = false;
    media::Player::TimeObserverToken m_timeObserverToken;
    float m_playerRate = 1.0f;
    double m_duration = 0.0;

    // The list and ordering the installed preview was built from.
    std::vector<MVRImageSourcePtr> m_previewedImageSources;
    // The running import and what the user's cancel button talks to.
    std::shared_ptr<MVRImageSequenceImporter> m_importer;
    std::shared_ptr<ui::Object> m_cancelTarget;
    foundation::Observable::Token m_progressObservation;
    // A request that arrived during the running rebuild; it runs next.
    std::shared_ptr<Request> m_pendingRequest;

    std::weak_ptr<media::Player> m_observedPlayer;
    media::PlayerItemPtr m_observedItem;
    foundation::NotificationCenter::Token m_endObservation;
    foundation::Observable::Token m_statusObservation;
    std::vector<foundation::NotificationCenter::Token> m_modelObservations;
};
