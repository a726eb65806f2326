#pragma once
// One track of a movie as its file describes it: media type, size, display matrix, frame rate,
// edit-list segments and format. Immutable once made; any thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/Time.h"

#include <memory>
#include <string>
#include <vector>

namespace media {

class AssetTrack;

struct TimeMapping {
    TimeRange source; // media time; invalid for an empty edit
    TimeRange target; // movie time
};

struct AssetTrackSegment {
    TimeMapping timeMapping;
    // A composition's segment shows this track's frames, its source range in that track's
    // time; none for a movie file's own edit list, whose source is the track's media time.
    std::shared_ptr<AssetTrack> sourceTrack;
    bool isEmpty() const { return !timeMapping.source.start.isValid(); }
};

class AssetTrack {
public:
    struct Description {
        int32_t trackID = 0;
        std::string mediaType;
        graphics::Size naturalSize;
        graphics::AffineTransform preferredTransform;
        float nominalFrameRate = 0;
        TimeRange timeRange = TimeRange::zero();
        std::vector<AssetTrackSegment> segments;
        std::vector<VideoFormatDescriptionPtr> formatDescriptions;
        std::string codecName; // FFmpeg's name of the codec ("h264", "prores", ...)
        int streamIndex = -1;
        std::string filePath; // the movie file holding the samples; empty for a composition's track
    };

    static std::shared_ptr<AssetTrack> make(Description description);

    int32_t trackID() const { return m_d.trackID; }
    const std::string& mediaType() const { return m_d.mediaType; }
    graphics::Size naturalSize() const { return m_d.naturalSize; }
    graphics::AffineTransform preferredTransform() const { return m_d.preferredTransform; }
    float nominalFrameRate() const { return m_d.nominalFrameRate; }
    TimeRange timeRange() const { return m_d.timeRange; }
    const std::vector<AssetTrackSegment>& segments() const { return m_d.segments; }
    const std::vector<VideoFormatDescriptionPtr>& formatDescriptions() const { return m_d.formatDescriptions; }
    const std::string& codecName() const { return m_d.codecName; }
    int streamIndex() const { return m_d.streamIndex; }
    const std::string& filePath() const { return m_d.filePath; }
    // Whether the segments show other tracks' frames (a composition's track).
    bool isCompositionTrack() const;

private:
    explicit AssetTrack(Description d) : m_d(std::move(d)) { }
    Description m_d;
};

using AssetTrackPtr = std::shared_ptr<AssetTrack>;

} // namespace media
