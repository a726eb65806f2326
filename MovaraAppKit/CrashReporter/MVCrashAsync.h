#pragma once
// The floor of crash-time code: result codes, byte-order records, overflow-checked address
// arithmetic, reads of task memory that never fault, small string routines and a buffered
// writer on a raw descriptor with an output limit. Everything here is async-signal-safe: no
// heap, no locks, only the memory the caller hands in.

#include <cstddef>
#include <cstdint>

// The task whose memory is read. There is one task here, this process; the value only keeps the
// shape of the calls (reads of another process are not supported).
using mvcrash_task_t = int;
constexpr mvcrash_task_t MVCRASH_TASK_SELF = 1;

enum mvcrash_error_t : int {
    MVCRASH_ERR_NONE = 0,
    MVCRASH_ERR_UNKNOWN = 1,
    MVCRASH_ERR_OUTPUT = 2,
    MVCRASH_ERR_NO_MEMORY = 3,
    MVCRASH_ERR_NOT_SUPPORTED = 4,
    MVCRASH_ERR_INVALID_ARGUMENT = 5,
    MVCRASH_ERR_INTERNAL = 6,
    MVCRASH_ERR_ACCESS_DENIED = 7,
    MVCRASH_ERR_NOT_FOUND = 8,
    MVCRASH_ERR_INVALID_DATA = 9,
};

const char* mvcrash_async_strerror(int code);

struct mvcrash_async_byteorder_t {
    std::uint16_t (*swap16)(std::uint16_t);
    std::uint32_t (*swap32)(std::uint32_t);
    std::uint64_t (*swap64)(std::uint64_t);
};

std::uint16_t mvcr_swap16(std::uint16_t v);
std::uint32_t mvcr_swap32(std::uint32_t v);
std::uint64_t mvcr_swap64(std::uint64_t v);
std::uint16_t mvcr_nswap16(std::uint16_t v);
std::uint32_t mvcr_nswap32(std::uint32_t v);
std::uint64_t mvcr_nswap64(std::uint64_t v);

const mvcrash_async_byteorder_t* mvcrash_async_byteorder_little_endian();
const mvcrash_async_byteorder_t* mvcrash_async_byteorder_big_endian();

// A 16, 32 or 64-bit value at `p` (which the caller has checked lies in memory it may read),
// converted through the byte order.
std::uint16_t mvcrash_async_load_uint16(const mvcrash_async_byteorder_t* byteorder, const void* p);
std::uint32_t mvcrash_async_load_uint32(const mvcrash_async_byteorder_t* byteorder, const void* p);
std::uint64_t mvcrash_async_load_uint64(const mvcrash_async_byteorder_t* byteorder, const void* p);

bool mvcrash_async_address_apply_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result);

mvcrash_error_t mvcrash_async_task_memcpy(mvcrash_task_t task, std::uint64_t address, std::int64_t offset, void* dest, std::uint64_t length);
mvcrash_error_t mvcrash_async_task_read_uint8(mvcrash_task_t task, std::uint64_t address, std::int64_t offset, std::uint8_t* out);
mvcrash_error_t mvcrash_async_task_read_uint16(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint16_t* out);
mvcrash_error_t mvcrash_async_task_read_uint32(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint32_t* out);
mvcrash_error_t mvcrash_async_task_read_uint64(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint64_t* out);

int mvcrash_async_strcmp(const char* a, const char* b);
int mvcrash_async_strncmp(const char* a, const char* b, std::size_t n);
std::size_t mvcrash_async_strlen(const char* s);
void* mvcrash_async_memcpy(void* dest, const void* src, std::size_t n);
void* mvcrash_async_memset(void* dest, int value, std::size_t n);
// Writes the decimal text of `value` into `buffer` (at most `capacity` - 1 characters and a
// terminating zero, cut when it does not fit); returns the length written.
std::size_t mvcrash_async_format_int(char* buffer, std::size_t capacity, long long value);

long mvcrash_async_writen(int fd, const void* data, std::size_t length);

struct mvcrash_async_file_t {
    int fd = -1;
    std::uint64_t limit_bytes = 0;
    std::uint64_t total_bytes = 0;
    std::uint64_t buflen = 0;
    unsigned char buffer[256];
};

void mvcrash_async_file_init(mvcrash_async_file_t* file, int fd, std::uint64_t limit_bytes);
bool mvcrash_async_file_write(mvcrash_async_file_t* file, const void* data, std::size_t length);
bool mvcrash_async_file_flush(mvcrash_async_file_t* file);
bool mvcrash_async_file_close(mvcrash_async_file_t* file);
