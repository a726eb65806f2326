#include "Platform/System/MachineContext.h"

#include <ucontext.h>

#include <cstddef>

namespace sys {

static_assert(sizeof(void*) == 8, "the crash layer records x86-64 threads");

// Not instrumented by AddressSanitizer: it runs in signal handlers, on threads whose stack may
// still carry the shadow of an earlier thread (a signal that arrives while a thread is starting
// comes before the sanitizer has cleared its reused stack), and reads the ucontext the kernel
// wrote there. Every field is stored one by one: no temporary, no memset.
__attribute__((no_sanitize_address)) void machineContextFromUcontext(const void* ucontext, MachineContext* out)
{
    const auto* uc = static_cast<const ucontext_t*>(ucontext);
    const greg_t* g = uc->uc_mcontext.gregs;
    auto u = [](greg_t v) { return static_cast<std::uint64_t>(v); };
    out->cpu = 0;
    out->rax = u(g[REG_RAX]);
    out->rbx = u(g[REG_RBX]);
    out->rcx = u(g[REG_RCX]);
    out->rdx = u(g[REG_RDX]);
    out->rdi = u(g[REG_RDI]);
    out->rsi = u(g[REG_RSI]);
    out->rbp = u(g[REG_RBP]);
    out->rsp = u(g[REG_RSP]);
    out->r8 = u(g[REG_R8]);
    out->r9 = u(g[REG_R9]);
    out->r10 = u(g[REG_R10]);
    out->r11 = u(g[REG_R11]);
    out->r12 = u(g[REG_R12]);
    out->r13 = u(g[REG_R13]);
    out->r14 = u(g[REG_R14]);
    out->r15 = u(g[REG_R15]);
    out->rip = u(g[REG_RIP]);
    out->rflags = u(g[REG_EFL]);
    // REG_CSGSFS packs cs, gs and fs as 16-bit fields (cs lowest).
    const std::uint64_t segs = u(g[REG_CSGSFS]);
    out->cs = segs & 0xFFFF;
    out->gs = (segs >> 16) & 0xFFFF;
    out->fs = (segs >> 32) & 0xFFFF;
    out->trapno = static_cast<std::uint32_t>(g[REG_TRAPNO]);
    out->err = static_cast<std::uint32_t>(g[REG_ERR]);
    out->faultvaddr = u(g[REG_CR2]);
}

static_assert(offsetof(MachineContext, rax) == 0);
static_assert(offsetof(MachineContext, rbp) == 48);
static_assert(offsetof(MachineContext, rsp) == 56);
static_assert(offsetof(MachineContext, r8) == 64);
static_assert(offsetof(MachineContext, rip) == 128);
static_assert(offsetof(MachineContext, rflags) == 136);

} // namespace sys

// rdi holds the record. Every register is stored as it is on entry; rsp and rip describe the
// caller after the return. No frame of our own, so nothing moves under the capture.
asm(R"(
    .text
    .globl sys_capture_machine_context
    .type sys_capture_machine_context, @function
sys_capture_machine_context:
    .cfi_startproc
    movq %rax, 0(%rdi)
    movq %rbx, 8(%rdi)
    movq %rcx, 16(%rdi)
    movq %rdx, 24(%rdi)
    movq %rdi, 32(%rdi)
    movq %rsi, 40(%rdi)
    movq %rbp, 48(%rdi)
    leaq 8(%rsp), %rax
    movq %rax, 56(%rdi)
    movq %r8, 64(%rdi)
    movq %r9, 72(%rdi)
    movq %r10, 80(%rdi)
    movq %r11, 88(%rdi)
    movq %r12, 96(%rdi)
    movq %r13, 104(%rdi)
    movq %r14, 112(%rdi)
    movq %r15, 120(%rdi)
    movq (%rsp), %rax
    movq %rax, 128(%rdi)
    pushfq
    popq %rax
    movq %rax, 136(%rdi)
    xorl %eax, %eax
    movw %cs, %ax
    movq %rax, 144(%rdi)
    movw %fs, %ax
    movq %rax, 152(%rdi)
    movw %gs, %ax
    movq %rax, 160(%rdi)
    movq $0, 168(%rdi)
    movq $0, 176(%rdi)
    movq $0, 184(%rdi)
    movq 0(%rdi), %rax
    ret
    .cfi_endproc
    .size sys_capture_machine_context, .-sys_capture_machine_context
)");
