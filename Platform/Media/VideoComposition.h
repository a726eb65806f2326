#pragma once
// How a composition output renders frames: one frame every `frameDuration`, at `renderSize`,
// from the track named by the instruction covering that time. Only pass-through instructions
// are rendered (the track's frame scaled to the render size). Plain values; any thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/AssetTrack.h"
#include "Platform/Media/Time.h"

#include <vector>

namespace media {

struct VideoCompositionLayerInstruction {
    int32_t trackID = 0;
    graphics::AffineTransform transform;
};

struct VideoCompositionInstruction {
    TimeRange timeRange = TimeRange::invalid();
    std::vector<VideoCompositionLayerInstruction> layerInstructions;
};

struct VideoComposition {
    Time frameDuration = Time::invalid();
    graphics::Size renderSize;
    std::vector<VideoCompositionInstruction> instructions;

    // One pass-through instruction for `track` over `timeRange`, rendered at the track's size.
    static VideoComposition passThrough(const AssetTrack& track, const Time& frameDuration, const TimeRange& timeRange);
};

} // namespace media
