#include "Platform/Media/DecodeTimestamps.h"

#include "Platform/Media/FFmpeg.h"

#include <algorithm>

namespace media::detail {

DecodeTimestamps::DecodeTimestamps(int reorderDelay) : m_delay(std::max(reorderDelay, 0)) {}

void DecodeTimestamps::frameSent(int64_t pts, int64_t duration)
{
    m_sent.push_back(pts);
    m_longest = std::max(m_longest, duration);
}

// The n-th packet out is decoded no later than the n-th frame sent was presented, and no
// earlier than the reorder delay's worth of frames before it (one tick of slack a frame for
// times that were pushed apart).
bool DecodeTimestamps::sound(int64_t pts, int64_t dts, std::optional<int64_t> sent) const
{
    if (dts == AV_NOPTS_VALUE || dts > pts || (m_last && dts <= *m_last))
        return false;
    if (!sent)
        return true;
    return dts <= *sent && *sent - dts <= m_delay * (m_longest + 1);
}

bool DecodeTimestamps::check(int64_t pts, int64_t& dts)
{
    if (pts == AV_NOPTS_VALUE)
        return false;
    std::optional<int64_t> sent;
    if (!m_sent.empty()) {
        sent = m_sent.front();
        m_sent.pop_front();
    }
    if (sound(pts, dts, sent)) {
        if (sent && !m_shift)
            m_shift = *sent - dts;
    } else {
        if (!sent)
            return false;
        if (!m_shift)
            m_shift = m_delay * m_longest;
        const int64_t derived = *sent - *m_shift;
        if (derived > pts || (m_last && derived <= *m_last))
            return false;
        dts = derived;
    }
    m_last = dts;
    return true;
}

} // namespace media::detail
