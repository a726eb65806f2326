#include "Platform/System/LoadedImages.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "Platform/System/SafeMemory.h"

namespace sys {

namespace {

char g_executablePath[4096];
std::uint64_t g_mainHeader = 0;
std::uint64_t g_mainBias = 0;
std::atomic<bool> g_prepared { false };

bool hasElfMagic(std::uint64_t address)
{
    unsigned char magic[4];
    return readMemory(address, magic, 4) == ReadResult::ok && std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

} // namespace

void prepareLoadedImages()
{
    if (g_prepared.exchange(true))
        return;
    ssize_t n = ::readlink("/proc/self/exe", g_executablePath, sizeof g_executablePath - 1);
    g_executablePath[n > 0 ? n : 0] = '\0';
    const auto* phdr = reinterpret_cast<const ElfW(Phdr)*>(::getauxval(AT_PHDR));
    const auto phnum = static_cast<std::size_t>(::getauxval(AT_PHNUM));
    if (!phdr)
        return;
    std::uint64_t bias = 0;
    for (std::size_t i = 0; i < phnum; ++i)
        if (phdr[i].p_type == PT_PHDR)
            bias = reinterpret_cast<std::uint64_t>(phdr) - phdr[i].p_vaddr;
    for (std::size_t i = 0; i < phnum; ++i) {
        if (phdr[i].p_type == PT_LOAD && phdr[i].p_offset == 0) {
            g_mainHeader = bias + phdr[i].p_vaddr;
            g_mainBias = bias;
            break;
        }
    }
}

const char* executablePath()
{
    return g_executablePath;
}

bool nextLoadedImage(LoadedImage* image, unsigned* steps)
{
    constexpr unsigned kMaxImages = 8192;
    for (;;) {
        if (*steps >= kMaxImages)
            return false;
        std::uint64_t node = 0;
        if (image->node == 0) {
            std::uint64_t map = 0;
            if (readMemory(reinterpret_cast<std::uint64_t>(&_r_debug.r_map), &map, sizeof map) != ReadResult::ok)
                return false;
            node = map;
        } else if (readMemory(image->node + offsetof(link_map, l_next), &node, sizeof node) != ReadResult::ok) {
            return false;
        }
        if (node == 0)
            return false;
        ++*steps;
        struct {
            std::uint64_t addr, name, ld, next;
        } fields {};
        if (readMemory(node, &fields, sizeof fields) != ReadResult::ok)
            return false;
        image->node = node;
        image->nameAddress = fields.name;
        image->bias = fields.addr;
        // The executable's entry has a bias of 0 (or its own, when position-independent) and no
        // name; its header was found from the auxiliary vector.
        char first = 0;
        const bool unnamed = fields.name == 0 || (readMemory(fields.name, &first, 1) == ReadResult::ok && first == 0);
        if (unnamed && g_mainHeader != 0 && fields.addr == g_mainBias) {
            image->header = g_mainHeader;
            image->nameAddress = reinterpret_cast<std::uint64_t>(g_executablePath);
            return true;
        }
        // Shared objects are linked at 0, so their ELF header lies at the bias itself.
        if (fields.addr != 0 && hasElfMagic(fields.addr)) {
            image->header = fields.addr;
            return true;
        }
        // Anything else (an entry we cannot place) is passed over.
    }
}

} // namespace sys
