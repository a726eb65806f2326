#include "Platform/System/AlternateSignalStack.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "Platform/System/SafeMemory.h"

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
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_sp)
        return true;
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

void enableAlternateStacksForNewThreads()
{
    g_forNewThreads.store(true);
}

bool alternateStacksForNewThreadsEnabled()
{
    return g_forNewThreads.load();
}

} // namespace sys

namespace {

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct StartRecord {
    void* (*routine)(void*);
    void* argument;
};

void* startWithAlternateStack(void* raw)
{
    StartRecord record = *static_cast<StartRecord*>(raw);
    std::free(raw);
    sys::ensureAlternateSignalStack();
    return record.routine(record.argument);
}

CreateFunction realCreate()
{
    static CreateFunction next = reinterpret_cast<CreateFunction>(::dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

} // namespace

// Every thread of the process starts here once crash capture asked for it; before that the call
// goes straight through.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument)
{
    CreateFunction next = realCreate();
    if (!next)
        return EAGAIN;
    if (!sys::alternateStacksForNewThreadsEnabled())
        return next(thread, attributes, routine, argument);
    auto* record = static_cast<StartRecord*>(std::malloc(sizeof(StartRecord)));
    if (!record)
        return next(thread, attributes, routine, argument);
    *record = StartRecord { routine, argument };
    int result = next(thread, attributes, startWithAlternateStack, record);
    if (result != 0)
        std::free(record);
    return result;
}
