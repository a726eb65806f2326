#include "Platform/System/AlternateSignalStack.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <sys/mman.h>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "Platform/System/SafeMemory.h"
#include "Platform/System/Threads.h"

namespace sys {

namespace {

std::atomic<bool> g_forNewThreads { false };

// Owns the stack this library gave the thread; switches it off and unmaps it at thread exit.
struct ThreadStack {
    void* mapping = nullptr;
    std::size_t length = 0;
    ~ThreadStack()
    {
        if (!mapping)
            return;
        stack_t off {};
        off.ss_flags = SS_DISABLE;
        stack_t current {};
        if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK))
            return; // still in use by a handler: keep it rather than pull it away
        ::sigaltstack(&off, nullptr);
        ::munmap(mapping, length);
    }
};

thread_local ThreadStack t_stack;

} // namespace

bool ensureAlternateSignalStack()
{
    stack_t current {};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_sp) {
        // One at least as large as ours is kept (a sanitizer's runtime may have given one); a
        // smaller one may be too small for the crash handler, and is replaced unless in use.
        if (current.ss_size >= kAlternateSignalStackSize || (current.ss_flags & SS_ONSTACK))
            return true;
    }
    // A guard page below the stack turns an overflow of the handler itself into a clean fault.
    const std::size_t guard = pageSize();
    const std::size_t length = kAlternateSignalStackSize + guard;
    void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return false;
    ::mprotect(mapping, guard, PROT_NONE);
    stack_t stack {};
    stack.ss_sp = static_cast<char*>(mapping) + guard;
    stack.ss_size = kAlternateSignalStackSize;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(mapping, length);
        return false;
    }
    t_stack.mapping = mapping;
    t_stack.length = length;
    return true;
}

namespace {

struct StackOffer {
    std::atomic<ThreadId> tid { 0 };
    void* stack = nullptr;      // usable base (above the guard page)
    std::atomic<int> state { 0 }; // 0 offered, 1 taken, 2 declined (the thread had one)
};

constexpr std::size_t kMaxOffers = 512;
StackOffer g_offers[kMaxOffers];
std::size_t g_offerCount = 0;

// Not instrumented by AddressSanitizer, and calling the kernel's sigaltstack rather than the
// sanitizer's wrapper: the offer can reach a thread that is still starting, whose reused stack
// still carries the shadow of the thread before it.
__attribute__((no_sanitize_address)) void takeOfferedStack(int, siginfo_t*, void* ucontextVoid)
{
    const int savedErrno = errno;
    const ThreadId self = currentThreadId();
    for (std::size_t i = 0; i < g_offerCount; ++i) {
        StackOffer& offer = g_offers[i];
        if (offer.tid.load() != self)
            continue;
        stack_t current {};
        if (::syscall(SYS_sigaltstack, nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_sp) {
            offer.state.store(2);
        } else {
            stack_t stack {};
            stack.ss_sp = offer.stack;
            stack.ss_size = kAlternateSignalStackSize;
            const bool set = ::syscall(SYS_sigaltstack, &stack, nullptr) == 0;
            // The kernel puts back the stack settings saved in the signal's context when the
            // handler returns: the new stack must be written there too, or it is undone.
            if (set && ucontextVoid)
                static_cast<ucontext_t*>(ucontextVoid)->uc_stack = stack;
            offer.state.store(set ? 1 : 2);
        }
        break;
    }
    errno = savedErrno;
}

} // namespace

int provideAlternateStacksToRunningThreads()
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    ensureAlternateSignalStack();
    ThreadId ids[kMaxOffers];
    const long listed = listThreads(ids, kMaxOffers);
    if (listed <= 0)
        return 0;
    const int signal = SIGRTMIN + 6;
    struct sigaction action {};
    action.sa_sigaction = takeOfferedStack;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    if (::sigaction(signal, &action, nullptr) != 0)
        return 0;
    const std::size_t guard = pageSize();
    const ThreadId self = currentThreadId();
    g_offerCount = 0;
    for (long i = 0; i < listed && i < static_cast<long>(kMaxOffers); ++i) {
        if (ids[i] == self)
            continue;
        void* mapping = ::mmap(nullptr, kAlternateSignalStackSize + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED)
            break;
        ::mprotect(mapping, guard, PROT_NONE);
        StackOffer& offer = g_offers[g_offerCount++];
        offer.stack = static_cast<char*>(mapping) + guard;
        offer.state.store(0);
        offer.tid.store(ids[i]);
    }
    const pid_t pid = ::getpid();
    for (std::size_t i = 0; i < g_offerCount; ++i)
        if (::syscall(SYS_tgkill, pid, g_offers[i].tid.load(), signal) != 0)
            g_offers[i].state.store(2);
    // A thread that blocks the signal never answers; a second is plenty for the others.
    for (int waited = 0; waited < 1000; ++waited) {
        bool pending = false;
        for (std::size_t i = 0; i < g_offerCount; ++i)
            pending = pending || g_offers[i].state.load() == 0;
        if (!pending)
            break;
        timespec ts { 0, 1000 * 1000 };
        ::nanosleep(&ts, nullptr);
    }
    int taken = 0;
    for (std::size_t i = 0; i < g_offerCount; ++i) {
        StackOffer& offer = g_offers[i];
        // Withdraw the offers nobody took, so a late answer finds none.
        const ThreadId tid = offer.tid.exchange(0);
        (void)tid;
        if (offer.state.load() == 1)
            ++taken;
        else if (offer.state.load() == 2)
            ::munmap(static_cast<char*>(offer.stack) - guard, kAlternateSignalStackSize + guard);
        // Unanswered offers keep their memory: the thread may still take it.
    }
    // The handler stays: a thread that blocked the signal gets it when it unblocks, and the
    // default action of this signal would end the process.
    return taken;
}

} // namespace sys

namespace {

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct StartRecord {
    void* (*routine)(void*);
    void* argument;
};

#if defined(__SANITIZE_ADDRESS__)
// Clears the AddressSanitizer shadow of the calling thread's whole stack. Nothing here lives on
// that stack: the sanitizer checks what its wrappers write, and the stack's shadow is stale.
__attribute__((no_sanitize_address)) void clearStackShadow()
{
    struct Query {
        pthread_attr_t attributes;
        void* low;
        std::size_t size;
    };
    auto* query = static_cast<Query*>(std::malloc(sizeof(Query)));
    if (!query)
        return;
    if (::pthread_getattr_np(::pthread_self(), &query->attributes) == 0) {
        if (::pthread_attr_getstack(&query->attributes, &query->low, &query->size) == 0)
            __asan_unpoison_memory_region(query->low, query->size);
        ::pthread_attr_destroy(&query->attributes);
    }
    std::free(query);
}
#endif

// Runs first in every new thread. Under AddressSanitizer the stack, reused from an ended thread,
// may still carry that thread's shadow: it is cleared first, before any checked code runs.
__attribute__((no_sanitize_address)) void* startWithAlternateStack(void* raw)
{
#if defined(__SANITIZE_ADDRESS__)
    clearStackShadow();
#endif
    StartRecord record = *static_cast<StartRecord*>(raw);
    std::free(raw);
    sys::ensureAlternateSignalStack();
    return record.routine(record.argument);
}

// The pthread_create every other part of the process resolves to (the C library's, or a
// sanitizer's wrapper of it): this library defines none of its own.
CreateFunction realCreate()
{
    static CreateFunction real = reinterpret_cast<CreateFunction>(::dlsym(RTLD_DEFAULT, "pthread_create"));
    return real;
}

int createWithAlternateStack(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument)
{
    CreateFunction real = realCreate();
    if (!real)
        return EAGAIN;
    if (!sys::alternateStacksForNewThreadsEnabled())
        return real(thread, attributes, routine, argument);
    auto* record = static_cast<StartRecord*>(std::malloc(sizeof(StartRecord)));
    if (!record)
        return real(thread, attributes, routine, argument);
    *record = StartRecord { routine, argument };
    int result = real(thread, attributes, startWithAlternateStack, record);
    if (result != 0)
        std::free(record);
    return result;
}

#if defined(__x86_64__)
constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr unsigned kGlobalData = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr unsigned kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr unsigned kGlobalData = R_AARCH64_GLOB_DAT;
#endif

bool isRuntimeOfItsOwn(const char* name)
{
    // The C library and the loader define pthread_create; the sanitizers' runtimes wrap it.
    for (const char* own : { "/libc.so", "/ld-linux", "/libpthread.so", "/libasan.so", "/libubsan.so", "/liblsan.so", "/libtsan.so", "linux-vdso" })
        if (std::strstr(name, own))
            return true;
    return false;
}

// Points every reference an image makes to pthread_create (its procedure-linkage and global
// offset table entries) at createWithAlternateStack. Which definition a name resolves to depends
// on the order the images were loaded in, which the program's link decides: going through the
// tables of every image makes the threads of any program, however linked, start with a stack.
int redirectThreadCreation(dl_phdr_info* info, std::size_t, void*)
{
    if (info->dlpi_name && isRuntimeOfItsOwn(info->dlpi_name))
        return 0;
    const ElfW(Addr) base = info->dlpi_addr;
    const ElfW(Dyn)* dynamic = nullptr;
    ElfW(Addr) relroStart = 0, relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + header.p_vaddr);
        else if (header.p_type == PT_GNU_RELRO) {
            relroStart = base + header.p_vaddr;
            relroEnd = relroStart + header.p_memsz;
        }
    }
    if (!dynamic)
        return 0;
    // The loader relocates these in place for ordinary images; a value below the load address
    // is still a link-time one.
    auto address = [base](ElfW(Addr) value) { return value < base ? value + base : value; };
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    ElfW(Addr) plt = 0, rela = 0;
    std::size_t pltSize = 0, relaSize = 0, relaEntry = sizeof(ElfW(Rela));
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
        case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(address(entry->d_un.d_ptr)); break;
        case DT_STRTAB: strings = reinterpret_cast<const char*>(address(entry->d_un.d_ptr)); break;
        case DT_JMPREL: plt = address(entry->d_un.d_ptr); break;
        case DT_PLTRELSZ: pltSize = entry->d_un.d_val; break;
        case DT_RELA: rela = address(entry->d_un.d_ptr); break;
        case DT_RELASZ: relaSize = entry->d_un.d_val; break;
        case DT_RELAENT: relaEntry = entry->d_un.d_val; break;
        default: break;
        }
    }
    if (!symbols || !strings || relaEntry < sizeof(ElfW(Rela)))
        return 0;
    const std::size_t page = sys::pageSize();
    for (const auto& [table, size] : { std::pair { plt, pltSize }, std::pair { rela, relaSize } }) {
        if (!table)
            continue;
        for (std::size_t offset = 0; offset + sizeof(ElfW(Rela)) <= size; offset += relaEntry) {
            const auto* relocation = reinterpret_cast<const ElfW(Rela)*>(table + offset);
            const unsigned type = static_cast<unsigned>(ELF64_R_TYPE(relocation->r_info));
            if (type != kJumpSlot && type != kGlobalData)
                continue;
            const ElfW(Sym)& symbol = symbols[ELF64_R_SYM(relocation->r_info)];
            if (std::strcmp(strings + symbol.st_name, "pthread_create") != 0)
                continue;
            auto* slot = reinterpret_cast<void**>(base + relocation->r_offset);
            void* wrapper = reinterpret_cast<void*>(&createWithAlternateStack);
            // A weak reference nobody defined stays null: the image tests it before calling.
            if (*slot == wrapper || (type == kGlobalData && !*slot))
                continue;
            const ElfW(Addr) at = reinterpret_cast<ElfW(Addr)>(slot);
            const bool readOnly = at >= relroStart && at < relroEnd;
            void* pageStart = reinterpret_cast<void*>(at & ~static_cast<ElfW(Addr)>(page - 1));
            if (readOnly && ::mprotect(pageStart, page, PROT_READ | PROT_WRITE) != 0)
                continue;
            __atomic_store_n(slot, wrapper, __ATOMIC_RELEASE);
            if (readOnly)
                ::mprotect(pageStart, page, PROT_READ);
        }
    }
    return 0;
}

} // namespace

namespace sys {

void enableAlternateStacksForNewThreads()
{
    if (!realCreate())
        return;
    g_forNewThreads.store(true);
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    ::dl_iterate_phdr(redirectThreadCreation, nullptr);
}

bool alternateStacksForNewThreadsEnabled()
{
    return g_forNewThreads.load();
}

} // namespace sys
