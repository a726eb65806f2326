#pragma once
// A bounds-checked view of a range of task memory. The range is checked to be readable when the
// object is made (whole pages, a partial range allowed unless a full one is required), and every
// later read is checked against it, so code that follows offsets and lengths taken from the
// memory itself can never step outside. The task is this process, so the view is the memory
// itself rather than a copy. Async-signal-safe.

#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"

struct mvcrash_async_mobject_t {
    mvcrash_task_t task = 0;
    std::uintptr_t address = 0;        // where the first requested byte is readable here
    std::uint64_t target = 0;          // the requested address in the task
    std::uint64_t length = 0;          // bytes usable from target
    std::int64_t vm_slide = 0;         // target - address
    std::uint64_t vm_address = 0;      // the whole page-aligned range that was checked
    std::uint64_t vm_length = 0;
};

mvcrash_error_t mvcrash_async_mobject_init(mvcrash_async_mobject_t* mobj, mvcrash_task_t task, std::uint64_t target, std::uint64_t length, bool require_full);
// The same, with the count of readable bytes from the first page of `target` already known
// (0: not known, read it now).
mvcrash_error_t mvcrash_async_mobject_init_known(mvcrash_async_mobject_t* mobj, mvcrash_task_t task, std::uint64_t target, std::uint64_t length, bool require_full, std::uint64_t readable_from_page);
void mvcrash_async_mobject_free(mvcrash_async_mobject_t* mobj);

std::uint64_t mvcrash_async_mobject_base_address(const mvcrash_async_mobject_t* mobj);
std::uint64_t mvcrash_async_mobject_length(const mvcrash_async_mobject_t* mobj);
mvcrash_task_t mvcrash_async_mobject_task(const mvcrash_async_mobject_t* mobj);

bool mvcrash_async_mobject_verify_local_pointer(const mvcrash_async_mobject_t* mobj, std::uintptr_t pointer, std::int64_t offset, std::uint64_t length);
void* mvcrash_async_mobject_remap_address(const mvcrash_async_mobject_t* mobj, std::uint64_t target, std::int64_t offset, std::uint64_t length);

mvcrash_error_t mvcrash_async_mobject_read_uint8(const mvcrash_async_mobject_t* mobj, std::uint64_t target, std::int64_t offset, std::uint8_t* out);
mvcrash_error_t mvcrash_async_mobject_read_uint16(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint16_t* out);
mvcrash_error_t mvcrash_async_mobject_read_uint32(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint32_t* out);
mvcrash_error_t mvcrash_async_mobject_read_uint64(const mvcrash_async_mobject_t* mobj, const mvcrash_async_byteorder_t* byteorder, std::uint64_t target, std::int64_t offset, std::uint64_t* out);
