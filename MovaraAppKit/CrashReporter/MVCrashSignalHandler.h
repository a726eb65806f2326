#pragma once
// The process-wide owner of the crash signal handlers. One handler function is installed per
// signal, running on an alternate signal stack; on delivery it runs a chain of registered
// callbacks, the one registered last first. A callback may hand the signal down the chain; the
// chain's last link honours the action that was installed before ours.
//
// Every thread gets an alternate stack, not only the one that registers: threads started after
// the first registration get one as they start (Platform/System/AlternateSignalStack.h), so a
// stack overflow on any of them still reaches the handler.
//
// The crash reporter's callback does not hand the signal on: once the report is written the
// monitored signals are reset to their default action and the signal is raised again, so the
// process ends with it (and dumps core where the system is set to). An earlier handler - another
// crash reporter, a sanitizer - would run in a process that has already failed and could
// overwrite the exit status; it is not called after ours.

#include <signal.h>

#include <mutex>

#include "MovaraAppKit/CrashReporter/MVCrashAsyncList.h"
#include "Platform/Foundation/Error.h"

struct MVCrashSignalHandlerCallback;

// Returns true when the signal was handled.
using MVCrashSignalHandlerCallbackFunc = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context, MVCrashSignalHandlerCallback* next);

struct MVCrashSignalHandlerCallback {
    bool (*callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context);
    void* context;
};

// Passes the signal to the next link of the chain; false when there is none.
bool MVCrashSignalHandlerForward(MVCrashSignalHandlerCallback* next, int signo, siginfo_t* info, ucontext_t* uap);

class MVCrashSignalHandler {
public:
    static MVCrashSignalHandler& sharedHandler();

    bool registerHandlerForSignal(int signo, MVCrashSignalHandlerCallbackFunc callback, void* context, foundation::ErrorPtr* error);
    // Forgets the callbacks and the recorded previous actions; the installed handlers stay.
    static void resetHandlers();

private:
    MVCrashSignalHandler() = default;
    bool registerHandlerWithSignal(int signo, foundation::ErrorPtr* error);
};
