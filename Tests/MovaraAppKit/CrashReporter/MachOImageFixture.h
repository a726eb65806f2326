#pragma once
// Builds a small 64-bit image of the desktop platform's format in one buffer, laid out as the
// loader would map it (file offset = offset from the header), for the readers' tests. Segments
// are linked at 0x100000000 + their offset, so run-time addresses are the buffer's base plus it.

#include <cstdint>
#include <cstring>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashMachO.h"

namespace testsupport {

struct MachOImageFixture {
    static constexpr std::uint64_t kVmaddr = 0x100000000ULL;

    std::vector<std::uint8_t> bytes;
    std::size_t cmds = 32;
    std::uint32_t ncmds = 0;

    explicit MachOImageFixture(std::size_t size) : bytes(size, 0) { }

    std::uint64_t at(std::uint64_t offset) const { return reinterpret_cast<std::uint64_t>(bytes.data()) + offset; }
    std::uint64_t base() const { return at(0); }
    void put32(std::size_t o, std::uint32_t v) { std::memcpy(bytes.data() + o, &v, 4); }
    void put64(std::size_t o, std::uint64_t v) { std::memcpy(bytes.data() + o, &v, 8); }
    void ptr(std::size_t o, std::uint64_t offset) { put64(o, at(offset)); }
    void text(std::size_t o, const char* s) { std::memcpy(bytes.data() + o, s, std::strlen(s) + 1); }
    void name(std::size_t o, const char* n) { std::strncpy(reinterpret_cast<char*>(bytes.data() + o), n, 16); }

    struct Section {
        const char* name;
        std::uint64_t offset, size;
    };

    void segment(const char* segname, std::uint64_t offset, std::uint64_t size, const std::vector<Section>& sections = {})
    {
        const std::uint32_t cmdsize = 72 + 80 * static_cast<std::uint32_t>(sections.size());
        put32(cmds, MVCRASH_LC_SEGMENT_64);
        put32(cmds + 4, cmdsize);
        name(cmds + 8, segname);
        put64(cmds + 24, kVmaddr + offset);
        put64(cmds + 32, size);
        put64(cmds + 40, offset);
        put64(cmds + 48, size);
        put32(cmds + 64, static_cast<std::uint32_t>(sections.size()));
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::size_t s = cmds + 72 + i * 80;
            name(s, sections[i].name);
            name(s + 16, segname);
            put64(s + 32, kVmaddr + sections[i].offset);
            put64(s + 40, sections[i].size);
        }
        cmds += cmdsize;
        ++ncmds;
    }

    // A command of `words` 32-bit values (the first two are its type and size).
    void command(const std::vector<std::uint32_t>& words)
    {
        for (std::size_t i = 0; i < words.size(); ++i)
            put32(cmds + i * 4, words[i]);
        cmds += words.size() * 4;
        ++ncmds;
    }

    // Writes the header once the commands are in.
    void finish()
    {
        put32(0, MVCRASH_MH_MAGIC_64);
        put32(4, 0x01000007);
        put32(8, 3);
        put32(12, 2);
        put32(16, ncmds);
        put32(20, static_cast<std::uint32_t>(cmds - 32));
    }
};

} // namespace testsupport
