#include "Platform/System/SafeMemory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace sys {

namespace {

// Read once before any crash: getpid and sysconf are cheap, but a handler should not depend on
// libc state that another thread may be changing.
struct ProcessFacts {
    pid_t pid = ::getpid();
    std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
};

ProcessFacts g_facts;

ProcessFacts& facts()
{
    return g_facts;
}

// A forked child has a pid of its own; the cached one would read the parent's memory.
pid_t selfPid()
{
    pid_t now = ::getpid();
    facts().pid = now;
    return now;
}

} // namespace

std::size_t pageSize()
{
    return facts().page;
}

ReadResult readMemory(std::uint64_t address, void* dest, std::size_t length)
{
    if (length == 0)
        return ReadResult::ok;
    if (address + length < address)
        return ReadResult::wraps;
    const pid_t pid = selfPid();
    auto* out = static_cast<unsigned char*>(dest);
    std::size_t done = 0;
    while (done < length) {
        iovec local { out + done, length - done };
        iovec remote { reinterpret_cast<void*>(static_cast<std::uintptr_t>(address + done)), length - done };
        ssize_t got = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EFAULT ? ReadResult::unmapped : ReadResult::failed;
        }
        if (got == 0)
            return ReadResult::unmapped;
        done += static_cast<std::size_t>(got);
    }
    return ReadResult::ok;
}

std::size_t readablePrefix(std::uint64_t address, std::size_t length)
{
    if (length == 0)
        return 0;
    if (address + length < address)
        length = static_cast<std::size_t>(UINT64_MAX - address);
    const std::size_t page = pageSize();
    const std::uint64_t first = address & ~static_cast<std::uint64_t>(page - 1);
    const std::uint64_t end = address + length;
    const pid_t pid = selfPid();
    // One byte of every page, up to 256 pages per call: the kernel stops at the first page it
    // cannot read, so the count of bytes copied is the count of readable pages.
    constexpr std::size_t batch = 256;
    unsigned char sink[batch];
    std::uint64_t pageAddress = first;
    while (pageAddress < end) {
        iovec remote[batch];
        std::size_t count = 0;
        for (std::uint64_t p = pageAddress; p < end && count < batch; p += page)
            remote[count++] = iovec { reinterpret_cast<void*>(static_cast<std::uintptr_t>(p)), 1 };
        iovec local { sink, count };
        ssize_t got = ::process_vm_readv(pid, &local, 1, remote, count, 0);
        if (got < 0 && errno == EINTR)
            continue;
        std::size_t readable = got > 0 ? static_cast<std::size_t>(got) : 0;
        pageAddress += readable * page;
        if (readable < count)
            break;
    }
    if (pageAddress <= address)
        return 0;
    return static_cast<std::size_t>(pageAddress >= end ? length : pageAddress - address);
}

} // namespace sys
