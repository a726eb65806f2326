#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashDwarf.h"

using namespace mvcrash::async;

namespace {

// Bytes of a frame section or a program, built by hand.
struct Bytes {
    std::vector<std::uint8_t> data;
    Bytes& u8(std::uint8_t v) { data.push_back(v); return *this; }
    Bytes& u16(std::uint16_t v) { return raw(&v, 2); }
    Bytes& u32(std::uint32_t v) { return raw(&v, 4); }
    Bytes& u64(std::uint64_t v) { return raw(&v, 8); }
    Bytes& raw(const void* p, std::size_t n)
    {
        auto* b = static_cast<const std::uint8_t*>(p);
        data.insert(data.end(), b, b + n);
        return *this;
    }
    Bytes& str(const char* s) { return raw(s, std::strlen(s) + 1); }
    Bytes& uleb(std::uint64_t v)
    {
        do {
            std::uint8_t b = v & 0x7F;
            v >>= 7;
            data.push_back(static_cast<std::uint8_t>(b | (v ? 0x80 : 0)));
        } while (v);
        return *this;
    }
    Bytes& sleb(std::int64_t v)
    {
        for (;;) {
            std::uint8_t b = v & 0x7F;
            v >>= 7;
            const bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
            data.push_back(static_cast<std::uint8_t>(b | (done ? 0 : 0x80)));
            if (done)
                return *this;
        }
    }
    Bytes& patch32(std::size_t at, std::uint32_t v)
    {
        std::memcpy(data.data() + at, &v, 4);
        return *this;
    }
    std::uint64_t address(std::size_t offset = 0) const { return reinterpret_cast<std::uint64_t>(data.data()) + offset; }
};

struct Section {
    mvcrash_async_mobject_t mobj;
    explicit Section(const Bytes& bytes)
    {
        EXPECT_EQ(mvcrash_async_mobject_init(&mobj, MVCRASH_TASK_SELF, bytes.address(), bytes.data.size(), true), MVCRASH_ERR_NONE);
    }
    ~Section() { mvcrash_async_mobject_free(&mobj); }
};

const mvcrash_async_byteorder_t* le() { return mvcrash_async_byteorder_little_endian(); }

// A CIE "zR" with FDE pointers in `encoding`, data alignment -8, return address register 16, and
// `initial` as its initial instructions. Returns the CIE's offset.
std::size_t appendCie(Bytes& b, const char* augmentation, const std::vector<std::uint8_t>& augData, const std::vector<std::uint8_t>& initial, std::uint8_t version = 1)
{
    const std::size_t start = b.data.size();
    b.u32(0).u32(0).u8(version).str(augmentation).uleb(1).sleb(-8);
    if (version == 1)
        b.u8(16);
    else
        b.uleb(16);
    if (augmentation[0] == 'z') {
        b.uleb(augData.size());
        b.data.insert(b.data.end(), augData.begin(), augData.end());
    }
    b.data.insert(b.data.end(), initial.begin(), initial.end());
    b.patch32(start, static_cast<std::uint32_t>(b.data.size() - start - 4));
    return start;
}

// An FDE of `cieAt` starting `pcOffset` bytes after its own pc field (pcrel sdata4) and `range`
// bytes long.
std::size_t appendFde(Bytes& b, std::size_t cieAt, std::int32_t pcOffset, std::uint32_t range, const std::vector<std::uint8_t>& augData, const std::vector<std::uint8_t>& instructions)
{
    const std::size_t start = b.data.size();
    b.u32(0);
    b.u32(static_cast<std::uint32_t>(b.data.size() - cieAt));
    b.u32(static_cast<std::uint32_t>(pcOffset)).u32(range).uleb(augData.size());
    b.data.insert(b.data.end(), augData.begin(), augData.end());
    b.data.insert(b.data.end(), instructions.begin(), instructions.end());
    b.patch32(start, static_cast<std::uint32_t>(b.data.size() - start - 4));
    return start;
}

} // namespace

TEST(MVCrashDwarf, LebNumbers)
{
    Bytes b;
    b.u8(0xE5).u8(0x8E).u8(0x26).u8(0x7F).u8(0x80);
    Section s(b);
    std::uint64_t u = 0, size = 0;
    ASSERT_EQ(mvcrash_async_dwarf_read_uleb128(&s.mobj, b.address(), 0, &u, &size), MVCRASH_ERR_NONE);
    EXPECT_EQ(u, 624485u);
    EXPECT_EQ(size, 3u);
    std::int64_t sv = 0;
    ASSERT_EQ(mvcrash_async_dwarf_read_sleb128(&s.mobj, b.address(), 3, &sv, &size), MVCRASH_ERR_NONE);
    EXPECT_EQ(sv, -1);
    // A number whose last byte still says "more" runs off the end.
    EXPECT_EQ(mvcrash_async_dwarf_read_uleb128(&s.mobj, b.address(), 4, &u, &size), MVCRASH_ERR_INVALID_ARGUMENT);
}

TEST(MVCrashDwarf, CiesAndFdesAreParsedWithTheirAugmentations)
{
    Bytes b;
    const std::size_t cie = appendCie(b, "zR", { 0x1B }, { 0x0C, 0x07, 0x08, 0x90, 0x01 });
    const std::size_t fde = appendFde(b, cie, 0x100, 0x40, {}, { 0x41, 0x0E, 0x10 });
    // "zPLR": personality (absptr, 8 bytes), LSDA encoding, FDE encoding; its FDEs carry 8 bytes
    // of augmentation data that the instructions follow.
    std::vector<std::uint8_t> plr = { 0x00 };
    for (int i = 0; i < 8; ++i)
        plr.push_back(static_cast<std::uint8_t>(0x11 * (i + 1)));
    plr.push_back(0x1B);
    plr.push_back(0x1B);
    const std::size_t cie2 = appendCie(b, "zPLR", plr, {});
    const std::size_t fde2 = appendFde(b, cie2, 0x200, 0x10, std::vector<std::uint8_t>(8, 0xAA), { 0x00 });
    b.u32(0);
    Section s(b);
    gnu_ehptr_reader<std::uint64_t> reader(le());

    mvcrash_async_dwarf_cie_info_t info;
    ASSERT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address(cie)), MVCRASH_ERR_NONE);
    EXPECT_TRUE(info.has_eh_augmentation);
    EXPECT_EQ(info.pointer_encoding, 0x1B);
    EXPECT_EQ(info.data_alignment_factor, -8);
    EXPECT_EQ(info.return_address_register, 16u);
    EXPECT_EQ(info.initial_instructions_length, 5u);

    mvcrash_async_dwarf_fde_info_t f;
    ASSERT_EQ(mvcrash_async_dwarf_fde_info_init(&f, &s.mobj, le(), &reader, b.address(fde), false), MVCRASH_ERR_NONE);
    EXPECT_EQ(f.pc_start, b.address(fde + 8) + 0x100);
    EXPECT_EQ(f.pc_end, f.pc_start + 0x40);
    EXPECT_EQ(f.cie_offset, cie);
    EXPECT_EQ(f.instructions_length, 3u);

    ASSERT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address(cie2)), MVCRASH_ERR_NONE);
    EXPECT_TRUE(info.has_personality_address);
    EXPECT_EQ(info.personality_address, 0x8877665544332211u);
    EXPECT_EQ(info.lsda_encoding, 0x1B);
    ASSERT_EQ(mvcrash_async_dwarf_fde_info_init(&f, &s.mobj, le(), &reader, b.address(fde2), false), MVCRASH_ERR_NONE);
    EXPECT_EQ(f.instructions_offset, fde2 + 4 + 4 + 8 + 1 + 8);

    dwarf_frame_reader<std::uint64_t> frames;
    frames.init(&s.mobj, le(), false);
    ASSERT_EQ(frames.find_fde(0, b.address(fde2 + 8) + 0x205, &reader, &f), MVCRASH_ERR_NONE);
    EXPECT_EQ(f.pc_start, b.address(fde2 + 8) + 0x200);
    EXPECT_EQ(frames.find_fde(0, b.address(fde2 + 8) + 0x210, &reader, &f), MVCRASH_ERR_NOT_FOUND);
}

TEST(MVCrashDwarf, UnusualAndHostileCiesAreRefused)
{
    gnu_ehptr_reader<std::uint64_t> reader(le());
    mvcrash_async_dwarf_cie_info_t info;
    {
        Bytes b;
        appendCie(b, "eh", {}, {});
        Section s(b);
        EXPECT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address()), MVCRASH_ERR_NOT_SUPPORTED);
    }
    {
        Bytes b;
        appendCie(b, "zR", { 0x1B }, {}, 2);
        Section s(b);
        EXPECT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address()), MVCRASH_ERR_INVALID_ARGUMENT);
    }
    {
        // A length that claims more than the section holds.
        Bytes b;
        appendCie(b, "zR", { 0x1B }, {});
        b.patch32(0, 0x7FFFFFF0);
        Section s(b);
        EXPECT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address()), MVCRASH_ERR_INVALID_ARGUMENT);
    }
    {
        // 64-bit DWARF: 0xffffffff, a 64-bit length and an 8-byte id.
        Bytes b;
        b.u32(0xFFFFFFFF).u64(0).u64(0).u8(3).str("").uleb(1).sleb(-8).uleb(16).u8(0x0C).u8(7).u8(8);
        const std::uint64_t length = b.data.size() - 12;
        std::memcpy(b.data.data() + 4, &length, 8);
        Section s(b);
        ASSERT_EQ(mvcrash_async_dwarf_cie_info_init(&info, &s.mobj, le(), &reader, b.address()), MVCRASH_ERR_NONE);
        EXPECT_EQ(info.cie_offset, 12u);
        EXPECT_EQ(info.initial_instructions_length, 3u);
    }
    {
        // An FDE whose CIE pointer reaches before the section.
        Bytes b;
        b.u32(12).u32(0x1000).u32(0).u32(0);
        Section s(b);
        mvcrash_async_dwarf_fde_info_t f;
        EXPECT_EQ(mvcrash_async_dwarf_fde_info_init(&f, &s.mobj, le(), &reader, b.address(), false), MVCRASH_ERR_INVALID_ARGUMENT);
    }
}

namespace {

struct Program {
    mvcrash_async_dwarf_cie_info_t cie;
    Program()
    {
        cie.code_alignment_factor = 1;
        cie.data_alignment_factor = -8;
        cie.return_address_register = 16;
    }
    mvcrash_error_t run(dwarf_cfa_state<std::uint64_t, std::int64_t>& state, const std::vector<std::uint8_t>& code, std::uint64_t pc, std::uint64_t start = 0x1000)
    {
        Bytes b;
        b.data = code;
        if (b.data.empty())
            b.u8(0);
        Section s(b);
        return state.eval_program(&s.mobj, pc, start, &cie, nullptr, le(), b.address(), 0, code.size());
    }
};

} // namespace

TEST(MVCrashDwarfProgram, RulesFollowTheInstructionsUpToThePc)
{
    Program p;
    dwarf_cfa_state<std::uint64_t, std::int64_t> state;
    // def_cfa rsp+8; offset r16 at cfa-8; remember; advance 4; def_cfa_offset 16; advance 4; restore.
    const std::vector<std::uint8_t> code = { 0x0C, 7, 8, 0x90, 1, 0x0A, 0x44, 0x0E, 16, 0x44, 0x0B };
    ASSERT_EQ(p.run(state, code, 0x1005), MVCRASH_ERR_NONE);
    EXPECT_EQ(state.get_cfa_rule().offset, 16);
    mvcrash_dwarf_cfa_reg_rule_t rule;
    std::int64_t value;
    ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
    EXPECT_EQ(rule, DWARF_RULE_OFFSET);
    EXPECT_EQ(value, -8);

    dwarf_cfa_state<std::uint64_t, std::int64_t> after;
    ASSERT_EQ(p.run(after, code, 0x1009), MVCRASH_ERR_NONE);
    EXPECT_EQ(after.get_cfa_rule().offset, 8);
    EXPECT_EQ(after.depth(), 0u);

    // A pc before the first location runs nothing; pc 0 runs everything.
    dwarf_cfa_state<std::uint64_t, std::int64_t> before;
    ASSERT_EQ(p.run(before, code, 0x0FFF), MVCRASH_ERR_NONE);
    EXPECT_EQ(before.get_cfa_rule().type, CFA_RULE_UNDEFINED);
    dwarf_cfa_state<std::uint64_t, std::int64_t> all;
    ASSERT_EQ(p.run(all, code, 0), MVCRASH_ERR_NONE);
    EXPECT_EQ(all.get_cfa_rule().offset, 8);
}

TEST(MVCrashDwarfProgram, MalformedAndUnsupportedProgramsFailCleanly)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> code;
        mvcrash_error_t expected;
    };
    std::vector<std::uint8_t> sixRemembers = { 0x0C, 7, 8, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A };
    std::vector<std::uint8_t> manyRules;
    for (int r = 0; r < 101; ++r) {
        manyRules.push_back(0x05);
        manyRules.push_back(static_cast<std::uint8_t>(r + 1));
        manyRules.push_back(1);
    }
    const Case cases[] = {
        { "def_cfa_offset before any def_cfa", { 0x0E, 8 }, MVCRASH_ERR_INVALID_ARGUMENT },
        { "restore_state with nothing remembered", { 0x0B }, MVCRASH_ERR_INVALID_ARGUMENT },
        { "six nested remembers", sixRemembers, MVCRASH_ERR_NO_MEMORY },
        { "101 register rules", manyRules, MVCRASH_ERR_NO_MEMORY },
        { "operand past the end", { 0x0C, 7 }, MVCRASH_ERR_INVALID_ARGUMENT },
        { "vendor opcode", { 0x1D }, MVCRASH_ERR_NOT_SUPPORTED },
        { "expression block past the end", { 0x0F, 10, 0x30 }, MVCRASH_ERR_INVALID_ARGUMENT },
        { "GNU_args_size is read and ignored", { 0x0C, 7, 8, 0x2E, 0x10, 0x0E, 16 }, MVCRASH_ERR_NONE },
        { "register above 32 bits", { 0x07, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01 }, MVCRASH_ERR_NOT_SUPPORTED },
    };
    for (const auto& c : cases) {
        Program p;
        dwarf_cfa_state<std::uint64_t, std::int64_t> state;
        EXPECT_EQ(p.run(state, c.code, 0), c.expected) << c.what;
    }
}

TEST(MVCrashDwarfProgram, RestoreExtendedTouchesOnlyItsRegister)
{
    Program p;
    dwarf_cfa_state<std::uint64_t, std::int64_t> state;
    ASSERT_EQ(p.run(state, { 0x0C, 7, 8, 0x90, 1 }, 0), MVCRASH_ERR_NONE); // the CIE part
    // The FDE part: rules for r3 and r12, then restore r3 (not in the CIE: removed) and r16.
    ASSERT_EQ(p.run(state, { 0x83, 2, 0x8C, 3, 0x96, 4, 0x06, 3, 0x06, 16 }, 0), MVCRASH_ERR_NONE);
    mvcrash_dwarf_cfa_reg_rule_t rule;
    std::int64_t value;
    EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
    ASSERT_TRUE(state.get_register_rule(12, &rule, &value));
    EXPECT_EQ(value, -24);
    ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
    EXPECT_EQ(value, -8);
}

TEST(MVCrashDwarfProgram, ApplyingRulesRecoversTheCallersRegisters)
{
    // A fake stack: the caller's rbp saved at cfa-16, the return address at cfa-8.
    std::uint64_t stack[4] = { 0, 0x7777, 0x401234, 0 };
    const auto sp = reinterpret_cast<std::uint64_t>(&stack[0]);
    Program p;
    dwarf_cfa_state<std::uint64_t, std::int64_t> state;
    // def_cfa rsp+24; offset r16 at cfa-8; offset r6 (rbp) at cfa-16.
    ASSERT_EQ(p.run(state, { 0x0C, 7, 24, 0x90, 1, 0x86, 2 }, 0), MVCRASH_ERR_NONE);
    mvcrash_async_thread_state_t current, next;
    mvcrash_async_thread_state_init(&current, MVCRASH_CPU_TYPE_X86_64);
    mvcrash_async_thread_state_set_reg(&current, MVCRASH_REG_SP, sp);
    mvcrash_async_thread_state_set_reg(&current, MVCRASH_REG_IP, 0x1000);
    mvcrash_async_thread_state_set_reg(&current, MVCRASH_X86_64_RAX, 5);
    ASSERT_EQ(state.apply_state(MVCRASH_TASK_SELF, &p.cie, &current, le(), &next), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_SP), sp + 24);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_IP), 0x401234u);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&next, MVCRASH_REG_FP), 0x7777u);
    EXPECT_FALSE(mvcrash_async_thread_state_has_reg(&next, MVCRASH_X86_64_RAX));

    // A CFA register the state does not hold is reported, and the input is left alone.
    mvcrash_async_thread_state_clear_reg(&current, MVCRASH_REG_SP);
    EXPECT_EQ(state.apply_state(MVCRASH_TASK_SELF, &p.cie, &current, le(), &next), MVCRASH_ERR_NOT_FOUND);
}

namespace {

template <typename P, typename S>
mvcrash_error_t evaluate(const std::vector<std::uint8_t>& code, P* result, const mvcrash_async_thread_state_t* state = nullptr)
{
    Bytes b;
    b.data = code;
    b.u8(0); // keeps the section non-empty; not part of the expression
    Section s(b);
    mvcrash_async_thread_state_t empty;
    mvcrash_async_thread_state_init(&empty, sizeof(P) == 8 ? MVCRASH_CPU_TYPE_X86_64 : MVCRASH_CPU_TYPE_X86);
    return mvcrash_async_dwarf_expression_eval<P, S>(&s.mobj, MVCRASH_TASK_SELF, state ? state : &empty, le(), b.address(), 0, code.size(), nullptr, 0, result);
}

} // namespace

TEST(MVCrashDwarfExpression, ArithmeticStackAndErrors)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> code;
        mvcrash_error_t expected;
        std::uint64_t value;
    };
    const Case cases[] = {
        { "lit1 lit0 div", { 0x31, 0x30, 0x1B }, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "~0 >> 1 logical", { 0x30, 0x20, 0x31, 0x25 }, MVCRASH_ERR_NONE, 0x7FFFFFFFFFFFFFFFULL },
        { "~0 >> 1 arithmetic", { 0x30, 0x20, 0x31, 0x26 }, MVCRASH_ERR_NONE, ~0ULL },
        { "reg5 is not supported", { 0x55 }, MVCRASH_ERR_NOT_SUPPORTED, 0 },
        { "empty expression", {}, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "const1s -2 abs", { 0x09, 0xFE, 0x19 }, MVCRASH_ERR_NONE, 2 },
        { "7 3 mod", { 0x37, 0x33, 0x1D }, MVCRASH_ERR_NONE, 1 },
        { "5 plus_uconst 300", { 0x35, 0x23, 0xAC, 0x02 }, MVCRASH_ERR_NONE, 305 },
        { "1 2 3 rot", { 0x31, 0x32, 0x33, 0x17 }, MVCRASH_ERR_NONE, 2 },
        { "pick beyond the depth", { 0x31, 0x15, 1 }, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "drop on empty stack", { 0x13 }, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "plus on one entry", { 0x31, 0x22 }, MVCRASH_ERR_INTERNAL, 0 },
        { "bra taken skips a literal", { 0x31, 0x28, 0x01, 0x00, 0x39, 0x3A }, MVCRASH_ERR_NONE, 10 },
        { "skip outside the expression", { 0x2F, 0x40, 0x00 }, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "3 < 5", { 0x33, 0x35, 0x2D }, MVCRASH_ERR_NONE, 1 },
        { "deref of an unmapped address", { 0x30, 0x06 }, MVCRASH_ERR_NOT_FOUND, 0 },
        { "deref_size 3", { 0x31, 0x94, 3 }, MVCRASH_ERR_INVALID_ARGUMENT, 0 },
        { "addr is not supported", { 0x03, 0, 0, 0, 0, 0, 0, 0, 0 }, MVCRASH_ERR_NOT_SUPPORTED, 0 },
    };
    for (const auto& c : cases) {
        std::uint64_t result = 0;
        EXPECT_EQ((evaluate<std::uint64_t, std::int64_t>(c.code, &result)), c.expected) << c.what;
        if (c.expected == MVCRASH_ERR_NONE) {
            EXPECT_EQ(result, c.value) << c.what;
        }
    }
    std::uint32_t small = 0;
    ASSERT_EQ((evaluate<std::uint32_t, std::int32_t>({ 0x30, 0x20, 0x31, 0x25 }, &small)), MVCRASH_ERR_NONE);
    EXPECT_EQ(small, 0x7FFFFFFFu);
    EXPECT_EQ((evaluate<std::uint32_t, std::int32_t>({ 0x31, 0x94, 8 }, &small)), MVCRASH_ERR_INVALID_ARGUMENT);

    // More than 100 entries overflow the stack.
    std::vector<std::uint8_t> deep(101, 0x31);
    std::uint64_t result = 0;
    EXPECT_EQ((evaluate<std::uint64_t, std::int64_t>(deep, &result)), MVCRASH_ERR_INTERNAL);
}

TEST(MVCrashDwarfExpression, RegistersAndMemory)
{
    const std::uint64_t word = 0x1122334455667788ULL;
    mvcrash_async_thread_state_t state;
    mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86_64);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_X86_64_RBX, reinterpret_cast<std::uint64_t>(&word) - 8);
    std::uint64_t result = 0;
    // breg3 +8; deref
    ASSERT_EQ((evaluate<std::uint64_t, std::int64_t>({ 0x73, 0x08, 0x06 }, &result, &state)), MVCRASH_ERR_NONE);
    EXPECT_EQ(result, word);
    // breg3 +8; deref_size 2
    ASSERT_EQ((evaluate<std::uint64_t, std::int64_t>({ 0x73, 0x08, 0x94, 2 }, &result, &state)), MVCRASH_ERR_NONE);
    EXPECT_EQ(result, 0x7788u);
    // rcx is not held by the state.
    EXPECT_EQ((evaluate<std::uint64_t, std::int64_t>({ 0x72, 0x00 }, &result, &state)), MVCRASH_ERR_NOT_FOUND);
}

TEST(MVCrashDwarf, IndirectPointersAreReadFromTheTask)
{
    const std::uint64_t target = 0xCAFEF00DULL;
    Bytes b;
    b.u64(reinterpret_cast<std::uint64_t>(&target));
    Section s(b);
    gnu_ehptr_reader<std::uint64_t> reader(le());
    std::uint64_t value = 0, size = 0;
    ASSERT_EQ(reader.read(&s.mobj, b.address(), 0, 0x80, &value, &size), MVCRASH_ERR_NONE);
    EXPECT_EQ(value, target);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(reader.read(&s.mobj, b.address(), 0, 0x30, &value, &size), MVCRASH_ERR_NOT_SUPPORTED); // no data base
    EXPECT_EQ(reader.read(&s.mobj, b.address(), 0, DW_EH_PE_omit, &value, &size), MVCRASH_ERR_NOT_FOUND);
    EXPECT_EQ(reader.read(&s.mobj, b.address(), 4, DW_EH_PE_udata8, &value, &size), MVCRASH_ERR_INVALID_ARGUMENT);
}
