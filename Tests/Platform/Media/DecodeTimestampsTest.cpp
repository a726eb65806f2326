#include "Platform/Media/DecodeTimestamps.h"

#include "Platform/Media/FFmpeg.h"

#include <gtest/gtest.h>

#include <vector>

using media::detail::DecodeTimestamps;

namespace {

struct Packet {
    int64_t pts, dts;
};

struct Case {
    const char* name;
    int delay;
    int framesSent; // at times 0, 10, 20, ... each shown for 10
    std::vector<Packet> given;
    std::vector<int64_t> expected; // -1 after the last: the packet must be refused
};

} // namespace

TEST(DecodeTimestamps, KeepsSoundTimesAndMendsImpossibleOnes)
{
    const int64_t garbage = -140482178162832; // what x265 gave a two-frame clip
    const int64_t none = AV_NOPTS_VALUE;
    const Case cases[] = {
        {"no reordering kept as is", 0, 3, {{0, 0}, {10, 10}, {20, 20}}, {0, 10, 20}},
        {"B-pyramid kept as is", 2, 5, {{0, -20}, {40, -10}, {20, 0}, {10, 10}, {30, 20}}, {-20, -10, 0, 10, 20}},
        // The encoder never learnt its delay: the times come from the frames sent.
        {"garbage before the delay is known", 2, 2, {{0, garbage}, {10, 10 + garbage}}, {-20, -10}},
        {"garbage far ahead", 1, 2, {{0, -garbage}, {10, 10 - garbage}}, {-10, 0}},
        {"missing time", 0, 2, {{0, none}, {10, 10}}, {0, 10}},
        {"decoded after it is shown", 0, 2, {{0, 0}, {10, 15}}, {0, 10}},
        {"going backwards", 1, 3, {{0, -10}, {20, -10}, {10, 10}}, {-10, 0, 10}},
        // Sound times from the start set the shift that mends a later bad one.
        {"one bad time among sound ones", 1, 3, {{0, -10}, {20, garbage}, {10, 10}}, {-10, 0, 10}},
        // More packets than frames, or a packet without a time of its own: nothing to derive from.
        {"packet without presentation time", 0, 1, {{none, 0}}, {-1}},
        {"bad time with no frame to derive it from", 0, 1, {{0, 0}, {10, garbage}}, {0, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DecodeTimestamps times(c.delay);
        for (int i = 0; i < c.framesSent; ++i)
            times.frameSent(10 * i, 10);
        ASSERT_EQ(c.given.size(), c.expected.size());
        for (size_t i = 0; i < c.given.size(); ++i) {
            int64_t dts = c.given[i].dts;
            const bool ok = times.check(c.given[i].pts, dts);
            if (c.expected[i] == -1) {
                EXPECT_FALSE(ok) << "packet " << i;
                break;
            }
            ASSERT_TRUE(ok) << "packet " << i;
            EXPECT_EQ(dts, c.expected[i]) << "packet " << i;
        }
    }
}
