#include "MovaraAppKit/Telemetry/Core/DelegateForwarder/BCNDelegateForwarder.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/Application.h"

namespace {

struct TraceBuffer {
    std::recursive_mutex mutex;
    std::optional<std::vector<std::function<void()>>> blocks = std::vector<std::function<void()>> {};
    bool started = false;
};

TraceBuffer& traceBuffer()
{
    static TraceBuffer buffer;
    return buffer;
}

} // namespace

void BCNDelegateForwarder::addTraceBlock(std::function<void()> block)
{
    auto& buffer = traceBuffer();
    std::unique_lock lock(buffer.mutex);
    if (!buffer.blocks) {
        lock.unlock();
        block();
        return;
    }
    if (!buffer.started) {
        buffer.started = true;
        buffer.blocks->push_back([] { BCNLogVerbose("Beacon", "Start buffering traces."); });
    }
    buffer.blocks->push_back(std::move(block));
}

void BCNDelegateForwarder::flushTraceBuffer()
{
    auto& buffer = traceBuffer();
    std::lock_guard lock(buffer.mutex);
    if (!buffer.blocks)
        return;
    auto blocks = std::move(*buffer.blocks);
    buffer.blocks.reset();
    for (const auto& block : blocks)
        block();
    BCNLogVerbose("Beacon", "Stop buffering traces, flushed.");
}

bool BCNDelegateForwarder::isEnabled() const
{
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

void BCNDelegateForwarder::setEnabled(bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
    if (!enabled)
        m_delegates.clear();
}

void BCNDelegateForwarder::setEnabledFromPlistForKey(const std::string& key)
{
    auto bundle = foundation::Bundle::main();
    const auto& value = bundle ? bundle->objectForInfoDictionaryKey(key) : foundation::Value::null();
    const bool enabled = value.isNull() ? true : value.asBool(true);
    setEnabled(enabled);
    addTraceBlock([key, enabled] {
        if (enabled)
            BCNLogDebug("Beacon", "Delegate forwarder for info.plist key '" + key + "' enabled. It may use swizzling.");
        else
            BCNLogDebug("Beacon", "Delegate forwarder for info.plist key '" + key + "' disabled. It won't use swizzling.");
    });
}

void BCNDelegateForwarder::addDelegate(const std::shared_ptr<BCNDelegateForwarderListener>& listener)
{
    std::lock_guard lock(m_mutex);
    if (m_enabled && listener)
        m_delegates.push_back(listener);
}

void BCNDelegateForwarder::removeDelegate(const std::shared_ptr<BCNDelegateForwarderListener>& listener)
{
    std::lock_guard lock(m_mutex);
    if (!m_enabled)
        return;
    std::erase_if(m_delegates, [&](const auto& weak) {
        auto held = weak.lock();
        return !held || held == listener;
    });
}

std::optional<std::string> BCNDelegateForwarder::notificationForSelector(const std::string& selector)
{
    static const std::pair<const char*, const std::string*> announced[] = {
        { "applicationWillFinishLaunching:", &ui::NSApplicationWillFinishLaunchingNotification },
        { "applicationDidFinishLaunching:", &ui::NSApplicationDidFinishLaunchingNotification },
        { "applicationDidBecomeActive:", &ui::NSApplicationDidBecomeActiveNotification },
        { "applicationDidResignActive:", &ui::NSApplicationDidResignActiveNotification },
        { "applicationWillTerminate:", &ui::NSApplicationWillTerminateNotification },
    };
    for (const auto& [name, notification] : announced)
        if (selector == name)
            return *notification;
    return std::nullopt;
}

void BCNDelegateForwarder::addDelegateSelectorToSwizzle(const std::string& selector)
{
    std::lock_guard lock(m_mutex);
    if (!m_enabled || m_hookedSelectors.contains(selector))
        return;
    const std::string className = "NSApplicationDelegate";
    const auto notification = notificationForSelector(selector);
    if (!notification) {
        addTraceBlock([selector, className] {
            BCNLogError("Beacon", "Cannot swizzle selector '" + selector + "' of class '" + className
                                      + "'. You need to explicitly call the Beacon API from your app delegate implementation.");
        });
        return;
    }
    m_hookedSelectors.insert(selector);
    // The application tells its delegate first, then posts: listeners hear of the callback after
    // the application's own implementation, as a replaced implementation calling the original
    // would have them.
    m_observations.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
        *notification, nullptr, nullptr, [this, selector](const foundation::Notification& posted) {
            if (isEnabled())
                forwardInvocation(selector, { std::any(posted) });
        }));
    addTraceBlock([selector, className] { BCNLogDebug("Beacon", "Selector '" + selector + "' of class '" + className + "' is swizzled."); });
}

bool BCNDelegateForwarder::isSelectorHooked(const std::string& selector) const
{
    std::lock_guard lock(m_mutex);
    return m_hookedSelectors.contains(selector);
}

std::optional<std::any> BCNDelegateForwarder::forwardInvocation(const std::string& selector, std::vector<std::any> arguments)
{
    std::vector<std::shared_ptr<BCNDelegateForwarderListener>> listeners;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& weak : m_delegates)
            if (auto listener = weak.lock())
                listeners.push_back(std::move(listener));
    }
    const bool returnsValue = selector.ends_with("returnedValue:") && !arguments.empty();
    for (const auto& listener : listeners) {
        if (!listener->respondsTo(selector))
            continue;
        std::any answer = listener->invoke(selector, arguments);
        if (returnsValue)
            arguments.back() = std::move(answer);
    }
    if (returnsValue)
        return arguments.back();
    return std::nullopt;
}

const std::string BCNAppDelegateForwarder::EnabledKey = "BeaconAppDelegateForwarderEnabled";

namespace {

BCNSharedInstance<BCNAppDelegateForwarder>& shared()
{
    static BCNSharedInstance<BCNAppDelegateForwarder> instance;
    return instance;
}

} // namespace

std::shared_ptr<BCNAppDelegateForwarder> BCNAppDelegateForwarder::sharedInstance()
{
    return shared().get([] {
        auto forwarder = std::make_shared<BCNAppDelegateForwarder>();
        forwarder->setEnabledFromPlistForKey(EnabledKey);
        return forwarder;
    });
}

void BCNAppDelegateForwarder::resetSharedInstance()
{
    shared().reset();
}
