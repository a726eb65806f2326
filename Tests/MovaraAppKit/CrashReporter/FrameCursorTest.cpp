#include <gtest/gtest.h>

#include <execinfo.h>

#include <algorithm>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"

namespace {

struct Walk {
    std::vector<plframe_cursor_frame_reader_t> readers;
    std::vector<std::uint64_t> ours;
    std::vector<std::uint64_t> reference;
};

std::vector<std::uint64_t> walkFrom(const mvcrash_async_thread_state_t* state, mvcrash_async_image_list_t* list, const std::vector<plframe_cursor_frame_reader_t>& readers)
{
    std::vector<std::uint64_t> pcs;
    plframe_cursor_t cursor;
    plframe_cursor_init(&cursor, MVCRASH_TASK_SELF, state, list);
    while (pcs.size() < 512 && plframe_cursor_next_with_readers(&cursor, readers.data(), readers.size()) == PLFRAME_RESULT_OK) {
        std::uint64_t pc = 0;
        if (plframe_cursor_get_reg(&cursor, MVCRASH_REG_IP, &pc) != PLFRAME_RESULT_OK)
            break;
        pcs.push_back(pc);
    }
    plframe_cursor_free(&cursor);
    return pcs;
}

mvcrash_error_t walkHere(mvcrash_async_thread_state_t* state, void* context)
{
    auto* walk = static_cast<Walk*>(context);
    mvcrash_async_image_list_t list;
    mvcrash_nasync_image_list_init(&list, MVCRASH_TASK_SELF);
    walk->ours = walkFrom(state, &list, walk->readers);
    void* frames[256];
    int count = ::backtrace(frames, 256);
    for (int i = 0; i < count; ++i)
        walk->reference.push_back(reinterpret_cast<std::uint64_t>(frames[i]));
    mvcrash_nasync_image_list_free(&list);
    return MVCRASH_ERR_NONE;
}

__attribute__((noinline)) void nest(int depth, Walk* walk)
{
    if (depth == 0)
        mvcrash_async_thread_state_current(walkHere, walk);
    else
        nest(depth - 1, walk);
    asm volatile("" ::: "memory");
}

} // namespace

class FrameCursorWalk : public ::testing::TestWithParam<std::vector<plframe_cursor_frame_reader_t>> { };

// All readers as the writer uses them, and DWARF alone: the C library's own functions keep no
// frame pointer, so a walk through them that matches proves the call-frame reader.
INSTANTIATE_TEST_SUITE_P(Readers, FrameCursorWalk,
    ::testing::Values(std::vector<plframe_cursor_frame_reader_t> { plframe_cursor_read_compact_unwind, plframe_cursor_read_dwarf_unwind, plframe_cursor_read_frame_ptr },
        std::vector<plframe_cursor_frame_reader_t> { plframe_cursor_read_dwarf_unwind }));

TEST_P(FrameCursorWalk, WalkOfTheCallingThreadMatchesTheSystemBacktrace)
{
    Walk walk;
    walk.readers = GetParam();
    nest(6, &walk);
    // backtrace() starts in the callback (or in a sanitizer's wrapper of backtrace() before it);
    // ours starts at the capture itself. From the capture's caller on, both list the same
    // return addresses.
    ASSERT_GE(walk.ours.size(), 8u);
    const auto first = std::find(walk.reference.begin(), walk.reference.end(), walk.ours[1]);
    ASSERT_NE(first, walk.reference.end());
    const std::size_t shift = static_cast<std::size_t>(first - walk.reference.begin()) - 1;
    ASSERT_LE(shift, 3u);
    const std::size_t common = std::min(walk.ours.size(), walk.reference.size() - shift);
    ASSERT_GE(common, 9u);
    for (std::size_t i = 1; i < common; ++i)
        EXPECT_EQ(walk.ours[i], walk.reference[i + shift]) << "frame " << i;
}
