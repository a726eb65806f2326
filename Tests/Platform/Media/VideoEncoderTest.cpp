#include "Platform/Media/VideoEncoder.h"

#include <gtest/gtest.h>

using media::detail::EncoderConfig;
using media::detail::VideoCodec;

namespace {

struct ThreadCase {
    const char* name;
    VideoCodec codec;
    int width, height, cores;
    int expected; // 0: as many as fit in the budget, fewer than the cores
};

} // namespace

TEST(VideoEncoder, ProResThreadsFollowTheFrameSizeNotTheCores)
{
    // A ProRes frame thread holds its frame and a packet buffer the encoder zero-fills, and one
    // more frame waits in the encoder's queue: that memory must stay within the budget however
    // many cores there are, while small frames still get a thread a core.
    const ThreadCase cases[] = {
        {"24 MP ProRes 422 on 8 cores", VideoCodec::ProRes422, 6000, 4000, 8, 0},
        {"24 MP ProRes 4444 on 64 cores", VideoCodec::ProRes4444, 6000, 4000, 64, 0},
        {"31 MP ProRes 4444: the frame waiting in the encoder's queue counts too", VideoCodec::ProRes4444, 7680, 4000, 8, 1},
        {"1080p ProRes 422 on 8 cores", VideoCodec::ProRes422, 1920, 1080, 8, 8},
        {"16K ProRes 422: one thread even past the budget", VideoCodec::ProRes422, 16384, 16384, 8, 1},
        {"24 MP H.264 on 8 cores", VideoCodec::H264, 6000, 4000, 8, 8},
        {"no core reported", VideoCodec::ProRes422, 1920, 1080, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderConfig config;
        config.codec = c.codec;
        config.width = c.width;
        config.height = c.height;
        const int threads = media::detail::encoderThreadCount(config, c.cores);
        if (c.expected) {
            EXPECT_EQ(threads, c.expected);
            continue;
        }
        EXPECT_GE(threads, 1);
        EXPECT_LT(threads, c.cores);
        const size_t perThread = media::detail::proResBytesPerThread(config);
        const size_t queued = media::detail::proResFrameBytes(config);
        EXPECT_LE(size_t(threads) * perThread + queued, media::detail::ProResEncoderMemoryBudget);
        // ...and it uses what the budget allows.
        EXPECT_GT(size_t(threads + 1) * perThread + queued, media::detail::ProResEncoderMemoryBudget);
    }
}
