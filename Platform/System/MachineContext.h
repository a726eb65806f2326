#pragma once
// The registers of one x86-64 thread, in the layout the crash layer records: the general
// registers as the desktop platform's 64-bit thread state lists them, and the exception state
// (trap number, processor, error code, fault address). Filled from a signal's ucontext or
// captured from the calling thread; plain data, safe to copy in a signal handler.

#include <cstdint>

namespace sys {

struct MachineContext {
    // Same order as the platform's x86_thread_state64 record.
    std::uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rdi = 0, rsi = 0, rbp = 0, rsp = 0;
    std::uint64_t r8 = 0, r9 = 0, r10 = 0, r11 = 0, r12 = 0, r13 = 0, r14 = 0, r15 = 0;
    std::uint64_t rip = 0, rflags = 0, cs = 0, fs = 0, gs = 0;
    // Exception state.
    std::uint32_t trapno = 0, cpu = 0, err = 0;
    std::uint64_t faultvaddr = 0;
};

// Registers of the interrupted code from the third argument of an SA_SIGINFO handler.
void machineContextFromUcontext(const void* ucontext, MachineContext* out);

// Captures the caller's registers as they are at the instruction after this call (rip is the
// return address, rsp the caller's stack pointer there), so unwinding from the captured state
// starts exactly in the caller. Async-signal-safe.
extern "C" void sys_capture_machine_context(MachineContext* out);

} // namespace sys
