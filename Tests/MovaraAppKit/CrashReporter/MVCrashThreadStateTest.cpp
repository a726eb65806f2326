#include <gtest/gtest.h>

#include <csignal>

#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"

TEST(MVCrashSignals, NamesAndCodesFollowTheReportNumbering)
{
    EXPECT_STREQ(mvcrash_async_signal_signame(6), "SIGABRT");
    EXPECT_STREQ(mvcrash_async_signal_signame(10), "SIGBUS");
    EXPECT_EQ(mvcrash_async_signal_signame(0), nullptr);
    EXPECT_EQ(mvcrash_async_signal_signame(32), nullptr);
    EXPECT_STREQ(mvcrash_async_signal_sigcode(5, 0), "#0");
    EXPECT_STREQ(mvcrash_async_signal_sigcode(11, 2), "SEGV_ACCERR");
    EXPECT_EQ(mvcrash_async_signal_sigcode(11, 3), nullptr);
}

TEST(MVCrashSignals, HostSignalsAndCodesAreTranslated)
{
    struct Case {
        int host, report;
    };
    for (const Case c : { Case { SIGBUS, 10 }, Case { SIGSEGV, 11 }, Case { SIGUSR1, 30 }, Case { SIGUSR2, 31 },
             Case { SIGSYS, 12 }, Case { SIGABRT, 6 }, Case { SIGSTKFLT, 0 } })
        EXPECT_EQ(mvcrash_async_signal_to_report(c.host), c.report) << c.host;
    EXPECT_EQ(mvcrash_async_signal_code_to_report(SIGSEGV, SEGV_MAPERR), 1);
    EXPECT_EQ(mvcrash_async_signal_code_to_report(SIGABRT, SI_TKILL), 0);
    EXPECT_EQ(mvcrash_async_signal_code_to_report(SIGSEGV, SI_KERNEL), 0);
    EXPECT_EQ(mvcrash_async_signal_code_to_report(SIGFPE, FPE_INTDIV), 7);
    EXPECT_EQ(mvcrash_async_signal_code_to_report(SIGBUS, BUS_ADRERR), 2);
}

TEST(MVCrashSignals, MachExceptionsMapToTheSignalsTheKernelWouldRaise)
{
    struct Case {
        int type;
        std::uint64_t code0;
        bool ok;
        int signo, code;
    };
    const Case cases[] = {
        { 1, 1, true, 11, 1 }, { 1, 2, true, 10, 2 }, { 2, 0, true, 4, 0 }, { 3, 0, true, 8, 0 },
        { 4, 0, true, 7, 0 }, { 5, 0x10000, true, 12, 0 }, { 5, 0x10001, true, 13, 0 }, { 5, 0x10003, true, 9, 0 },
        { 5, 0x10004, true, 6, 0 }, { 6, 0, true, 5, 1 }, { 7, 0, false, 0, 0 }, { 0, 0, false, 0, 0 },
    };
    for (const auto& c : cases) {
        const std::uint64_t codes[2] = { c.code0, 0xBEEF };
        mvcrash_siginfo_t info;
        ASSERT_EQ(mvcrash_async_mach_exception_get_siginfo(c.type, codes, 2, MVCRASH_CPU_TYPE_ANY, &info), c.ok) << c.type;
        if (!c.ok)
            continue;
        EXPECT_EQ(info.signo, c.signo) << c.type << " " << c.code0;
        EXPECT_EQ(info.code, c.code) << c.type << " " << c.code0;
        EXPECT_EQ(info.address, 0xBEEFu);
    }
    const std::uint64_t one[1] = { 1 };
    mvcrash_siginfo_t info;
    EXPECT_FALSE(mvcrash_async_mach_exception_get_siginfo(1, one, 1, MVCRASH_CPU_TYPE_ANY, &info));
}

TEST(MVCrashThreadState, RegistersNamesAndDwarfNumbers)
{
    mvcrash_async_thread_state_t state;
    EXPECT_EQ(mvcrash_async_thread_state_init(&state, 18), MVCRASH_ERR_NOT_SUPPORTED);
    ASSERT_EQ(mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86_64), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg_count(&state), 21u);
    EXPECT_STREQ(mvcrash_async_thread_state_get_reg_name(&state, 17), "rflags");
    int reg = -1;
    EXPECT_FALSE(mvcrash_async_thread_state_map_dwarf_to_reg(&state, 16, &reg));
    ASSERT_TRUE(mvcrash_async_thread_state_map_dwarf_to_reg(&state, 7, &reg));
    EXPECT_EQ(reg, MVCRASH_X86_64_RSP);
    std::uint64_t dwarf = 0;
    EXPECT_FALSE(mvcrash_async_thread_state_map_reg_to_dwarf(&state, MVCRASH_X86_64_RIP, &dwarf));
    for (int i = 0; i < 21; ++i)
        mvcrash_async_thread_state_set_reg(&state, i, 0x100 + static_cast<std::uint64_t>(i));
    mvcrash_async_thread_state_clear_volatile_regs(&state);
    std::vector<std::string> kept;
    for (int i = 0; i < 21; ++i)
        if (mvcrash_async_thread_state_has_reg(&state, i))
            kept.emplace_back(mvcrash_async_thread_state_get_reg_name(&state, i));
    EXPECT_EQ(kept, (std::vector<std::string> { "rbp", "rsp", "rbx", "r12", "r13", "r14", "r15" }));

    ASSERT_EQ(mvcrash_async_thread_state_init(&state, MVCRASH_CPU_TYPE_X86), MVCRASH_ERR_NONE);
    mvcrash_async_thread_state_set_reg(&state, MVCRASH_X86_EAX, 0x1122334455667788ULL);
    EXPECT_EQ(mvcrash_async_thread_state_get_reg(&state, MVCRASH_X86_EAX), 0x55667788u);
    ASSERT_TRUE(mvcrash_async_thread_state_map_dwarf_to_reg(&state, 4, &reg));
    EXPECT_EQ(reg, MVCRASH_X86_EBP);
}

namespace {
mvcrash_error_t captureInto(mvcrash_async_thread_state_t* state, void* context)
{
    *static_cast<mvcrash_async_thread_state_t*>(context) = *state;
    return MVCRASH_ERR_NONE;
}
} // namespace

TEST(MVCrashThreadState, TheCurrentThreadsCaptureHasEveryRegisterAndAPlausibleStack)
{
    mvcrash_async_thread_state_t captured;
    int local = 0;
    ASSERT_EQ(mvcrash_async_thread_state_current(captureInto, &captured), MVCRASH_ERR_NONE);
    for (int i = 0; i < 21; ++i)
        EXPECT_TRUE(mvcrash_async_thread_state_has_reg(&captured, i));
    const std::uint64_t sp = mvcrash_async_thread_state_get_reg(&captured, MVCRASH_REG_SP);
    // The capture ran below this frame on the same stack.
    EXPECT_LT(sp, reinterpret_cast<std::uint64_t>(&local) + 4096);
    EXPECT_GT(sp + 64 * 1024, reinterpret_cast<std::uint64_t>(&local));
    const auto ip = mvcrash_async_thread_state_get_reg(&captured, MVCRASH_REG_IP);
    const auto function = reinterpret_cast<std::uint64_t>(&mvcrash_async_thread_state_current);
    EXPECT_GT(ip, function);
    EXPECT_LT(ip, function + 512);
}
