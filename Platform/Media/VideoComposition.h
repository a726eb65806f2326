#pragma once
// How a composition output renders frames: one frame every `frameDuration`, at `renderSize`.
// At each time the instruction covering it names its layers, the first on top; each shows its
// track's frame at that time scaled to the render size, with the layer's ramped opacity,
// over black. Layer transforms are not applied. Plain values; any thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/AssetTrack.h"
#include "Platform/Media/Time.h"

#include <vector>

namespace media {

// The layer's opacity going from `start` to `end` over `timeRange` (a step when the range is
// empty).
struct OpacityRamp {
    double start = 1.0;
    double end = 1.0;
    TimeRange timeRange = TimeRange::invalid();
};

struct VideoCompositionLayerInstruction {
    int32_t trackID = 0;
    graphics::AffineTransform transform;
    std::vector<OpacityRamp> opacityRamps;

    void setOpacityRamp(double start, double end, const TimeRange& range) { opacityRamps.push_back({start, end, range}); }
    void setOpacity(double opacity, const Time& at) { opacityRamps.push_back({opacity, opacity, TimeRange::make(at, Time::zero())}); }
    // The opacity at `t`: the ramp that covers it, else the last one that ended before it, else 1.
    double opacityAtTime(const Time& t) const;
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
