#pragma once
// The stack walker: steps one thread's stack frame by frame inside the crash handler, asking a
// list of frame readers in turn for the caller's registers: the compact unwind table, DWARF
// call-frame information, then the frame-pointer chain. Async-signal-safe.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashImage.h"
#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"

enum plframe_error_t : int {
    PLFRAME_RESULT_OK = 0,
    PLFRAME_RESULT_UNKNOWN = 1,
    PLFRAME_RESULT_NO_FRAME = 2,
    PLFRAME_RESULT_BAD_FRAME = 3,
    PLFRAME_RESULT_NOT_SUPPORTED = 4,
    PLFRAME_RESULT_INVALID_ARGUMENT = 5,
    PLFRAME_RESULT_INTERNAL = 6,
    PLFRAME_RESULT_BAD_REGISTER = 7,
};

const char* plframe_strerror(int code);

struct plframe_stackframe_t {
    mvcrash_async_thread_state_t thread_state;
};

struct plframe_cursor_t {
    mvcrash_task_t task = 0;
    mvcrash_async_image_list_t* image_list = nullptr;
    std::uint32_t depth = 0;
    plframe_stackframe_t prev_frame;
    plframe_stackframe_t frame;
};

using plframe_cursor_frame_reader_t = plframe_error_t (*)(mvcrash_task_t task, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next);

plframe_error_t plframe_cursor_init(plframe_cursor_t* cursor, mvcrash_task_t task, const mvcrash_async_thread_state_t* thread_state, mvcrash_async_image_list_t* image_list);
plframe_error_t plframe_cursor_next(plframe_cursor_t* cursor);
plframe_error_t plframe_cursor_next_with_readers(plframe_cursor_t* cursor, const plframe_cursor_frame_reader_t* readers, std::size_t count);
plframe_error_t plframe_cursor_get_reg(const plframe_cursor_t* cursor, int regnum, std::uint64_t* value);
const char* plframe_cursor_get_regname(const plframe_cursor_t* cursor, int regnum);
std::size_t plframe_cursor_get_regcount(const plframe_cursor_t* cursor);
void plframe_cursor_free(plframe_cursor_t* cursor);

plframe_error_t plframe_cursor_read_compact_unwind(mvcrash_task_t task, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next);
plframe_error_t plframe_cursor_read_dwarf_unwind(mvcrash_task_t task, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next);
plframe_error_t plframe_cursor_read_frame_ptr(mvcrash_task_t task, mvcrash_async_image_list_t* image_list, const plframe_stackframe_t* current, const plframe_stackframe_t* previous, plframe_stackframe_t* next);

// The address at which the code of a frame is looked up: its instruction pointer for the first
// frame, one byte before it for every caller (a return address may already belong to the next
// function, or lie past the end of a function that ends in a call that does not return).
std::uint64_t plframe_lookup_address(const plframe_stackframe_t* current, const plframe_stackframe_t* previous);

// Finds the FDE covering `pc` through the image's .eh_frame_hdr search table; its address in
// .eh_frame on success.
mvcrash_error_t mvcrash_async_elf_find_fde(const mvcrash_async_elf_t* image, std::uint64_t pc, std::uint64_t* fde_address);
