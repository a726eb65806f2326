#include "MovaraAppKit/CrashReporter/MVCrashSignalHandler.h"

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
    if (!runFrom(nullptr, signo, info, static_cast<ucontext_t*>(uapVoid))) {
        // Nobody handled it: the default action gets it. With this handler still in place the
        // raise would only bring the signal back here, for ever.
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
    if (!found)
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
    if (!registerHandlerWithSignal(signo, error))
        return false;
    shared().callbacks.nasync_prepend(CallbackEntry { callback, context });
    return true;
}

bool MVCrashSignalHandler::registerHandlerWithSignal(int signo, foundation::ErrorPtr* error)
{
    std::lock_guard lock(registrationMutex());
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
