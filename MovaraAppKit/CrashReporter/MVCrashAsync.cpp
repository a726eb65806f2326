#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"

#include <unistd.h>

#include <cerrno>

#include "Platform/System/SafeMemory.h"

const char* mvcrash_async_strerror(int code)
{
    switch (code) {
    case MVCRASH_ERR_NONE: return "No error";
    case MVCRASH_ERR_UNKNOWN: return "Unknown error";
    case MVCRASH_ERR_OUTPUT: return "Output file can not be opened (or written to)";
    case MVCRASH_ERR_NO_MEMORY: return "No memory available";
    case MVCRASH_ERR_NOT_SUPPORTED: return "Operation not supported";
    case MVCRASH_ERR_INVALID_ARGUMENT: return "Invalid argument";
    case MVCRASH_ERR_INTERNAL: return "Internal error";
    case MVCRASH_ERR_ACCESS_DENIED: return "Access denied";
    case MVCRASH_ERR_NOT_FOUND: return "Not found";
    case MVCRASH_ERR_INVALID_DATA: return "The input data is in an unknown or invalid format.";
    default: return "Unhandled error code";
    }
}

std::uint16_t mvcr_swap16(std::uint16_t v) { return __builtin_bswap16(v); }
std::uint32_t mvcr_swap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t mvcr_swap64(std::uint64_t v) { return __builtin_bswap64(v); }
std::uint16_t mvcr_nswap16(std::uint16_t v) { return v; }
std::uint32_t mvcr_nswap32(std::uint32_t v) { return v; }
std::uint64_t mvcr_nswap64(std::uint64_t v) { return v; }

namespace {
const mvcrash_async_byteorder_t kLittle { mvcr_nswap16, mvcr_nswap32, mvcr_nswap64 };
const mvcrash_async_byteorder_t kBig { mvcr_swap16, mvcr_swap32, mvcr_swap64 };
} // namespace

const mvcrash_async_byteorder_t* mvcrash_async_byteorder_little_endian() { return &kLittle; }
const mvcrash_async_byteorder_t* mvcrash_async_byteorder_big_endian() { return &kBig; }

std::uint16_t mvcrash_async_load_uint16(const mvcrash_async_byteorder_t* byteorder, const void* p)
{
    std::uint16_t v;
    mvcrash_async_memcpy(&v, p, 2);
    return byteorder->swap16(v);
}

std::uint32_t mvcrash_async_load_uint32(const mvcrash_async_byteorder_t* byteorder, const void* p)
{
    std::uint32_t v;
    mvcrash_async_memcpy(&v, p, 4);
    return byteorder->swap32(v);
}

std::uint64_t mvcrash_async_load_uint64(const mvcrash_async_byteorder_t* byteorder, const void* p)
{
    std::uint64_t v;
    mvcrash_async_memcpy(&v, p, 8);
    return byteorder->swap64(v);
}

bool mvcrash_async_address_apply_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result)
{
    std::uint64_t sum;
    if (offset >= 0) {
        sum = base + static_cast<std::uint64_t>(offset);
        if (sum < base)
            return false;
    } else {
        const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(offset);
        if (magnitude > base)
            return false;
        sum = base - magnitude;
    }
    if (result)
        *result = sum;
    return true;
}

mvcrash_error_t mvcrash_async_task_memcpy(mvcrash_task_t, std::uint64_t address, std::int64_t offset, void* dest, std::uint64_t length)
{
    std::uint64_t start;
    if (!mvcrash_async_address_apply_offset(address, offset, &start))
        return MVCRASH_ERR_NO_MEMORY;
    switch (sys::readMemory(start, dest, static_cast<std::size_t>(length))) {
    case sys::ReadResult::ok: return MVCRASH_ERR_NONE;
    case sys::ReadResult::unmapped: return MVCRASH_ERR_NOT_FOUND;
    case sys::ReadResult::wraps: return MVCRASH_ERR_NO_MEMORY;
    case sys::ReadResult::failed: return MVCRASH_ERR_UNKNOWN;
    }
    return MVCRASH_ERR_UNKNOWN;
}

mvcrash_error_t mvcrash_async_task_read_uint8(mvcrash_task_t task, std::uint64_t address, std::int64_t offset, std::uint8_t* out)
{
    return mvcrash_async_task_memcpy(task, address, offset, out, 1);
}

mvcrash_error_t mvcrash_async_task_read_uint16(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint16_t* out)
{
    mvcrash_error_t err = mvcrash_async_task_memcpy(task, address, offset, out, 2);
    *out = byteorder->swap16(*out);
    return err;
}

mvcrash_error_t mvcrash_async_task_read_uint32(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint32_t* out)
{
    mvcrash_error_t err = mvcrash_async_task_memcpy(task, address, offset, out, 4);
    *out = byteorder->swap32(*out);
    return err;
}

mvcrash_error_t mvcrash_async_task_read_uint64(mvcrash_task_t task, const mvcrash_async_byteorder_t* byteorder, std::uint64_t address, std::int64_t offset, std::uint64_t* out)
{
    mvcrash_error_t err = mvcrash_async_task_memcpy(task, address, offset, out, 8);
    *out = byteorder->swap64(*out);
    return err;
}

int mvcrash_async_strcmp(const char* a, const char* b)
{
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int mvcrash_async_strncmp(const char* a, const char* b, std::size_t n)
{
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != y[i])
            return static_cast<int>(x[i]) - static_cast<int>(y[i]);
        if (x[i] == 0)
            return 0;
    }
    return 0;
}

std::size_t mvcrash_async_strlen(const char* s)
{
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

void* mvcrash_async_memcpy(void* dest, const void* src, std::size_t n)
{
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(src);
    for (std::size_t i = 0; i < n; ++i)
        d[i] = s[i];
    return dest;
}

void* mvcrash_async_memset(void* dest, int value, std::size_t n)
{
    auto* d = static_cast<unsigned char*>(dest);
    for (std::size_t i = 0; i < n; ++i)
        d[i] = static_cast<unsigned char>(value);
    return dest;
}

std::size_t mvcrash_async_format_int(char* buffer, std::size_t capacity, long long value)
{
    if (capacity == 0)
        return 0;
    char digits[24];
    std::size_t count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    std::size_t length = 0;
    if (value < 0 && length + 1 < capacity)
        buffer[length++] = '-';
    while (count > 0 && length + 1 < capacity)
        buffer[length++] = digits[--count];
    buffer[length] = '\0';
    return length;
}

long mvcrash_async_writen(int fd, const void* data, std::size_t length)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t left = length;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        // A write that takes nothing will take nothing again; errno says nothing about it.
        if (n <= 0)
            return -1;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return static_cast<long>(length);
}

void mvcrash_async_file_init(mvcrash_async_file_t* file, int fd, std::uint64_t limit_bytes)
{
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buflen = 0;
}

bool mvcrash_async_file_write(mvcrash_async_file_t* file, const void* data, std::size_t length)
{
    if (file->limit_bytes != 0) {
        if (file->total_bytes + length > file->limit_bytes)
            return false;
        file->total_bytes += length;
    }
    if (file->buflen + length > sizeof file->buffer) {
        if (mvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0)
            return false;
        file->buflen = 0;
    }
    if (file->buflen + length > sizeof file->buffer)
        return mvcrash_async_writen(file->fd, data, length) >= 0;
    mvcrash_async_memcpy(file->buffer + file->buflen, data, length);
    file->buflen += length;
    return true;
}

bool mvcrash_async_file_flush(mvcrash_async_file_t* file)
{
    if (file->buflen == 0)
        return true;
    if (mvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0)
        return false;
    file->buflen = 0;
    return true;
}

bool mvcrash_async_file_close(mvcrash_async_file_t* file)
{
    if (!mvcrash_async_file_flush(file))
        return false;
    return ::close(file->fd) == 0;
}
