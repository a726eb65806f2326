#include "MovaraAppKit/CrashReporter/MVCrashThreadState.h"

#include <cstdlib>

namespace {

struct SignalName {
    int signal;
    const char* name;
};

const SignalName kSignalNames[] = {
    { 1, "SIGHUP" }, { 2, "SIGINT" }, { 3, "SIGQUIT" }, { 4, "SIGILL" }, { 5, "SIGTRAP" }, { 6, "SIGABRT" },
    { 6, "SIGIOT" }, { 7, "SIGEMT" }, { 8, "SIGFPE" }, { 9, "SIGKILL" }, { 10, "SIGBUS" }, { 11, "SIGSEGV" },
    { 12, "SIGSYS" }, { 13, "SIGPIPE" }, { 14, "SIGALRM" }, { 15, "SIGTERM" }, { 16, "SIGURG" }, { 17, "SIGSTOP" },
    { 18, "SIGTSTP" }, { 19, "SIGCONT" }, { 20, "SIGCHLD" }, { 21, "SIGTTIN" }, { 22, "SIGTTOU" }, { 23, "SIGIO" },
    { 24, "SIGXCPU" }, { 25, "SIGXFSZ" }, { 26, "SIGVTALRM" }, { 27, "SIGPROF" }, { 28, "SIGWINCH" },
    { 29, "SIGINFO" }, { 30, "SIGUSR1" }, { 31, "SIGUSR2" },
};

struct SignalCode {
    int signal;
    int code;
    const char* name;
};

const SignalCode kSignalCodes[] = {
    { 4, 0, "ILL_NOOP" }, { 4, 1, "ILL_ILLOPC" }, { 4, 2, "ILL_ILLTRP" }, { 4, 3, "ILL_PRVOPC" },
    { 4, 4, "ILL_ILLOPN" }, { 4, 5, "ILL_ILLADR" }, { 4, 6, "ILL_PRVREG" }, { 4, 7, "ILL_COPROC" },
    { 4, 8, "ILL_BADSTK" },
    { 8, 0, "FPE_NOOP" }, { 8, 1, "FPE_FLTDIV" }, { 8, 2, "FPE_FLTOVF" }, { 8, 3, "FPE_FLTUND" },
    { 8, 4, "FPE_FLTRES" }, { 8, 5, "FPE_FLTINV" }, { 8, 6, "FPE_FLTSUB" }, { 8, 7, "FPE_INTDIV" },
    { 8, 8, "FPE_INTOVF" },
    { 11, 0, "SEGV_NOOP" }, { 11, 1, "SEGV_MAPERR" }, { 11, 2, "SEGV_ACCERR" },
    { 10, 0, "BUS_NOOP" }, { 10, 1, "BUS_ADRALN" }, { 10, 2, "BUS_ADRERR" }, { 10, 3, "BUS_OBJERR" },
    { 5, 0, "#0" }, { 5, 1, "TRAP_BRKPT" }, { 5, 2, "TRAP_TRACE" },
    { 6, 0, "#0" },
};

const char* const kNames64[] = { "rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8", "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs" };
const char* const kNames32[] = { "eip", "ebp", "esp", "eax", "edx", "ecx", "ebx", "esi", "edi", "eflags",
    "trapno", "cs", "ds", "es", "fs", "gs" };

constexpr int kNone = -1;
const int kDwarf64[] = { kNone, 6, 7, 0, 3, 2, 1, 5, 4, 8, 9, 10, 11, 12, 13, 14, 15, 49, 51, 54, 55 };
const int kDwarf32[] = { 8, 4, 5, 0, 2, 1, 3, 6, 7, kNone, kNone, kNone, kNone, kNone, kNone, kNone };

bool is64(const mvcrash_async_thread_state_t* state) { return state->greg_size == 8; }

void checkRegister(const mvcrash_async_thread_state_t* state, int regnum)
{
    // A register outside the table is a caller's mistake, never input data.
    if (regnum < 0 || static_cast<std::size_t>(regnum) >= mvcrash_async_thread_state_get_reg_count(state))
        std::abort();
}

} // namespace

const char* mvcrash_async_signal_signame(int signal)
{
    for (const auto& row : kSignalNames)
        if (row.signal == signal)
            return row.name;
    return nullptr;
}

const char* mvcrash_async_signal_sigcode(int signal, int code)
{
    for (const auto& row : kSignalCodes)
        if (row.signal == signal && row.code == code)
            return row.name;
    return nullptr;
}

bool mvcrash_async_mach_exception_get_siginfo(int exception_type, const std::uint64_t* codes, std::uint32_t code_count, std::uint32_t, mvcrash_siginfo_t* info)
{
    if (code_count < 2 || exception_type < 1 || exception_type > 6)
        return false;
    info->address = codes[1];
    switch (exception_type) {
    case 1:
        if (codes[0] == 1) {
            info->signo = 11;
            info->code = 1;
        } else {
            info->signo = 10;
            info->code = 2;
        }
        break;
    case 2: info->signo = 4; info->code = 0; break;
    case 3: info->signo = 8; info->code = 0; break;
    case 4: info->signo = 7; info->code = 0; break;
    case 5:
        switch (codes[0]) {
        case 0x10000: info->signo = 12; break;
        case 0x10001: info->signo = 13; break;
        case 0x10002: info->signo = 6; break;
        case 0x10003: info->signo = 9; break;
        default: info->signo = 6; break;
        }
        info->code = 0;
        break;
    case 6: info->signo = 5; info->code = 1; break;
    }
    return true;
}

int mvcrash_async_signal_to_report(int host_signal)
{
    switch (host_signal) {
    case SIGHUP: return 1;
    case SIGINT: return 2;
    case SIGQUIT: return 3;
    case SIGILL: return 4;
    case SIGTRAP: return 5;
    case SIGABRT: return 6;
    case SIGFPE: return 8;
    case SIGKILL: return 9;
    case SIGBUS: return 10;
    case SIGSEGV: return 11;
    case SIGSYS: return 12;
    case SIGPIPE: return 13;
    case SIGALRM: return 14;
    case SIGTERM: return 15;
    case SIGURG: return 16;
    case SIGSTOP: return 17;
    case SIGTSTP: return 18;
    case SIGCONT: return 19;
    case SIGCHLD: return 20;
    case SIGTTIN: return 21;
    case SIGTTOU: return 22;
    case SIGIO: return 23;
    case SIGXCPU: return 24;
    case SIGXFSZ: return 25;
    case SIGVTALRM: return 26;
    case SIGPROF: return 27;
    case SIGWINCH: return 28;
    case SIGUSR1: return 30;
    case SIGUSR2: return 31;
    default: return 0;
    }
}

int mvcrash_async_signal_code_to_report(int host_signal, int host_code)
{
    // Codes at or below 0 say who sent the signal (a process, tkill, a timer), and SI_KERNEL
    // (0x80) marks faults the kernel could not classify: none is a code of the fault itself.
    if (host_code <= 0 || host_code == SI_KERNEL)
        return 0;
    switch (host_signal) {
    case SIGSEGV:
        return host_code <= 2 ? host_code : 0;
    case SIGBUS:
        return host_code <= 3 ? host_code : 0;
    case SIGILL:
        return host_code <= 8 ? host_code : 0;
    case SIGTRAP:
        return host_code <= 2 ? host_code : 0;
    case SIGFPE:
        // Linux: 1 INTDIV, 2 INTOVF, 3 FLTDIV, 4 FLTOVF, 5 FLTUND, 6 FLTRES, 7 FLTINV, 8 FLTSUB.
        switch (host_code) {
        case FPE_INTDIV: return 7;
        case FPE_INTOVF: return 8;
        case FPE_FLTDIV: return 1;
        case FPE_FLTOVF: return 2;
        case FPE_FLTUND: return 3;
        case FPE_FLTRES: return 4;
        case FPE_FLTINV: return 5;
        case FPE_FLTSUB: return 6;
        default: return 0;
        }
    default:
        return host_code;
    }
}

mvcrash_error_t mvcrash_async_thread_state_init(mvcrash_async_thread_state_t* state, std::uint32_t cpu_type)
{
    *state = mvcrash_async_thread_state_t {};
    if (cpu_type == MVCRASH_CPU_TYPE_X86) {
        state->greg_size = 4;
        state->thread_flavor = 1;
        state->thread_count = 16;
        state->exception_flavor = 3;
        state->exception_count = 3;
    } else if (cpu_type == MVCRASH_CPU_TYPE_X86_64) {
        state->greg_size = 8;
        state->thread_flavor = 4;
        state->thread_count = 42;
        state->exception_flavor = 6;
        state->exception_count = 4;
    } else {
        return MVCRASH_ERR_NOT_SUPPORTED;
    }
    state->stack_direction = MVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    return MVCRASH_ERR_NONE;
}

void mvcrash_async_thread_state_mcontext_init(mvcrash_async_thread_state_t* state, const sys::MachineContext* c)
{
    mvcrash_async_thread_state_init(state, MVCRASH_CPU_TYPE_X86_64);
    const std::uint64_t values[MVCRASH_X86_64_REG_COUNT] = { c->rip, c->rbp, c->rsp, c->rax, c->rbx, c->rcx, c->rdx,
        c->rdi, c->rsi, c->r8, c->r9, c->r10, c->r11, c->r12, c->r13, c->r14, c->r15, c->rflags, c->cs, c->fs, c->gs };
    for (int i = 0; i < MVCRASH_X86_64_REG_COUNT; ++i)
        state->regs[i] = values[i];
    state->valid_regs = (1ULL << MVCRASH_X86_64_REG_COUNT) - 1;
    state->trapno = c->trapno;
    state->cpu = c->cpu;
    state->err = c->err;
    state->faultvaddr = c->faultvaddr;
}

void mvcrash_async_thread_state_copy(mvcrash_async_thread_state_t* dest, const mvcrash_async_thread_state_t* source)
{
    *dest = *source;
}

std::uint64_t mvcrash_async_thread_state_get_reg(const mvcrash_async_thread_state_t* state, int regnum)
{
    checkRegister(state, regnum);
    if (!is64(state) && regnum == MVCRASH_X86_TRAPNO)
        return state->trapno;
    return state->regs[regnum];
}

void mvcrash_async_thread_state_set_reg(mvcrash_async_thread_state_t* state, int regnum, std::uint64_t value)
{
    checkRegister(state, regnum);
    state->regs[regnum] = is64(state) ? value : (value & 0xFFFFFFFFULL);
    state->valid_regs |= 1ULL << regnum;
}

bool mvcrash_async_thread_state_has_reg(const mvcrash_async_thread_state_t* state, int regnum)
{
    if (regnum < 0 || regnum >= 64)
        return false;
    return (state->valid_regs >> regnum) & 1;
}

void mvcrash_async_thread_state_clear_reg(mvcrash_async_thread_state_t* state, int regnum)
{
    state->valid_regs &= ~(1ULL << regnum);
}

void mvcrash_async_thread_state_clear_all_regs(mvcrash_async_thread_state_t* state)
{
    state->valid_regs = 0;
}

void mvcrash_async_thread_state_clear_volatile_regs(mvcrash_async_thread_state_t* state)
{
    std::uint64_t keep;
    if (is64(state)) {
        keep = (1ULL << MVCRASH_X86_64_RBX) | (1ULL << MVCRASH_X86_64_RSP) | (1ULL << MVCRASH_X86_64_RBP)
            | (1ULL << MVCRASH_X86_64_R12) | (1ULL << MVCRASH_X86_64_R13) | (1ULL << MVCRASH_X86_64_R14)
            | (1ULL << MVCRASH_X86_64_R15);
    } else {
        keep = (1ULL << MVCRASH_X86_EBX) | (1ULL << MVCRASH_X86_EBP) | (1ULL << MVCRASH_X86_ESI)
            | (1ULL << MVCRASH_X86_EDI) | (1ULL << MVCRASH_X86_ESP);
    }
    state->valid_regs &= keep;
}

std::size_t mvcrash_async_thread_state_get_reg_count(const mvcrash_async_thread_state_t* state)
{
    return is64(state) ? static_cast<std::size_t>(MVCRASH_X86_64_REG_COUNT) : static_cast<std::size_t>(MVCRASH_X86_REG_COUNT);
}

const char* mvcrash_async_thread_state_get_reg_name(const mvcrash_async_thread_state_t* state, int regnum)
{
    checkRegister(state, regnum);
    return is64(state) ? kNames64[regnum] : kNames32[regnum];
}

std::uint32_t mvcrash_async_thread_state_get_greg_size(const mvcrash_async_thread_state_t* state)
{
    return state->greg_size;
}

int mvcrash_async_thread_state_get_stack_direction(const mvcrash_async_thread_state_t* state)
{
    return state->stack_direction;
}

bool mvcrash_async_thread_state_map_dwarf_to_reg(const mvcrash_async_thread_state_t* state, std::uint64_t dwarf_reg, int* regnum)
{
    const int* table = is64(state) ? kDwarf64 : kDwarf32;
    const std::size_t count = mvcrash_async_thread_state_get_reg_count(state);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i] != kNone && static_cast<std::uint64_t>(table[i]) == dwarf_reg) {
            *regnum = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

bool mvcrash_async_thread_state_map_reg_to_dwarf(const mvcrash_async_thread_state_t* state, int regnum, std::uint64_t* dwarf_reg)
{
    if (regnum < 0 || static_cast<std::size_t>(regnum) >= mvcrash_async_thread_state_get_reg_count(state))
        return false;
    const int* table = is64(state) ? kDwarf64 : kDwarf32;
    if (table[regnum] == kNone)
        return false;
    *dwarf_reg = static_cast<std::uint64_t>(table[regnum]);
    return true;
}

// Not inlined: the captured state describes this function's caller at the return address of
// the capture call, and this frame must stay alive while the callback runs.
__attribute__((noinline)) mvcrash_error_t mvcrash_async_thread_state_current(mvcrash_async_thread_state_current_callback callback, void* context)
{
    sys::MachineContext captured;
    sys::sys_capture_machine_context(&captured);
    mvcrash_async_thread_state_t state;
    mvcrash_async_thread_state_mcontext_init(&state, &captured);
    mvcrash_error_t result = callback(&state, context);
    // Keeps the call above from becoming a tail call that would pop this frame.
    asm volatile("" ::: "memory");
    return result;
}
