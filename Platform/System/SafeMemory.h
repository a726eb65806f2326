#pragma once
// Reads of this process's memory that never fault, for code that runs while the process is
// broken (a crash handler). The kernel copies the bytes (process_vm_readv), so an unmapped or
// unreadable address comes back as an error instead of a second fault. No heap, no locks.

#include <cstddef>
#include <cstdint>

namespace sys {

enum class ReadResult {
    ok,
    unmapped,   // some byte of the range is not mapped or not readable
    wraps,      // address + length passes the end of the address space
    failed,     // any other error of the kernel
};

// Copies `length` bytes from `address` into `dest` (which the caller owns).
ReadResult readMemory(std::uint64_t address, void* dest, std::size_t length);

// How many bytes from `address` on, up to `length`, lie on readable pages (whole pages are
// probed, so the answer is exact at page granularity and then clipped to `length`).
std::size_t readablePrefix(std::uint64_t address, std::size_t length);

std::size_t pageSize();

} // namespace sys
