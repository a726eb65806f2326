#include <gtest/gtest.h>

#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/MemoryPressureSource.h"

namespace {

// Everything queued on the main queue before now has run.
void drainMainQueue()
{
    bool reached = false;
    dispatch::Queue::main()->async([&] { reached = true; });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reached; }, 10));
}

} // namespace

TEST(MemoryPressureSource, EverySessionNoticeReachesTheMainQueueUntilCancelled)
{
    using Level = ui::MemoryPressureSource::Level;
    std::vector<Level> first, second;
    bool onMain = true;
    auto a = ui::MemoryPressureSource::make([&](Level level) {
        onMain = onMain && dispatch::RunLoop::isMainThread();
        first.push_back(level);
    });
    auto b = ui::MemoryPressureSource::make([&](Level level) { second.push_back(level); });

    // GLib's low, medium and critical levels.
    for (int glibLevel : { 50, 100, 255 })
        ui::MemoryPressureSource::deliverSessionNotice(glibLevel);
    ASSERT_NO_FATAL_FAILURE(drainMainQueue());
    EXPECT_EQ(first, (std::vector<Level> { Level::Warning, Level::Warning, Level::Critical }));
    EXPECT_EQ(second, first);
    EXPECT_TRUE(onMain);

    // A notice queued before the cancel is dropped too.
    ui::MemoryPressureSource::deliverSessionNotice(50);
    a->cancel();
    EXPECT_TRUE(a->isCancelled());
    b.reset();
    ui::MemoryPressureSource::deliverSessionNotice(255);
    ASSERT_NO_FATAL_FAILURE(drainMainQueue());
    EXPECT_EQ(first.size(), 3u);
    EXPECT_EQ(second.size(), 3u);
}
