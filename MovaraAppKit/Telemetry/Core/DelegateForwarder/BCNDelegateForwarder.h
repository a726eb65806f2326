#pragma once
// Lets the telemetry client observe callbacks the platform sends to the application object's
// delegate without the application calling the client. C++ has no method exchange, and a
// stand-in delegate would change the object the application finds as its delegate, so a hooked
// operation is followed where the application announces it: each of the application delegate's
// operations that the application also posts as a notification (will/did finish launching, did
// become/resign active, will terminate) reaches forwardInvocation() right after the delegate's
// own implementation has run, and the forwarder passes it on to its listeners with the
// notification as the argument. An operation the application does not announce cannot be
// followed and is traced as such. A callback whose name ends in "returnedValue:" carries the
// value the application's own implementation returned as its last argument; each listener may
// replace it and the last one's answer is the result. The class also buffers trace messages made
// while the process loads, until the application has chosen a log level. Any thread; listeners
// are called on the thread that posted the notification (the main thread).

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Foundation/NotificationCenter.h"

class BCNDelegateForwarderListener {
public:
    virtual ~BCNDelegateForwarderListener() = default;
    // Whether this listener handles the operation.
    virtual bool respondsTo(const std::string& selector) const = 0;
    // Handles it; for a returned-value callback the answer becomes the next listener's last argument.
    virtual std::any invoke(const std::string& selector, const std::vector<std::any>& arguments) = 0;
};

class BCNDelegateForwarder {
public:
    virtual ~BCNDelegateForwarder() = default;

    // Runs the block now, or holds it while the trace buffer exists.
    static void addTraceBlock(std::function<void()> block);
    // Runs the held blocks in order and ends buffering for good.
    static void flushTraceBuffer();

    bool isEnabled() const;
    // Disabling forgets every listener.
    void setEnabled(bool enabled);
    // The Info.plist switch under `key`; absent means enabled.
    void setEnabledFromPlistForKey(const std::string& key);
    void addDelegate(const std::shared_ptr<BCNDelegateForwarderListener>& listener);
    void removeDelegate(const std::shared_ptr<BCNDelegateForwarderListener>& listener);

    // Asks for the application delegate's operation to be hooked: from now on each call of it
    // reaches the listeners (traced at DEBUG), or, for an operation that cannot be followed, an
    // ERROR trace says that the application has to call the client itself. Ignored while disabled.
    void addDelegateSelectorToSwizzle(const std::string& selector);
    // The application notification that announces a delegate operation, none when none does.
    static std::optional<std::string> notificationForSelector(const std::string& selector);
    bool isSelectorHooked(const std::string& selector) const;
    // Passes a hooked callback to the listeners; the value to return (the last argument for a
    // returned-value callback), none otherwise.
    std::optional<std::any> forwardInvocation(const std::string& selector, std::vector<std::any> arguments);

private:
    mutable std::recursive_mutex m_mutex;
    bool m_enabled = true;
    std::vector<std::weak_ptr<BCNDelegateForwarderListener>> m_delegates;
    std::set<std::string> m_hookedSelectors;
    std::vector<foundation::NotificationCenter::Token> m_observations;
};

// The forwarder of the application object, switched by "BeaconAppDelegateForwarderEnabled".
class BCNAppDelegateForwarder : public BCNDelegateForwarder {
public:
    static std::shared_ptr<BCNAppDelegateForwarder> sharedInstance();
    static void resetSharedInstance();
    static const std::string EnabledKey;
};
