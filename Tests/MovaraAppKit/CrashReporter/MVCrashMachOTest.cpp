#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashMachO.h"
#include "Tests/MovaraAppKit/CrashReporter/MachOImageFixture.h"

namespace {

constexpr std::uint64_t kTextVmaddr = testsupport::MachOImageFixture::kVmaddr;

// Header and load commands, code at 0x400 (with an __unwind_info section), __LINKEDIT (symbols,
// then strings) at 0x800.
struct Image : testsupport::MachOImageFixture {
    Image() : MachOImageFixture(0x1000)
    {
        segment("__TEXT", 0, 0x800, { { "__unwind_info", 0x400, 0x40 } });
        segment("__LINKEDIT", 0x800, 0x800);
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
            const std::size_t o = 0x800 + i * 16;
            put32(o, syms[i].strx);
            bytes[o + 4] = syms[i].type;
            bytes[o + 5] = 1;
            put64(o + 8, syms[i].value);
        }
        command({ MVCRASH_LC_SYMTAB, 24, 0x800, 5, static_cast<std::uint32_t>(stroff), sizeof strings });
        // Locals are entries 0..1, externally defined ones 2..3.
        std::vector<std::uint32_t> dysymtab(20, 0);
        dysymtab[0] = MVCRASH_LC_DYSYMTAB;
        dysymtab[1] = 80;
        dysymtab[2] = 0;
        dysymtab[3] = 2;
        dysymtab[4] = 2;
        dysymtab[5] = 2;
        command(dysymtab);
        finish();
    }
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
