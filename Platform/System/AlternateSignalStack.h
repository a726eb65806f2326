#pragma once
// Alternate signal stacks for every thread. A crash handler must run even when the crash is a
// stack overflow, which needs a stack of its own; the kernel's alternate stack is per thread, so
// it is not enough to set one on the thread that installs the handlers. Once
// enableAlternateStacksForNewThreads() has run, every thread started afterwards gets a 64 KiB
// stack before its own code runs, and gives it back when it ends: every loaded image's
// references to pthread_create are pointed at a wrapper, whatever order the program's link put
// the images in. Images loaded later (dlopen) are covered by the next call.

#include <cstddef>

namespace sys {

constexpr std::size_t kAlternateSignalStackSize = 64 * 1024;

// Gives the calling thread an alternate stack unless it has one already. True when the thread
// has one afterwards.
bool ensureAlternateSignalStack();

void enableAlternateStacksForNewThreads();
bool alternateStacksForNewThreadsEnabled();

// Gives every thread that already runs, and has none, an alternate stack: each is asked by a
// signal to install one made ready for it. Returns how many threads took one. Threads that block
// signals are passed over. These stacks stay for the life of their threads' process (such threads
// - the main thread, worker pools - usually live as long).
int provideAlternateStacksToRunningThreads();

} // namespace sys
