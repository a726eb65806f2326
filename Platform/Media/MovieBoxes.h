#pragma once
// Reads the parts of a QuickTime / MPEG-4 file's movie box that FFmpeg applies but does not
// expose: time scales and the edit lists of each track. Internal to Platform/Media.
// Every length in the file is checked against the bytes it claims to hold.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace media::detail {

struct EditEntry {
    int64_t segmentDuration = 0; // movie time scale
    int64_t mediaTime = 0;       // media time scale; -1 for an empty edit
    double rate = 1;
};

struct TrackBoxes {
    int32_t trackID = 0;
    uint32_t mediaTimescale = 0;
    int64_t mediaDuration = 0;
    bool hasEditList = false;
    std::vector<EditEntry> edits;
};

struct MovieBoxes {
    uint32_t movieTimescale = 0;
    std::vector<TrackBoxes> tracks;
};

// None when the file has no readable movie box.
std::optional<MovieBoxes> readMovieBoxes(const std::string& path);

} // namespace media::detail
