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
// After the crash reporter's callback has written its report it hands the signal on, so a handler
// that was installed before ours (a sanitizer, a debugging aid, the host's own reporter) still
// sees the crash; by then the monitored signals are back at their default action, so when that
// handler returns, or when there was none, the signal is raised again and the process ends with
// it. A crash inside the earlier handler ends the process the same way.

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
