#pragma once
// Turns a source movie and a few loop settings (time range, loop mode, cross-fade share, hold
// at the start, speed) into a composition and, for the cross-fade loop, a video composition
// that plays the stretch as a seamless loop. Every setting change is undoable; changes within
// one run-loop turn cost one rebuild, after which MVREditorDidChangeNotification is posted.
// Main thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/Composition.h"
#include "Platform/Media/PlayerItem.h"
#include "Platform/Media/VideoComposition.h"

extern const std::string MVREditorDidChangeNotification;                    // "MVREditorCompositionDidChangeNotification"
extern const std::string MVREditorDidChangeNotificationCompositionKey;      // "composition"
extern const std::string MVREditorDidChangeNotificationVideoCompositionKey; // "videoComposition"
extern const std::string MVREditorDidChangeNotificationSourcePlayerItemKey; // "sourcePlayerItem"
extern const std::string MVREditorDidChangeNotificationCompositionPlayerItemKey; // "compositionPlayerItem"

class MVREditor : public foundation::Observable, public std::enable_shared_from_this<MVREditor> {
public:
    static std::shared_ptr<MVREditor> init();

    const media::AssetPtr& source() const { return m_source; }
    void setSource(const media::AssetPtr& source);
    const media::TimeRange& timeRange() const { return m_timeRange; }
    // Both ends move to the source's nearest frame boundaries.
    void setTimeRange(const media::TimeRange& range);
    // 0 reverse loop, 1 cross-fade loop (the default).
    uint64_t loopMode() const { return m_loopMode; }
    void setLoopMode(uint64_t mode);
    double crossFadePercent() const { return m_crossFadePercent; }
    void setCrossFadePercent(double percent); // clamped to 0...1
    double delayInSeconds() const { return m_delayInSeconds; }
    void setDelayInSeconds(double seconds); // clamped to 0...10
    double speed() const { return m_speed; }
    void setSpeed(double speed); // clamped to 0.5...2
    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return m_undoManager; }
    void setUndoManager(std::shared_ptr<foundation::UndoManager> undoManager) { m_undoManager = std::move(undoManager); }

    media::Time crossFadeDuration() const;
    media::Time defaultStillImageTime() const;
    media::Time estimatedDuration() const;
    media::AssetTrackPtr sourceVideoTrack() const;
    int64_t groupingCount() const { return m_groupingCount; }
    bool needsGenerateComposition() const { return m_needsGenerateComposition; }

    // A gesture's changes form one undo step and one rebuild.
    void beginGrouping();
    void endGrouping();
    media::Time timeAlignedToVideoTrack(const media::Time& time) const;

    void setNeedsGenerateComposition();
    void generateCompositionIfNeeded();
    void regenerateComposition();
    // Each rebuilds first when a rebuild is pending.
    media::MutableCompositionPtr composition();
    std::optional<media::VideoComposition> videoComposition();

    // New items to preview with: the source limited to the time range (playable both ways,
    // positioned at the range's start), and the loop as composed. Null without a source or a
    // composition.
    media::PlayerItemPtr sourcePlayerItem() const;
    media::PlayerItemPtr compositionPlayerItem();

    const foundation::KeyTable& observableKeys() const override;

    MVREditor() = default;

private:
    template <class T> void changeSetting(const char* key, T& field, const T& value, const T& stored, void (MVREditor::*setter)(T));

    media::AssetPtr m_source;
    media::TimeRange m_timeRange = media::TimeRange::invalid();
    uint64_t m_loopMode = 1;
    double m_crossFadePercent = 0.25;
    double m_delayInSeconds = 0;
    double m_speed = 1.0;
    std::shared_ptr<foundation::UndoManager> m_undoManager;
    media::MutableCompositionPtr m_composition;
    std::optional<media::VideoComposition> m_videoComposition;
    int64_t m_groupingCount = 0;
    bool m_needsGenerateComposition = false;
};
