#pragma once
// The timelapse document: the ordered image sequence, the ordering in force, the play
// direction and the frame rate. It validates additions, keeps the list ordered, announces
// every change by notification and registers its undo entries on the application's undo
// manager. One per process, owned by the application delegate.
//
// Threads: addImages() may run on any queue (it does its file work there); everything else,
// and every write of the two lists, happens on the main thread. Notifications are posted on
// the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraKit/Media/MVRImageSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UndoManager.h"

// Posted after images were added (once ordered) and after a restore, when the list is not
// empty. Object: none, or the estimated frames per second (a double; see
// MVRImageSequenceEstimatedFps).
extern const std::string MVRImageSequenceChanged;
// Posted after a restore that leaves the list empty; object as for MVRImageSequenceChanged.
extern const std::string MVRImageSequenceCleared;
// Posted after a re-ordering asked for by the main window, when the list is not empty.
extern const std::string MVRImageSequenceSorted;
// Posted after every accepted change of fps.
extern const std::string MVRSpeedChanged;
// Asks the preview to rebuild from the unchanged list.
extern const std::string MVRRegeneratePreviewNotification;

// The frame-rate estimate carried by an MVRImageSequenceChanged or MVRImageSequenceCleared
// notification; none when it carries no object.
std::optional<double> MVRImageSequenceEstimatedFps(const foundation::Notification& notification);

class Model : public foundation::Observable, public std::enable_shared_from_this<Model> {
public:
    // The ordering in force: by file name, or (every other value) by capture date. The sort
    // menu items carry these as their tags.
    enum class SortTag : long long { byName = 1000, byDate = 1001 };
    // The play direction: forward, or (every other value) reverse.
    enum class PlayDirectionTag : long long { forward = 1000, reverse = 1001 };

    static std::shared_ptr<Model> init();

    // The undo manager of the main window, which is the whole application's. Until a provider
    // is set (or while it gives none) undo registration is skipped.
    using UndoManagerProvider = std::function<std::shared_ptr<foundation::UndoManager>()>;
    void setUndoManagerProvider(UndoManagerProvider provider);
    std::shared_ptr<foundation::UndoManager> undoManager() const;

    // Turns files and folders (their visible entries, not recursively) into image sources,
    // checks them and appends them; false with a Cocoa-domain error of code 0 when refused,
    // and then nothing has changed. The ordering and the announcement follow on the main queue.
    bool addImages(const std::vector<foundation::URL>& urls, foundation::ErrorPtr* error);
    void finishAddingImages(bool estimateFps);
    void sortImageSources(bool postingNotification);
    void imageSourcesDidChange(bool estimateFps);

    void registerImageSourcesUndo(const std::vector<MVRImageSourcePtr>& imageSources, const std::string& actionName);
    void restoreImageSources(const std::vector<MVRImageSourcePtr>& imageSources);

    const std::vector<MVRImageSourcePtr>& imageSources() const { return m_imageSources; }
    void setImageSources(std::vector<MVRImageSourcePtr> imageSources) { m_imageSources = std::move(imageSources); }
    const std::vector<MVRImageSourcePtr>& previousImageSources() const { return m_previousImageSources; }
    void setPreviousImageSources(std::vector<MVRImageSourcePtr> imageSources) { m_previousImageSources = std::move(imageSources); }

    // Observable under "sortItemTag": 1000 orders by file name, anything else by capture date.
    SortTag sortItemTag() const { return m_sortItemTag; }
    void setSortItemTag(SortTag tag);
    SortTag previousSortItemTag() const { return m_previousSortItemTag; }
    void setPreviousSortItemTag(SortTag tag) { m_previousSortItemTag = tag; }
    // Observable under "playDirectionTag": 1000 forward, 1001 reverse; stored, not interpreted.
    PlayDirectionTag playDirectionTag() const { return m_playDirectionTag; }
    void setPlayDirectionTag(PlayDirectionTag tag);

    // Observable under "fps". A value that is not a positive finite number is refused (no
    // change, no undo, no notification); any other assignment, also of the value held,
    // registers "FPS Change" and posts MVRSpeedChanged.
    double fps() const { return m_fps; }
    void setFps(double fps);
    void restoreFps(double fps) { setFps(fps); }

    const foundation::KeyTable& observableKeys() const override;

private:
    Model() = default;

    SortTag m_sortItemTag = SortTag::byName;
    SortTag m_previousSortItemTag = SortTag::byName;
    PlayDirectionTag m_playDirectionTag = PlayDirectionTag::forward;
    std::vector<MVRImageSourcePtr> m_imageSources;
    std::vector<MVRImageSourcePtr> m_previousImageSources;
    double m_fps = 30.0;
    UndoManagerProvider m_undoManagerProvider;
};

using ModelPtr = std::shared_ptr<Model>;
