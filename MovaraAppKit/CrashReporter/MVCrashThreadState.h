#pragma once
// Crash-layer services shared by the handlers, the stack walker and the writer: signal and code
// names, the Mach exception to signal mapping, the translation of this host's signal numbers to
// the report's numbering, and the processor-neutral register record with its names and DWARF
// numbering. All async-signal-safe.

#include <csignal>
#include <cstdint>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "Platform/System/MachineContext.h"

// Processor types (Mach numbering, which the report keeps).
constexpr std::uint32_t MVCRASH_CPU_TYPE_X86 = 7;
constexpr std::uint32_t MVCRASH_CPU_TYPE_X86_64 = 0x01000007;
constexpr std::uint32_t MVCRASH_CPU_TYPE_ARM64 = 0x0100000C;
constexpr std::uint32_t MVCRASH_CPU_TYPE_ANY = 0xFFFFFFFF;

// Names and codes use the report's (the desktop platform's) signal numbering: SIGBUS is 10,
// SIGUSR1 30, and so on.
const char* mvcrash_async_signal_signame(int signal);
const char* mvcrash_async_signal_sigcode(int signal, int code);

struct mvcrash_siginfo_t {
    int signo = 0;
    int code = 0;
    std::uint64_t address = 0;
};

bool mvcrash_async_mach_exception_get_siginfo(int exception_type, const std::uint64_t* codes, std::uint32_t code_count, std::uint32_t cpu_type, mvcrash_siginfo_t* info);

// This host's signal number and code as the report numbers them (0 when there is no
// counterpart). Linux numbers several signals differently (SIGBUS is 7 here, 10 in the report)
// and has codes of its own (SI_USER, SI_TKILL, SI_KERNEL) that mean "no code" in the report.
int mvcrash_async_signal_to_report(int host_signal);
int mvcrash_async_signal_code_to_report(int host_signal, int host_code);

// Register numbers of a 64-bit thread.
enum : int {
    MVCRASH_X86_64_RIP = 0, MVCRASH_X86_64_RBP, MVCRASH_X86_64_RSP, MVCRASH_X86_64_RAX, MVCRASH_X86_64_RBX,
    MVCRASH_X86_64_RCX, MVCRASH_X86_64_RDX, MVCRASH_X86_64_RDI, MVCRASH_X86_64_RSI, MVCRASH_X86_64_R8,
    MVCRASH_X86_64_R9, MVCRASH_X86_64_R10, MVCRASH_X86_64_R11, MVCRASH_X86_64_R12, MVCRASH_X86_64_R13,
    MVCRASH_X86_64_R14, MVCRASH_X86_64_R15, MVCRASH_X86_64_RFLAGS, MVCRASH_X86_64_CS, MVCRASH_X86_64_FS,
    MVCRASH_X86_64_GS, MVCRASH_X86_64_REG_COUNT,
};
// Register numbers of a 32-bit thread.
enum : int {
    MVCRASH_X86_EIP = 0, MVCRASH_X86_EBP, MVCRASH_X86_ESP, MVCRASH_X86_EAX, MVCRASH_X86_EDX,
    MVCRASH_X86_ECX, MVCRASH_X86_EBX, MVCRASH_X86_ESI, MVCRASH_X86_EDI, MVCRASH_X86_EFLAGS,
    MVCRASH_X86_TRAPNO, MVCRASH_X86_CS, MVCRASH_X86_DS, MVCRASH_X86_ES, MVCRASH_X86_FS, MVCRASH_X86_GS,
    MVCRASH_X86_REG_COUNT,
};
constexpr int MVCRASH_REG_IP = 0;
constexpr int MVCRASH_REG_FP = 1;
constexpr int MVCRASH_REG_SP = 2;

constexpr int MVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN = 2;

struct mvcrash_async_thread_state_t {
    int stack_direction = MVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    std::uint32_t greg_size = 8;
    std::uint64_t valid_regs = 0;
    std::uint32_t thread_flavor = 0, thread_count = 0;
    std::uint32_t exception_flavor = 0, exception_count = 0;
    std::uint64_t regs[MVCRASH_X86_64_REG_COUNT] = {};
    // Exception state.
    std::uint32_t trapno = 0, cpu = 0, err = 0;
    std::uint64_t faultvaddr = 0;
};

mvcrash_error_t mvcrash_async_thread_state_init(mvcrash_async_thread_state_t* state, std::uint32_t cpu_type);
void mvcrash_async_thread_state_mcontext_init(mvcrash_async_thread_state_t* state, const sys::MachineContext* context);
void mvcrash_async_thread_state_copy(mvcrash_async_thread_state_t* dest, const mvcrash_async_thread_state_t* source);

std::uint64_t mvcrash_async_thread_state_get_reg(const mvcrash_async_thread_state_t* state, int regnum);
void mvcrash_async_thread_state_set_reg(mvcrash_async_thread_state_t* state, int regnum, std::uint64_t value);
bool mvcrash_async_thread_state_has_reg(const mvcrash_async_thread_state_t* state, int regnum);
void mvcrash_async_thread_state_clear_reg(mvcrash_async_thread_state_t* state, int regnum);
void mvcrash_async_thread_state_clear_all_regs(mvcrash_async_thread_state_t* state);
void mvcrash_async_thread_state_clear_volatile_regs(mvcrash_async_thread_state_t* state);
std::size_t mvcrash_async_thread_state_get_reg_count(const mvcrash_async_thread_state_t* state);
const char* mvcrash_async_thread_state_get_reg_name(const mvcrash_async_thread_state_t* state, int regnum);
std::uint32_t mvcrash_async_thread_state_get_greg_size(const mvcrash_async_thread_state_t* state);
int mvcrash_async_thread_state_get_stack_direction(const mvcrash_async_thread_state_t* state);
bool mvcrash_async_thread_state_map_dwarf_to_reg(const mvcrash_async_thread_state_t* state, std::uint64_t dwarf_reg, int* regnum);
bool mvcrash_async_thread_state_map_reg_to_dwarf(const mvcrash_async_thread_state_t* state, int regnum, std::uint64_t* dwarf_reg);

// Captures the calling thread's registers and calls `callback` with them on the same stack, so
// the captured frames stay valid while it runs.
using mvcrash_async_thread_state_current_callback = mvcrash_error_t (*)(mvcrash_async_thread_state_t* state, void* context);
mvcrash_error_t mvcrash_async_thread_state_current(mvcrash_async_thread_state_current_callback callback, void* context);

// The crash description that the handlers build on the stack and the writer reads.
struct mvcrash_log_bsd_signal_info_t {
    int signo = 0;
    int code = 0;
    std::uint64_t address = 0;
};
struct mvcrash_log_mach_signal_info_t {
    int type = 0;
    const std::uint64_t* code = nullptr;
    std::uint32_t code_count = 0;
};
struct mvcrash_log_signal_info_t {
    const mvcrash_log_bsd_signal_info_t* bsd_info = nullptr;
    const mvcrash_log_mach_signal_info_t* mach_info = nullptr;
};
