#pragma once
// The GIF writer behind ImageDestination (type com.compuserve.gif): GIF89a, one palette per
// frame from a real colour quantiser, per-frame delays and the looping extension. It registers
// itself; callers only need these keys for DestinationProperties::extra.

#include <string>

namespace images {

// Whole-file: how often the animation repeats; 0 loops for ever. Without it the file has no
// looping extension and plays once.
extern const std::string kCGImagePropertyGIFLoopCount;          // "LoopCount"
// Per frame, in seconds; stored in hundredths. The unclamped key wins when both are given.
extern const std::string kCGImagePropertyGIFDelayTime;          // "DelayTime"
extern const std::string kCGImagePropertyGIFUnclampedDelayTime; // "UnclampedDelayTime"

} // namespace images
