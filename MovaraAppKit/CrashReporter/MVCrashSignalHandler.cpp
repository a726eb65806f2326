#include "MovaraAppKit/CrashReporter/MVCrashSignalHandler.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "Platform/System/AlternateSignalStack.h"

namespace {

struct CallbackEntry {
    MVCrashSignalHandlerCallbackFunc callback = nullptr;
    void* context = nullptr;
};

struct PreviousAction {
    int signo = 0;
    struct sigaction action {};
};

// Made before main() runs and kept to the end: handlers may fire during static destruction.
struct SharedHandlerContext {
    mvcrash::async::async_list<CallbackEntry> callbacks;
    mvcrash::async::async_list<PreviousAction> previous;
};

SharedHandlerContext& shared()
{
    static auto* context = new SharedHandlerContext();
    return *context;
}
[[maybe_unused]] const bool g_sharedReady = (shared(), true);

using CallbackNode = mvcrash::async::async_list<CallbackEntry>::node;

// The threads running the chain right now. A thread found here when a signal arrives crashed
// inside a handler: running the chain again would only crash again (or write a second report
// over the first), so the signal takes its default action at once. Fixed slots, no heap: a
// thread that finds none free runs the chain unmarked.
constexpr int kHandlingSlots = 64;
std::atomic<pid_t> g_handlingThreads[kHandlingSlots];

int markHandling(pid_t self)
{
    for (int i = 0; i < kHandlingSlots; ++i) {
        pid_t expected = 0;
        if (g_handlingThreads[i].compare_exchange_strong(expected, self))
            return i;
    }
    return -1;
}

bool isHandling(pid_t self)
{
    for (auto& slot : g_handlingThreads)
        if (slot.load() == self)
            return true;
    return false;
}

// Ends the process with the signal's default action. The signal may be blocked here (we are in
// its handler): unblock it so the raise takes effect now, not when the handler returns.
void raiseWithDefaultAction(int signo)
{
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signo, &fallback, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signo);
}

void mvcrash_signal_handler(int signo, siginfo_t* info, void* uapVoid);

bool isOurHandler(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == mvcrash_signal_handler;
}

bool iterate(int signo, siginfo_t* info, ucontext_t* uap, void* context);

bool runFrom(CallbackNode* after, int signo, siginfo_t* info, ucontext_t* uap)
{
    auto& list = shared().callbacks;
    list.set_reading(true);
    CallbackNode* current = list.next(after);
    if (!current) {
        list.set_reading(false);
        return false;
    }
    MVCrashSignalHandlerCallback next { iterate, current };
    MVCrashSignalHandlerCallback* link = list.next(current) ? &next : nullptr;
    const bool handled = current->value.callback(signo, info, uap, current->value.context, link);
    list.set_reading(false);
    return handled;
}

bool iterate(int signo, siginfo_t* info, ucontext_t* uap, void* context)
{
    return runFrom(static_cast<CallbackNode*>(context), signo, info, uap);
}

void mvcrash_signal_handler(int signo, siginfo_t* info, void* uapVoid)
{
    const int savedErrno = errno;
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    if (isHandling(self)) {
        raiseWithDefaultAction(signo);
        errno = savedErrno;
        return;
    }
    const int slot = markHandling(self);
    const bool handled = runFrom(nullptr, signo, info, static_cast<ucontext_t*>(uapVoid));
    if (slot >= 0)
        g_handlingThreads[slot].store(0);
    sigset_t pending;
    if (handled && ::sigpending(&pending) == 0 && sigismember(&pending, signo) == 1) {
        // Raised again while the chain ran (blocked here, so it waits): a crash inside a
        // handler. Delivered after we return it would run the chain again, and again.
        raiseWithDefaultAction(signo);
        errno = savedErrno;
        return;
    }
    if (!handled) {
        // Nobody handled it: the default action gets it. With this handler still in place the
        // raise would only bring the signal back here, for ever. Still blocked while we run, it
        // is delivered as the handler returns.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signo, &fallback, nullptr);
        ::raise(signo);
    }
    errno = savedErrno;
}

bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void*, MVCrashSignalHandlerCallback* next)
{
    if (next && MVCrashSignalHandlerForward(next, signo, info, uap))
        return true;
    auto& list = shared().previous;
    list.set_reading(true);
    bool found = false;
    struct sigaction action {};
    for (auto* n = list.next(nullptr); n; n = list.next(n)) {
        if (n->value.signo == signo) {
            action = n->value.action;
            found = true;
            break;
        }
    }
    list.set_reading(false);
    // Our own handler as the earlier one (installed again after its record was dropped) would
    // only run this chain again: it counts as the default action.
    if (!found || isOurHandler(action))
        return false;
    if (action.sa_flags & SA_SIGINFO) {
        if (action.sa_sigaction)
            action.sa_sigaction(signo, info, uap);
        return true;
    }
    if (action.sa_handler == SIG_IGN)
        return true;
    if (action.sa_handler == SIG_DFL)
        return false;
    action.sa_handler(signo);
    return true;
}

std::mutex& registrationMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool hasCallback(MVCrashSignalHandlerCallbackFunc callback, void* context)
{
    auto& list = shared().callbacks;
    bool found = false;
    list.set_reading(true);
    for (auto* n = list.next(nullptr); n && !found; n = list.next(n))
        found = n->value.callback == callback && n->value.context == context;
    list.set_reading(false);
    return found;
}

} // namespace

bool MVCrashSignalHandlerForward(MVCrashSignalHandlerCallback* next, int signo, siginfo_t* info, ucontext_t* uap)
{
    if (!next)
        return false;
    return next->callback(signo, info, uap, next->context);
}

MVCrashSignalHandler& MVCrashSignalHandler::sharedHandler()
{
    static MVCrashSignalHandler handler;
    return handler;
}

bool MVCrashSignalHandler::registerHandlerForSignal(int signo, MVCrashSignalHandlerCallbackFunc callback, void* context, foundation::ErrorPtr* error)
{
    std::lock_guard lock(registrationMutex());
    if (!registerHandlerWithSignal(signo, error))
        return false;
    // The chain is one for all signals: a callback registered for a second signal, or twice for
    // one, is already in it, and a second link would run it twice for one crash.
    if (!hasCallback(callback, context))
        shared().callbacks.nasync_prepend(CallbackEntry { callback, context });
    return true;
}

bool MVCrashSignalHandler::registerHandlerWithSignal(int signo, foundation::ErrorPtr* error)
{
    if (!sys::ensureAlternateSignalStack()) {
        mvcrash_populate_posix_error(error, errno ? errno : ENOMEM, "Could not initialize alternative signal stack");
        return false;
    }
    if (!sys::alternateStacksForNewThreadsEnabled()) {
        // Threads that start from now on get a stack as they start; those already running are
        // given one now.
        sys::enableAlternateStacksForNewThreads();
        sys::provideAlternateStacksToRunningThreads();
    }
    if (!hasCallback(previous_action_callback, nullptr))
        shared().callbacks.nasync_append(CallbackEntry { previous_action_callback, nullptr });

    auto& previous = shared().previous;
    bool known = false;
    previous.set_reading(true);
    for (auto* n = previous.next(nullptr); n; n = previous.next(n))
        known = known || n->value.signo == signo;
    previous.set_reading(false);
    if (known)
        return true;

    struct sigaction action {};
    action.sa_sigaction = mvcrash_signal_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    PreviousAction entry;
    entry.signo = signo;
    if (::sigaction(signo, &action, &entry.action) != 0) {
        mvcrash_populate_posix_error(error, errno, "Failed to register signal handler");
        return false;
    }
    if (isOurHandler(entry.action)) {
        // Installed by an earlier registration whose record was reset: there is no earlier
        // handler to hand the signal to, only the default action.
        entry.action = {};
        entry.action.sa_handler = SIG_DFL;
    }
    previous.nasync_append(entry);
    return true;
}

void MVCrashSignalHandler::resetHandlers()
{
    std::lock_guard lock(registrationMutex());
    auto& previous = shared().previous;
    previous.set_reading(true);
    while (auto* n = previous.next(nullptr))
        previous.nasync_remove_node(n);
    previous.set_reading(false);
    auto& callbacks = shared().callbacks;
    callbacks.set_reading(true);
    while (auto* n = callbacks.next(nullptr))
        callbacks.nasync_remove_node(n);
    callbacks.set_reading(false);
}
