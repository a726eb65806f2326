#pragma once
// The user's own presets: loaded when the controller is made, kept sorted by name, written
// whole after every change on the serial queue "com.movara.stillara.PresetsController.io"
// (encoded on the caller's thread; only the bytes are written there), with the application's
// termination waiting for queued writes. One shared controller per process; its operations
// run on the host's main thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MovaraKit/Cinemagraph/Preset.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/URL.h"

class PresetsController : public std::enable_shared_from_this<PresetsController> {
public:
    using ChangeHandler = std::function<void(const std::shared_ptr<void>& observer)>;

    // The process's controller, made on first use (safe against concurrent first use).
    static std::shared_ptr<PresetsController> shared();
    static std::shared_ptr<PresetsController> sharedInstance() { return shared(); }
    // A controller over the default file: <application support>/<executable>/Custom Presets.plist.
    static std::shared_ptr<PresetsController> init();
    // A controller over another file (tests, tools).
    static std::shared_ptr<PresetsController> initWithFileURL(const foundation::URL& fileURL);
    static foundation::URL customPresetsFileURL();

    const std::vector<PresetPtr>& presets() const { return m_presets; }
    // `handler` runs with the observer after each change, while the observer lives.
    void addChangeObserver(const std::shared_ptr<void>& observer, ChangeHandler handler);
    void createNewPreset(const std::string& name, const MVRFilterGraph& adjustments);
    // Removes the preset with the same identity; observers hear and the list is written even
    // when there was none.
    void deletePreset(const Preset& preset);
    // Waits until every queued write has finished.
    void applicationWillTerminate(const foundation::Notification& notification);

    const foundation::URL& fileURL() const { return m_fileURL; }
    const dispatch::QueuePtr& ioQueue() const { return m_ioQueue; }

    explicit PresetsController(foundation::URL fileURL);

private:
    struct Observance {
        std::weak_ptr<void> observer;
        ChangeHandler handler;
    };

    void load();
    void notifyChangeObservers();
    void savePresets();

    foundation::URL m_fileURL;
    dispatch::QueuePtr m_ioQueue;
    std::vector<PresetPtr> m_presets;
    std::vector<std::shared_ptr<Observance>> m_changeObservers;
};
