#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashCompactUnwind.h"

namespace {

// An __unwind_info section built by hand: header, common encodings, a first-level index and its
// second-level pages.
struct Section {
    std::vector<std::uint8_t> bytes;
    void u32(std::size_t at, std::uint32_t v)
    {
        if (bytes.size() < at + 4)
            bytes.resize(at + 4);
        std::memcpy(bytes.data() + at, &v, 4);
    }
    void u16(std::size_t at, std::uint16_t v)
    {
        if (bytes.size() < at + 2)
            bytes.resize(at + 2);
        std::memcpy(bytes.data() + at, &v, 2);
    }
};

// Common encodings [0xC1, 0xC2]; index entries at function offsets 0x1000 (a regular page) and
// 0x2000 (a compressed page with three encodings of its own), and the end marker at 0x3000.
Section sample()
{
    Section s;
    s.u32(0, 1);       // version
    s.u32(4, 28);      // common encodings
    s.u32(8, 2);
    s.u32(12, 0);      // personalities
    s.u32(16, 0);
    s.u32(20, 36);     // first-level index
    s.u32(24, 3);
    s.u32(28, 0xC1);
    s.u32(32, 0xC2);
    // index: function offset, page offset, lsda offset
    s.u32(36, 0x1000); s.u32(40, 100); s.u32(44, 0);
    s.u32(48, 0x2000); s.u32(52, 200); s.u32(56, 0);
    s.u32(60, 0x3000); s.u32(64, 0); s.u32(68, 0);
    // regular page at 100: kind 2, entries at +8, 2 entries
    s.u32(100, 2); s.u16(104, 8); s.u16(106, 2);
    s.u32(108, 0x1000); s.u32(112, 0xA1);
    s.u32(116, 0x1800); s.u32(120, 0xA2);
    // compressed page at 200: kind 3, entries at +12 (2), encodings at +20 (3)
    s.u32(200, 3); s.u16(204, 12); s.u16(206, 2); s.u16(208, 20); s.u16(210, 3);
    s.u32(212, (0u << 24) | 0x0);   // common encoding 0 at 0x2000
    s.u32(216, (2u << 24) | 0x10);  // page encoding 0 at 0x2010
    s.u32(220, 0xB0); s.u32(224, 0xB1); s.u32(228, 0xB2);
    s.bytes.resize(232);
    return s;
}

struct Mapped {
    mvcrash_async_mobject_t mobj;
    explicit Mapped(const Section& s) { EXPECT_EQ(mvcrash_async_mobject_init(&mobj, MVCRASH_TASK_SELF, reinterpret_cast<std::uint64_t>(s.bytes.data()), s.bytes.size(), true), MVCRASH_ERR_NONE); }
    ~Mapped() { mvcrash_async_mobject_free(&mobj); }
};

} // namespace

TEST(MVCrashCompactUnwind, LookupsFindTheCoveringFunctionOnBothPageKinds)
{
    Section s = sample();
    Mapped m(s);
    mvcrash_async_cfe_reader_t reader;
    ASSERT_EQ(mvcrash_async_cfe_reader_init(&reader, &m.mobj, MVCRASH_CPU_TYPE_X86_64), MVCRASH_ERR_NONE);
    struct Case {
        std::uint64_t pc;
        mvcrash_error_t result;
        std::uint64_t base;
        std::uint32_t encoding;
    };
    const Case cases[] = {
        { 0x1000, MVCRASH_ERR_NONE, 0x1000, 0xA1 },   // exactly a function's start
        { 0x17FF, MVCRASH_ERR_NONE, 0x1000, 0xA1 },
        { 0x1FFF, MVCRASH_ERR_NONE, 0x1800, 0xA2 },   // the page's last function
        { 0x2005, MVCRASH_ERR_NONE, 0x2000, 0xC1 },   // a common encoding
        { 0x2010, MVCRASH_ERR_NONE, 0x2010, 0xB0 },   // the page's own encoding 0 (index 2, 2 common)
        { 0x0FFF, MVCRASH_ERR_NOT_FOUND, 0, 0 },
    };
    for (const auto& c : cases) {
        std::uint64_t base = 0;
        std::uint32_t encoding = 0;
        ASSERT_EQ(mvcrash_async_cfe_reader_find_pc(&reader, c.pc, &base, &encoding), c.result) << std::hex << c.pc;
        if (c.result == MVCRASH_ERR_NONE) {
            EXPECT_EQ(base, c.base) << std::hex << c.pc;
            EXPECT_EQ(encoding, c.encoding) << std::hex << c.pc;
        }
    }
}

TEST(MVCrashCompactUnwind, TruncatedAndHostileTablesAreRefused)
{
    struct Case {
        const char* what;
        void (*change)(Section&);
        mvcrash_error_t init, find;
    };
    const Case cases[] = {
        { "version 2", [](Section& s) { s.u32(0, 2); }, MVCRASH_ERR_NOT_SUPPORTED, MVCRASH_ERR_NONE },
        { "an index of the end marker only", [](Section& s) { s.u32(24, 1); }, MVCRASH_ERR_NONE, MVCRASH_ERR_NOT_FOUND },
        { "an index far past the section", [](Section& s) { s.u32(20, 0x7FFFFFF0); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "a huge index count", [](Section& s) { s.u32(24, 0xFFFFFFFF); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "a page outside the section", [](Section& s) { s.u32(52, 0xFFFFFF00); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "an unknown page kind", [](Section& s) { s.u32(200, 7); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "page entries past the end", [](Section& s) { s.u16(206, 0xFFFF); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "an encoding index past the page's own", [](Section& s) { s.u32(216, (5u << 24) | 0x10); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "a section cut in the middle", [](Section& s) { s.bytes.resize(210); }, MVCRASH_ERR_NONE, MVCRASH_ERR_INVALID_ARGUMENT },
        { "a header cut short", [](Section& s) { s.bytes.resize(20); }, MVCRASH_ERR_INVALID_ARGUMENT, MVCRASH_ERR_NONE },
    };
    for (const auto& c : cases) {
        Section s = sample();
        c.change(s);
        Mapped m(s);
        mvcrash_async_cfe_reader_t reader;
        ASSERT_EQ(mvcrash_async_cfe_reader_init(&reader, &m.mobj, MVCRASH_CPU_TYPE_X86_64), c.init) << c.what;
        if (c.init != MVCRASH_ERR_NONE)
            continue;
        std::uint64_t base;
        std::uint32_t encoding;
        EXPECT_EQ(mvcrash_async_cfe_reader_find_pc(&reader, 0x2010, &base, &encoding), c.find) << c.what;
    }
    Section s = sample();
    Mapped m(s);
    mvcrash_async_cfe_reader_t reader;
    EXPECT_EQ(mvcrash_async_cfe_reader_init(&reader, &m.mobj, 18), MVCRASH_ERR_NOT_SUPPORTED);
}

TEST(MVCrashCompactUnwind, EncodingsDecodeIntoFrameDescriptions)
{
    mvcrash_async_cfe_entry_t entry;
    ASSERT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x01010000), MVCRASH_ERR_NONE);
    EXPECT_EQ(entry.type, MVCRASH_CFE_FRAME_POINTER);
    EXPECT_EQ(entry.stack_offset, -8);
    EXPECT_EQ(entry.register_count, 0u);
    // Frame-pointer registers [rbx, none, r12], lowest bits first.
    ASSERT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x01020000 | 1 | (0 << 3) | (2 << 6)), MVCRASH_ERR_NONE);
    ASSERT_EQ(entry.register_count, 3u);
    EXPECT_EQ(entry.register_list[0], static_cast<std::uint32_t>(MVCRASH_X86_64_RBX));
    EXPECT_EQ(entry.register_list[1], MVCRASH_CFE_NO_REGISTER);
    EXPECT_EQ(entry.register_list[2], static_cast<std::uint32_t>(MVCRASH_X86_64_R12));
    ASSERT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x04001234), MVCRASH_ERR_NONE);
    EXPECT_EQ(entry.type, MVCRASH_CFE_DWARF);
    EXPECT_EQ(entry.stack_offset, 0x1234);
    EXPECT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x05000000), MVCRASH_ERR_NOT_SUPPORTED);
    EXPECT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x01000007), MVCRASH_ERR_INVALID_ARGUMENT); // register code 7
    // ARM64 frame with two register pairs.
    ASSERT_EQ(mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_ARM64, 0x04000011), MVCRASH_ERR_NONE);
    EXPECT_EQ(entry.register_count, 4u);
    EXPECT_EQ(entry.stack_offset, -32);
}

TEST(MVCrashCompactUnwind, RegisterPermutationsRoundTrip)
{
    std::uint32_t regs[6];
    ASSERT_EQ(mvcrash_async_cfe_register_decode(0, 6, regs), MVCRASH_ERR_NONE);
    EXPECT_EQ(std::vector<std::uint32_t>(regs, regs + 6), (std::vector<std::uint32_t> { 1, 2, 3, 4, 5, 6 }));
    ASSERT_EQ(mvcrash_async_cfe_register_decode(719, 6, regs), MVCRASH_ERR_NONE);
    EXPECT_EQ(std::vector<std::uint32_t>(regs, regs + 6), (std::vector<std::uint32_t> { 6, 5, 4, 3, 2, 1 }));
    EXPECT_EQ(mvcrash_async_cfe_register_decode(0, 7, regs), MVCRASH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(mvcrash_async_cfe_register_decode(1023, 1, regs), MVCRASH_ERR_INVALID_ARGUMENT) << "a digit naming no free code";
    for (std::uint32_t count = 1; count <= 5; ++count) {
        const std::uint32_t sample[5] = { 4, 1, 6, 2, 5 };
        const std::uint32_t p = mvcrash_async_cfe_register_encode(sample, count);
        ASSERT_EQ(mvcrash_async_cfe_register_decode(p, count, regs), MVCRASH_ERR_NONE);
        EXPECT_EQ(std::vector<std::uint32_t>(regs, regs + count), std::vector<std::uint32_t>(sample, sample + count));
    }
}

TEST(MVCrashCompactUnwind, ApplyingFramesRecoversTheCaller)
{
    mvcrash_async_thread_state_t state, next;
    mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86_64);
    // Frame pointer: [saved rbx][pad][r12] below fp, then saved fp and return address.
    std::uint64_t stack[8] = { 0x1B, 0x00, 0x12, 0xF00D, 0x401000, 0, 0, 0 };
    const auto fp = reinterpret_cast<std::uint64_t>(&stack[3]);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_REG_FP, fp);
    mvcrash_async_cfe_entry_t entry;
    mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x01030000 | 1 | (0 << 3) | (2 << 6));
    ASSERT_EQ(mvcrash_async_cfe_entry_apply(MVCRASH_TASK_SELF, 0, &state, &entry, &next), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_IP), 0x401000u);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_FP), 0xF00Du);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_SP), fp + 16);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_X86_64_RBX), 0x1Bu);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_X86_64_R12), 0x12u);

    // Frameless, immediate size 24: the return address is the last word of the frame.
    std::uint64_t frame[3] = { 0x33, 0x44, 0x402000 };
    mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86_64);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_REG_SP, reinterpret_cast<std::uint64_t>(frame));
    const std::uint32_t saved[1] = { 1 }; // rbx
    mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x02030000 | (1 << 10) | mvcrash_async_cfe_register_encode(saved, 1));
    ASSERT_EQ(mvcrash_async_cfe_entry_apply(MVCRASH_TASK_SELF, 0, &state, &entry, &next), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_IP), 0x402000u);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_X86_64_RBX), 0x44u);

    // A DWARF encoding is for the DWARF reader; an unreadable frame is an error, not a fault.
    mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x04000010);
    EXPECT_EQ(mvcrash_async_cfe_entry_apply(MVCRASH_TASK_SELF, 0, &state, &entry, &next), MVCRASH_ERR_NOT_SUPPORTED);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_REG_FP, 0x10);
    mvcrash_async_cfe_entry_init(&entry, MVCRASH_CPU_TYPE_X86_64, 0x01010000);
    EXPECT_EQ(mvcrash_async_cfe_entry_apply(MVCRASH_TASK_SELF, 0, &state, &entry, &next), MVCRASH_ERR_NOT_FOUND);
}
