#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashMachO.h"

namespace {

constexpr std::uint64_t kTextVmaddr = 0x100000000ULL;

// A small 64-bit image laid out in one buffer as the loader would map it: header and load
// commands, code at 0x400, __LINKEDIT (symbols, then strings) at 0x800.
struct Image {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x1000, 0);
    std::size_t cmds = 32;
    std::uint32_t ncmds = 0;

    void put32(std::size_t at, std::uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }
    void put64(std::size_t at, std::uint64_t v) { std::memcpy(bytes.data() + at, &v, 8); }
    void name(std::size_t at, const char* n) { std::strncpy(reinterpret_cast<char*>(bytes.data() + at), n, 16); }

    void segment(const char* segname, std::uint64_t vmaddr, std::uint64_t vmsize, std::uint64_t fileoff, const char* sectname = nullptr, std::uint64_t sectaddr = 0, std::uint64_t sectsize = 0)
    {
        const std::uint32_t size = 72 + (sectname ? 80 : 0);
        put32(cmds, MVCRASH_LC_SEGMENT_64);
        put32(cmds + 4, size);
        name(cmds + 8, segname);
        put64(cmds + 24, vmaddr);
        put64(cmds + 32, vmsize);
        put64(cmds + 40, fileoff);
        put64(cmds + 48, vmsize);
        put32(cmds + 64, sectname ? 1 : 0);
        if (sectname) {
            name(cmds + 72, sectname);
            name(cmds + 88, segname);
            put64(cmds + 104, sectaddr);
            put64(cmds + 112, sectsize);
        }
        cmds += size;
        ++ncmds;
    }

    Image()
    {
        segment("__TEXT", kTextVmaddr, 0x800, 0, "__unwind_info", kTextVmaddr + 0x400, 0x40);
        segment("__LINKEDIT", kTextVmaddr + 0x800, 0x800, 0x800);
        // Symbols: globals "_main" at 0x500 and "_helper" at 0x540; locals "_static" at 0x560 and
        // "_twin" at 0x540 (the same value as a global); a debugging entry that must be ignored.
        const char strings[] = "\0_main\0_helper\0_static\0_twin\0_debug\0";
        const std::size_t stroff = 0x900;
        std::memcpy(bytes.data() + stroff, strings, sizeof strings);
        struct Sym {
            std::uint32_t strx;
            std::uint8_t type;
            std::uint64_t value;
        };
        const Sym syms[] = { { 15, 0x0E, kTextVmaddr + 0x560 }, { 23, 0x0E, kTextVmaddr + 0x540 }, { 1, 0x0F, kTextVmaddr + 0x500 }, { 7, 0x0F, kTextVmaddr + 0x540 }, { 29, 0x24, kTextVmaddr + 0x5F0 } };
        for (std::size_t i = 0; i < 5; ++i) {
            const std::size_t at = 0x800 + i * 16;
            put32(at, syms[i].strx);
            bytes[at + 4] = syms[i].type;
            bytes[at + 5] = 1;
            put64(at + 8, syms[i].value);
        }
        put32(cmds, MVCRASH_LC_SYMTAB);
        put32(cmds + 4, 24);
        put32(cmds + 8, 0x800);
        put32(cmds + 12, 5);
        put32(cmds + 16, stroff);
        put32(cmds + 20, sizeof strings);
        cmds += 24;
        ++ncmds;
        put32(cmds, MVCRASH_LC_DYSYMTAB);
        put32(cmds + 4, 80);
        put32(cmds + 8, 0);  // locals 0..1
        put32(cmds + 12, 2);
        put32(cmds + 16, 2); // externally defined 2..3
        put32(cmds + 20, 2);
        cmds += 80;
        ++ncmds;
        header();
    }

    void header()
    {
        put32(0, MVCRASH_MH_MAGIC_64);
        put32(4, 0x01000007);
        put32(8, 3);
        put32(12, 2);
        put32(16, ncmds);
        put32(20, static_cast<std::uint32_t>(cmds - 32));
    }

    std::uint64_t base() const { return reinterpret_cast<std::uint64_t>(bytes.data()); }
};

struct Found {
    std::uint64_t address = 0;
    std::string name;
};

void remember(std::uint64_t address, const char* name, void* context)
{
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
}

} // namespace

TEST(MVCrashMachO, AnImageIsDescribedFromItsHeaderAndCommands)
{
    Image fixture;
    mvcrash_async_macho_t image;
    ASSERT_EQ(mvcrash_nasync_macho_init(&image, MVCRASH_TASK_SELF, "/usr/lib/fixture.dylib", fixture.base()), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_macho_cpu_type(&image), 0x01000007u);
    EXPECT_EQ(image.text_size, 0x800u);
    EXPECT_TRUE(mvcrash_async_macho_contains_address(&image, fixture.base() + 0x7FF));
    EXPECT_FALSE(mvcrash_async_macho_contains_address(&image, fixture.base() + 0x800));
    EXPECT_STREQ(image.name, "/usr/lib/fixture.dylib");
    mvcrash_async_mobject_t section;
    ASSERT_EQ(mvcrash_async_macho_map_section(&image, "__TEXT", "__unwind_info", &section), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_mobject_base_address(&section), fixture.base() + 0x400);
    EXPECT_EQ(mvcrash_async_mobject_length(&section), 0x40u);
    mvcrash_async_mobject_free(&section);
    EXPECT_EQ(mvcrash_async_macho_map_section(&image, "__TEXT", "__eh_frame", &section), MVCRASH_ERR_NOT_FOUND);
    EXPECT_EQ(mvcrash_async_macho_map_section(&image, "__DATA", "__data", &section), MVCRASH_ERR_NOT_FOUND);
    mvcrash_nasync_macho_free(&image);
}

TEST(MVCrashMachO, SymbolsAreFoundByAddressAndByName)
{
    Image fixture;
    mvcrash_async_macho_t image;
    ASSERT_EQ(mvcrash_nasync_macho_init(&image, MVCRASH_TASK_SELF, "fixture", fixture.base()), MVCRASH_ERR_NONE);
    struct Case {
        std::uint64_t offset;
        mvcrash_error_t result;
        const char* name;
        std::uint64_t start;
    };
    const Case cases[] = {
        { 0x520, MVCRASH_ERR_NONE, "_main", 0x500 },
        { 0x540, MVCRASH_ERR_NONE, "_helper", 0x540 },  // the global wins over a local at the same value
        { 0x570, MVCRASH_ERR_NONE, "_static", 0x560 }, // a nearer local wins over the global
        { 0x5F8, MVCRASH_ERR_NONE, "_static", 0x560 }, // debugging entries are never candidates
        { 0x4FF, MVCRASH_ERR_NOT_FOUND, "", 0 },
    };
    for (const auto& c : cases) {
        Found found;
        ASSERT_EQ(mvcrash_async_macho_find_symbol_by_pc(&image, fixture.base() + c.offset, remember, &found), c.result) << std::hex << c.offset;
        if (c.result != MVCRASH_ERR_NONE)
            continue;
        EXPECT_EQ(found.name, c.name) << std::hex << c.offset;
        EXPECT_EQ(found.address, fixture.base() + c.start) << std::hex << c.offset;
    }
    std::uint64_t address = 0;
    ASSERT_EQ(mvcrash_async_macho_find_symbol_by_name(&image, "_twin", &address), MVCRASH_ERR_NONE);
    EXPECT_EQ(address, fixture.base() + 0x540);
    EXPECT_EQ(mvcrash_async_macho_find_symbol_by_name(&image, "twin", &address), MVCRASH_ERR_NOT_FOUND);
    mvcrash_nasync_macho_free(&image);
}

TEST(MVCrashMachO, HostileImagesAreRefusedWithoutFaulting)
{
    struct Case {
        const char* what;
        void (*change)(Image&);
        mvcrash_error_t init;
        mvcrash_error_t lookup;
    };
    const Case cases[] = {
        { "a universal-file magic", [](Image& f) { f.put32(0, 0xCAFEBABE); }, MVCRASH_ERR_INVALID_ARGUMENT, MVCRASH_ERR_NONE },
        { "commands larger than the image", [](Image& f) { f.put32(20, 0x7FFFFFF0); }, MVCRASH_ERR_NO_MEMORY, MVCRASH_ERR_NONE },
        { "no __TEXT segment", [](Image& f) { f.name(32 + 8, "__DATA"); }, MVCRASH_ERR_INVALID_ARGUMENT, MVCRASH_ERR_NONE },
        { "a command of size 4 ends the walk", [](Image& f) { f.put32(32 + 4, 4); }, MVCRASH_ERR_INVALID_ARGUMENT, MVCRASH_ERR_NONE },
        { "a symbol table past __LINKEDIT", [](Image& f) { f.put32(32 + 152 + 72 + 12, 0x10000000); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INTERNAL },
        { "a string index past the strings", [](Image& f) { f.put32(0x800 + 2 * 16, 0xFFFF); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "a global range past the symbols", [](Image& f) { f.put32(32 + 152 + 72 + 24 + 20, 100); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "strings without a terminator", [](Image& f) { f.put32(32 + 152 + 72 + 20, 6); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
    };
    for (const auto& c : cases) {
        Image fixture;
        c.change(fixture);
        mvcrash_async_macho_t image;
        ASSERT_EQ(mvcrash_nasync_macho_init(&image, MVCRASH_TASK_SELF, "fixture", fixture.base()), c.init) << c.what;
        if (c.init != MVCRASH_ERR_NONE)
            continue;
        Found found;
        EXPECT_EQ(mvcrash_async_macho_find_symbol_by_pc(&image, fixture.base() + 0x520, remember, &found), c.lookup) << c.what;
        mvcrash_nasync_macho_free(&image);
    }
}
