#include "Platform/Dispatch/ProcessorCount.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

// A process pinned to some cores (taskset, a container) sizes its work for those, not for
// every core of the machine.
TEST(ActiveProcessorCount, FollowsTheAffinityMask)
{
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(dispatch::activeProcessorCount(), static_cast<unsigned>(CPU_COUNT(&all)));

    int first = 0;
    while (!CPU_ISSET(first, &all))
        ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(::pthread_setaffinity_np(::pthread_self(), sizeof one, &one), 0);
    EXPECT_EQ(dispatch::activeProcessorCount(), 1u);
    ASSERT_EQ(::pthread_setaffinity_np(::pthread_self(), sizeof all, &all), 0);
}
