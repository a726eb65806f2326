#pragma once
// Checks the decode timestamp of every packet an encoder hands out before it reaches the muxer.
// An encoder that reorders frames states each packet's decode time itself, and x265 states
// garbage for a clip shorter than its B-frame delay (it derives the delay from a frame that
// never came); the muxer aborts on such a time, or writes a movie no player can follow.
// Internal to Platform/Media. Used by one thread at a time.

#include <cstdint>
#include <deque>
#include <optional>

namespace media::detail {

class DecodeTimestamps {
public:
    // `reorderDelay`: how many frames the encoder may hold back before the one it shows first
    // (the codec context's has_b_frames once the encoder is open).
    explicit DecodeTimestamps(int reorderDelay);

    // Each frame handed to the encoder, in order (with strictly increasing times), and how long
    // it is shown.
    void frameSent(int64_t pts, int64_t duration);

    // Checks `dts` of the next packet out and replaces it, when it is missing or impossible, by
    // one derived from the frames sent and the reorder delay. False when the packet cannot be
    // given a sound time at all (then it must not be written).
    bool check(int64_t pts, int64_t& dts);

private:
    bool sound(int64_t pts, int64_t dts, std::optional<int64_t> sent) const;

    int m_delay;
    std::deque<int64_t> m_sent; // sent but not yet come out
    int64_t m_longest = 1;
    std::optional<int64_t> m_shift; // how far decoding runs ahead of the frames sent
    std::optional<int64_t> m_last;
};

} // namespace media::detail
