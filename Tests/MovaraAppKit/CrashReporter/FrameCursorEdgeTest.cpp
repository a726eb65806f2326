#include <gtest/gtest.h>

#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"

namespace {

mvcrash_async_thread_state_t stateWith(std::uint64_t ip, std::uint64_t fp)
{
    mvcrash_async_thread_state_t state;
    mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86_64);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_REG_IP, ip);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_REG_FP, fp);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_X86_64_RAX, 42);
    return state;
}

const plframe_cursor_frame_reader_t kFramePointerOnly[] = { plframe_cursor_read_frame_ptr };

} // namespace

TEST(FrameCursorEdges, TheFirstStepReturnsTheInitialFrameUntouched)
{
    std::uint64_t frame[2] = { 0, 0 };
    auto state = stateWith(0x5000, reinterpret_cast<std::uint64_t>(frame));
    plframe_cursor_t cursor;
    ASSERT_EQ(plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, &state, nullptr), PLFRAME_RESULT_OK);
    EXPECT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), PLFRAME_RESULT_OK);
    EXPECT_EQ(cursor.depth, 1u);
    std::uint64_t value = 0;
    ASSERT_EQ(plframe_cursor_get_reg(&cursor, MVCRASH_X86_64_RAX, &value), PLFRAME_RESULT_OK);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(plframe_cursor_get_reg(&cursor, MVCRASH_X86_64_RCX, &value), PLFRAME_RESULT_NOT_SUPPORTED);
    EXPECT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 0), PLFRAME_RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(plframe_strerror(8), "Unhandled error code");
    plframe_cursor_free(&cursor);
}

TEST(FrameCursorEdges, AReturnAddressAtOrBelowTheFirstPageEndsTheWalk)
{
    for (const std::uint64_t returnAddress : { 0x1000ULL, 0x1001ULL }) {
        std::uint64_t frame[2] = { 0, returnAddress };
        auto state = stateWith(0x5000, reinterpret_cast<std::uint64_t>(frame));
        plframe_cursor_t cursor;
        plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, &state, nullptr);
        plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1);
        EXPECT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), returnAddress == 0x1000 ? PLFRAME_RESULT_NO_FRAME : PLFRAME_RESULT_OK);
    }
}

TEST(FrameCursorEdges, AFramePointerThatMovesDownTheStackIsCorrupt)
{
    std::uint64_t frames[4];
    // frame[0] -> frame at a lower address: impossible on a downward stack.
    frames[2] = reinterpret_cast<std::uint64_t>(&frames[0]);
    frames[3] = 0x400000;
    frames[0] = 0;
    frames[1] = 0x400100;
    auto state = stateWith(0x5000, reinterpret_cast<std::uint64_t>(&frames[2]));
    plframe_cursor_t cursor;
    plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, &state, nullptr);
    ASSERT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), PLFRAME_RESULT_OK);
    ASSERT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), PLFRAME_RESULT_OK);
    EXPECT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), PLFRAME_RESULT_BAD_FRAME);
    // An unreadable frame pointer is corrupt too, never a fault.
    auto bad = stateWith(0x5000, 0x10);
    plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, &bad, nullptr);
    plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1);
    EXPECT_EQ(plframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), PLFRAME_RESULT_BAD_FRAME);
}

TEST(FrameCursorEdges, CallersAreLookedUpOneByteBeforeTheirReturnAddress)
{
    auto current = stateWith(0x5000, 0);
    plframe_stackframe_t frame { current }, previous { current };
    EXPECT_EQ(plframe_lookup_address(&frame, nullptr), 0x5000u);
    EXPECT_EQ(plframe_lookup_address(&frame, &previous), 0x4FFFu);
}
