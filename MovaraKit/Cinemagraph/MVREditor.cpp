#include "MovaraKit/Cinemagraph/MVREditor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <type_traits>

#include "MovaraKit/Media/Asset+Movara.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Media/VideoSettings.h"

const std::string MVREditorDidChangeNotification = "MVREditorCompositionDidChangeNotification";
const std::string MVREditorDidChangeNotificationCompositionKey = "composition";
const std::string MVREditorDidChangeNotificationVideoCompositionKey = "videoComposition";
const std::string MVREditorDidChangeNotificationSourcePlayerItemKey = "sourcePlayerItem";
const std::string MVREditorDidChangeNotificationCompositionPlayerItemKey = "compositionPlayerItem";

namespace {

media::Time frameDurationOf(const media::AssetTrackPtr& track)
{
    if (!track || !(track->nominalFrameRate() > 0))
        return media::Time::invalid();
    const double rate = track->nominalFrameRate();
    if (rate == std::round(rate))
        return media::Time::make(1, int32_t(rate));
    return media::Time::makeWithSeconds(1.0 / rate, 60000);
}

std::string describe(const foundation::ErrorPtr& error)
{
    return error ? error->localizedDescription() : "(null)";
}

} // namespace

std::shared_ptr<MVREditor> MVREditor::init()
{
    auto editor = std::make_shared<MVREditor>();
    editor->setNeedsGenerateComposition();
    return editor;
}

// ---- settings -------------------------------------------------------------------------------

template <class T>
void MVREditor::changeSetting(const char* key, T& field, const T& value, const T& stored, void (MVREditor::*setter)(T))
{
    // The stored (clamped) value is what changes, or not: a slider held past its end would
    // otherwise register an undo step for every move. A value that is no number is ignored.
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(value))
            return;
    }
    if (stored == field)
        return;
    if (m_undoManager) {
        const T old = field;
        m_undoManager->registerUndo<MVREditor>(shared_from_this(), [setter, old](MVREditor& editor) { (editor.*setter)(old); });
    }
    willChange(key);
    field = stored;
    didChange(key);
    setNeedsGenerateComposition();
}

void MVREditor::setLoopMode(uint64_t mode)
{
    changeSetting("loopMode", m_loopMode, mode, mode, &MVREditor::setLoopMode);
}

void MVREditor::setCrossFadePercent(double percent)
{
    changeSetting("crossFadePercent", m_crossFadePercent, percent, std::clamp(percent, 0.0, 1.0), &MVREditor::setCrossFadePercent);
}

void MVREditor::setDelayInSeconds(double seconds)
{
    changeSetting("delayInSeconds", m_delayInSeconds, seconds, std::clamp(seconds, 0.0, 10.0), &MVREditor::setDelayInSeconds);
}

void MVREditor::setSpeed(double speed)
{
    changeSetting("speed", m_speed, speed, std::clamp(speed, 0.5, 2.0), &MVREditor::setSpeed);
}

void MVREditor::setSource(const media::AssetPtr& source)
{
    if (source == m_source)
        return;
    willChange("source");
    m_source = source;
    didChange("source");
    if (m_timeRange.isValid()) {
        willChange("timeRange");
        m_timeRange = media::TimeRange::fromTimeToTime(timeAlignedToVideoTrack(m_timeRange.start),
                                                       timeAlignedToVideoTrack(m_timeRange.end()));
        didChange("timeRange");
    }
    setNeedsGenerateComposition();
}

void MVREditor::setTimeRange(const media::TimeRange& range)
{
    if (range == m_timeRange)
        return;
    if (m_undoManager) {
        const media::TimeRange old = m_timeRange;
        m_undoManager->registerUndo<MVREditor>(shared_from_this(), [old](MVREditor& editor) { editor.setTimeRange(old); });
    }
    willChange("timeRange");
    m_timeRange = media::TimeRange::fromTimeToTime(timeAlignedToVideoTrack(range.start), timeAlignedToVideoTrack(range.end()));
    didChange("timeRange");
    setNeedsGenerateComposition();
}

// ---- derived values -------------------------------------------------------------------------

media::AssetTrackPtr MVREditor::sourceVideoTrack() const
{
    return m_source ? mvr_videoTrack(m_source) : nullptr;
}

media::Time MVREditor::timeAlignedToVideoTrack(const media::Time& time) const
{
    auto track = sourceVideoTrack();
    const media::Time frame = frameDurationOf(track);
    if (!track || !frame.isValid() || !time.isNumeric())
        return time;
    const double n = std::round(time.seconds() / frame.seconds());
    media::Time aligned = media::multiplyByFloat64(frame, n);
    const media::TimeRange range = track->timeRange();
    aligned = media::maximum(aligned, range.start);
    aligned = media::minimum(aligned, range.end());
    return aligned;
}

media::Time MVREditor::crossFadeDuration() const
{
    if (!m_timeRange.isValid())
        return media::Time::zero();
    return timeAlignedToVideoTrack(media::multiplyByFloat64(m_timeRange.duration, m_crossFadePercent * 0.5));
}

media::Time MVREditor::defaultStillImageTime() const
{
    const media::Time fade = crossFadeDuration();
    if (m_loopMode == 1 && fade.isNumeric() && fade.seconds() > 0)
        return m_timeRange.start + fade;
    return m_timeRange.start;
}

media::Time MVREditor::estimatedDuration() const
{
    const media::Time d = m_composition ? m_composition->duration() : media::Time::zero();
    const media::Time h = media::Time::makeWithSeconds(m_delayInSeconds, 600);
    return media::multiply(d - h, m_loopMode == 0 ? 2 : 1) + h;
}

// ---- grouping and rebuilding ----------------------------------------------------------------

void MVREditor::beginGrouping()
{
    ++m_groupingCount;
    if (m_undoManager)
        m_undoManager->beginUndoGrouping();
}

void MVREditor::endGrouping()
{
    m_groupingCount = std::max<int64_t>(0, m_groupingCount - 1);
    if (m_undoManager)
        m_undoManager->endUndoGrouping();
    if (m_groupingCount == 0)
        setNeedsGenerateComposition();
}

void MVREditor::setNeedsGenerateComposition()
{
    if (m_needsGenerateComposition)
        return;
    m_composition = nullptr;
    m_videoComposition.reset();
    m_needsGenerateComposition = true;
    std::weak_ptr<MVREditor> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        if (auto self = weak.lock())
            self->generateCompositionIfNeeded();
    });
}

void MVREditor::generateCompositionIfNeeded()
{
    if (!m_needsGenerateComposition)
        return;
    m_needsGenerateComposition = false;
    regenerateComposition();
}

media::MutableCompositionPtr MVREditor::composition()
{
    generateCompositionIfNeeded();
    return m_composition;
}

std::optional<media::VideoComposition> MVREditor::videoComposition()
{
    generateCompositionIfNeeded();
    return m_videoComposition;
}

media::PlayerItemPtr MVREditor::sourcePlayerItem() const
{
    auto item = media::PlayerItem::playerItemWithAsset(m_source);
    if (!item)
        return nullptr;
    if (m_timeRange.isValid()) {
        item->setReversePlaybackEndTime(m_timeRange.start);
        item->setForwardPlaybackEndTime(m_timeRange.end());
    }
    item->seekToTime(item->reversePlaybackEndTime(), media::Time::zero(), media::Time::zero());
    return item;
}

media::PlayerItemPtr MVREditor::compositionPlayerItem()
{
    auto built = composition();
    if (!built)
        return nullptr;
    auto item = media::PlayerItem::playerItemWithAsset(built->asset());
    item->setVideoComposition(m_videoComposition);
    return item;
}

void MVREditor::regenerateComposition()
{
    auto track = sourceVideoTrack();
    if (!track || !m_timeRange.isValid()) {
        m_composition = nullptr;
        m_videoComposition.reset();
        return;
    }
    auto composition = media::MutableComposition::composition();
    std::optional<media::VideoComposition> videoComposition;
    const media::TimeRange range = m_timeRange;
    media::Time fade = crossFadeDuration();
    const double speed = m_speed, hold = m_delayInSeconds;
    const media::TimeRange first = media::TimeRange::make(media::Time::zero(), media::Time::make(3, 600)); // 0.005 s

    if (m_loopMode == 1 && fade.isNumeric() && fade.seconds() > 0) {
        auto a = composition->addMutableTrack(media::AVMediaTypeVideo, 0);
        auto b = composition->addMutableTrack(media::AVMediaTypeVideo, 0);
        a->setPreferredTransform(track->preferredTransform());
        b->setPreferredTransform(track->preferredTransform());
        const media::TimeRange head = media::TimeRange::make(range.start, fade);
        const media::TimeRange tail = media::TimeRange::fromTimeToTime(head.end(), range.end());
        foundation::ErrorPtr error;
        if (!a->insertTimeRange(tail, track, media::Time::zero(), &error)) {
            std::printf("error inserting composition track: %s\n", describe(error).c_str());
            return;
        }
        if (hold > 0)
            composition->scaleTimeRange(first, media::Time::makeWithSeconds(hold * speed, 600));
        media::Time at = a->timeRange().end() - head.duration;
        at = media::maximum(media::minimum(at, a->timeRange().end()), a->timeRange().start);
        if (!b->insertTimeRange(head, track, at, &error)) {
            std::printf("error inserting first half: %s\n", describe(error).c_str());
            return;
        }
        if (speed != 1) {
            const media::Time d = composition->duration();
            composition->scaleTimeRange(media::TimeRange::make(media::Time::zero(), d), media::multiplyByFloat64(d, 1 / speed));
            fade = media::multiplyByFloat64(fade, 1 / speed);
        }
        media::VideoCompositionLayerInstruction top{a->trackID(), {}, {}}, bottom{b->trackID(), {}, {}};
        top.setOpacityRamp(1.0, 0.0, media::TimeRange::make(a->timeRange().end() - fade, fade));
        bottom.setOpacity(1.0, media::Time::zero());
        media::VideoCompositionInstruction instruction;
        instruction.timeRange = media::TimeRange::make(media::Time::zero(), composition->duration());
        instruction.layerInstructions = {top, bottom};
        media::VideoComposition video;
        video.renderSize = mvr_presentationSize(*track); // non-square pixels render in their shown proportions
        video.frameDuration = frameDurationOf(track);
        if (!video.frameDuration.isValid() || video.frameDuration.seconds() > 1) {
            video.frameDuration = media::Time::make(1, 30);
            if (speed > 1)
                video.frameDuration = media::multiplyByFloat64(video.frameDuration, 1 / speed);
        }
        video.instructions = {instruction};
        videoComposition = video;
    } else {
        auto only = composition->addMutableTrack(media::AVMediaTypeVideo, 0);
        only->setPreferredTransform(track->preferredTransform());
        foundation::ErrorPtr error;
        if (!only->insertTimeRange(range, track, media::Time::zero(), &error))
            std::printf("error inserting source track: %s\n", describe(error).c_str());
        if (speed != 1) {
            const media::Time d = composition->duration();
            composition->scaleTimeRange(media::TimeRange::make(media::Time::zero(), d), media::multiplyByFloat64(d, 1 / speed));
        }
        if (hold > 0)
            composition->scaleTimeRange(first, media::Time::makeWithSeconds(hold, 600));
    }
    m_composition = composition;
    m_videoComposition = videoComposition;
    foundation::NotificationCenter::defaultCenter().post(MVREditorDidChangeNotification, this);
}

const foundation::KeyTable& MVREditor::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("timeRange", &MVREditor::timeRange)
            .key("loopMode", &MVREditor::loopMode, &MVREditor::setLoopMode)
            .key("crossFadePercent", &MVREditor::crossFadePercent, &MVREditor::setCrossFadePercent)
            .key("delayInSeconds", &MVREditor::delayInSeconds, &MVREditor::setDelayInSeconds)
            .key("speed", &MVREditor::speed, &MVREditor::setSpeed)
            .key("crossFadeDuration", &MVREditor::crossFadeDuration)
            .key("defaultStillImageTime", &MVREditor::defaultStillImageTime)
            .key("groupingCount", &MVREditor::groupingCount);
        t.affecting("crossFadeDuration", {"crossFadePercent"});
        t.affecting("defaultStillImageTime", {"crossFadeDuration", "loopMode", "timeRange"});
        return t;
    }();
    return table;
}
