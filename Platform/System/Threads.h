#pragma once
// Threads of this process for the crash handler: listing them (/proc/self/task, read with raw
// system calls) and stopping each one by a signal handshake, during which the stopped thread
// leaves its registers behind. No heap, no locks: everything lives in fixed process-wide slots
// prepared by installThreadSuspension() before any crash.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "Platform/System/MachineContext.h"

namespace sys {

using ThreadId = pid_t;

ThreadId currentThreadId();

// Fills `ids` with up to `capacity` thread ids of this process; returns how many there are
// (which may exceed `capacity`), or -1 when the list cannot be read. Async-signal-safe.
long listThreads(ThreadId* ids, std::size_t capacity);

// Installs the handler of the suspension signal. Call once, outside any crash.
bool installThreadSuspension();

// The most threads one suspension holds.
constexpr std::size_t kMaxSuspendedThreads = 512;

// How long a stopped thread waits for resumeThreads() before it goes on by itself.
constexpr unsigned kDefaultSuspensionHoldMs = 10000;

// Stops every thread in `ids` except the calling one and waits (at most `timeoutMs`) for each to
// report its registers. The threads stay stopped until resumeThreads(), or at most `holdLimitMs`
// (so a suspender that never resumes cannot stop them for ever). Only one suspension may be
// active at a time; a second concurrent call returns false. Async-signal-safe.
bool suspendThreads(const ThreadId* ids, std::size_t count, unsigned timeoutMs, unsigned holdLimitMs = kDefaultSuspensionHoldMs);

// The registers a suspended thread left behind; false when the thread did not answer (it
// blocks the signal, it has ended, or it was not part of the suspension).
bool suspendedThreadContext(ThreadId id, MachineContext* out);

// Lets every suspended thread go on.
void resumeThreads();

} // namespace sys
