#pragma once
// The surface through which a wrapper SDK (a binding of the client for another language runtime
// in the same process) reaches the crash service: its crash-handler set-up delegate, and the
// crash service's operations for driving crash processing itself.

#include <memory>
#include <mutex>

// Asked by the crash service around the set-up of its crash handlers. Every member is optional.
class BCNCrashHandlerSetupDelegate {
public:
    virtual ~BCNCrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() { }
    virtual void didSetUpCrashHandlers() { }
    // False keeps the crash reporter from installing its uncaught-exception handler (the
    // wrapper's runtime has its own).
    virtual bool shouldEnableUncaughtExceptionHandler() { return true; }
};

class BCNWrapperCrashesHelper {
public:
    static BCNWrapperCrashesHelper& sharedInstance();

    // Kept weakly: the helper answers none once the wrapper released its delegate.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate);
    static std::shared_ptr<BCNCrashHandlerSetupDelegate> crashHandlerSetupDelegate();
    static std::shared_ptr<BCNCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate() { return crashHandlerSetupDelegate(); }

private:
    BCNWrapperCrashesHelper() = default;

    mutable std::mutex m_mutex;
    std::weak_ptr<BCNCrashHandlerSetupDelegate> m_crashHandlerSetupDelegate;
};
