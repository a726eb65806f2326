#pragma once
// A mutable composition: tracks made of segments that map stretches of source tracks onto the
// composition's time line (an edit list per track), with insertion and time scaling. A plain
// description of what to play; the host's thread owns it.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetTrack.h"
#include "Platform/Media/Time.h"

namespace media {

struct CompositionTrackSegment {
    AssetTrackPtr sourceTrack; // none for an empty edit
    TimeMapping timeMapping;
    bool isEmpty() const { return !sourceTrack; }
};

class MutableCompositionTrack {
public:
    int32_t trackID() const { return m_trackID; }
    const std::string& mediaType() const { return m_mediaType; }
    const graphics::AffineTransform& preferredTransform() const { return m_preferredTransform; }
    void setPreferredTransform(const graphics::AffineTransform& transform) { m_preferredTransform = transform; }
    const std::vector<CompositionTrackSegment>& segments() const { return m_segments; }
    // From zero to the end of the last segment.
    TimeRange timeRange() const;

    // Puts `range` of `track` at `at`, moving later segments on. False with an error for a
    // missing track, a track of another media type or a range outside the track's.
    bool insertTimeRange(const TimeRange& range, const AssetTrackPtr& track, const Time& at, foundation::ErrorPtr* error = nullptr);
    // Stretches (or squeezes) what lies in `range` to last `duration`; later segments move.
    void scaleTimeRange(const TimeRange& range, const Time& duration);

    MutableCompositionTrack(int32_t trackID, std::string mediaType) : m_trackID(trackID), m_mediaType(std::move(mediaType)) { }

private:
    int32_t m_trackID;
    std::string m_mediaType;
    graphics::AffineTransform m_preferredTransform;
    std::vector<CompositionTrackSegment> m_segments;
};

using MutableCompositionTrackPtr = std::shared_ptr<MutableCompositionTrack>;

class MutableComposition {
public:
    static std::shared_ptr<MutableComposition> composition() { return std::make_shared<MutableComposition>(); }

    // A new track; preferredTrackID 0 lets the composition choose.
    MutableCompositionTrackPtr addMutableTrack(const std::string& mediaType, int32_t preferredTrackID = 0);
    const std::vector<MutableCompositionTrackPtr>& tracks() const { return m_tracks; }
    std::vector<MutableCompositionTrackPtr> tracksWithMediaType(const std::string& mediaType) const;
    // The end of the longest track.
    Time duration() const;
    // Scales every track's `range` to `duration`.
    void scaleTimeRange(const TimeRange& range, const Time& duration);
    // A deep copy: tracks and segments are new objects.
    std::shared_ptr<MutableComposition> copy() const;
    // An immutable snapshot to read, play or export: an asset whose tracks show these
    // segments; later edits of the composition do not reach it.
    AssetPtr asset() const;

private:
    std::vector<MutableCompositionTrackPtr> m_tracks;
};

using MutableCompositionPtr = std::shared_ptr<MutableComposition>;

} // namespace media
