#include "Platform/Net/Reachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/NotificationCenter.h"

namespace net {

const std::string ReachabilityChangedNotification = "ReachabilityChangedNotification";

namespace {

bool isLoopbackHost(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0 || host.ends_with(".localhost");
}

bool hasActiveInterface()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        const int family = entry->ifa_addr->sa_family;
        if (family == AF_INET || family == AF_INET6)
            return true;
    }
    return false;
}

bool resolves(const std::string& host)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
        return false;
    ::freeaddrinfo(result);
    return true;
}

ReachabilityFlags realProbe(const std::string& host)
{
    if (!host.empty() && isLoopbackHost(host))
        return kSCNetworkReachabilityFlagsReachable;
    if (!hasActiveInterface())
        return 0;
    if (!host.empty() && !resolves(host))
        return 0;
    return kSCNetworkReachabilityFlagsReachable;
}

std::mutex& flagSourceMutex()
{
    static std::mutex mutex;
    return mutex;
}

Reachability::FlagSource& flagSource()
{
    static Reachability::FlagSource source;
    return source;
}

ReachabilityFlags probeFlags(const std::string& host)
{
    Reachability::FlagSource source;
    {
        std::lock_guard lock(flagSourceMutex());
        source = flagSource();
    }
    return source ? source(host) : realProbe(host);
}

ReachabilityStatus statusForFlags(ReachabilityFlags flags)
{
    return flags & kSCNetworkReachabilityFlagsReachable ? ReachableViaWiFi : NotReachable;
}

std::mutex& registryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<std::weak_ptr<Reachability>>& registry()
{
    static std::vector<std::weak_ptr<Reachability>> watchers;
    return watchers;
}

} // namespace

Reachability::Reachability(std::string hostName)
    : m_hostName(std::move(hostName))
{
}

Reachability::~Reachability() = default;

std::shared_ptr<Reachability> Reachability::reachabilityWithHostName(const std::string& hostName)
{
    return std::shared_ptr<Reachability>(new Reachability(hostName));
}

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection()
{
    return std::shared_ptr<Reachability>(new Reachability(std::string()));
}

void Reachability::setFlagSource(FlagSource source)
{
    std::lock_guard lock(flagSourceMutex());
    flagSource() = std::move(source);
}

ReachabilityStatus Reachability::currentReachabilityStatus() const
{
    return statusForFlags(probeFlags(m_hostName));
}

ReachabilityFlags Reachability::currentFlags() const
{
    return probeFlags(m_hostName);
}

void Reachability::startFlagsNotifier(FlagsNotifier notifier)
{
    {
        std::lock_guard lock(m_mutex);
        m_flagsNotifier = std::move(notifier);
    }
    startNotifier(nullptr);
}

ReachabilityStatus Reachability::lastStatus() const
{
    std::lock_guard lock(m_mutex);
    return m_lastStatus;
}

bool Reachability::isNotifying() const
{
    std::lock_guard lock(m_mutex);
    return m_notifying;
}

void Reachability::startNotifier(Notifier notifier)
{
    unsigned generation;
    {
        std::lock_guard lock(m_mutex);
        if (notifier)
            m_flagsNotifier = nullptr;
        m_notifier = std::move(notifier);
        m_notifying = true;
        generation = ++m_generation;
        m_lastStatus = ReachabilityStatusUnknown;
        m_lastFlags.reset();
    }
    {
        std::lock_guard lock(registryMutex());
        auto& watchers = registry();
        std::erase_if(watchers, [](const auto& w) { return w.expired(); });
        watchers.push_back(weak_from_this());
    }
    probeAndReport(generation, true);
}

void Reachability::stopNotifier()
{
    std::lock_guard lock(m_mutex);
    m_notifying = false;
    ++m_generation;
    m_notifier = nullptr;
    m_flagsNotifier = nullptr;
}

void Reachability::networkConfigurationDidChange()
{
    std::vector<std::shared_ptr<Reachability>> watchers;
    {
        std::lock_guard lock(registryMutex());
        for (auto& weak : registry())
            if (auto strong = weak.lock())
                watchers.push_back(std::move(strong));
    }
    for (auto& watcher : watchers) {
        unsigned generation;
        {
            std::lock_guard lock(watcher->m_mutex);
            if (!watcher->m_notifying)
                continue;
            generation = watcher->m_generation;
        }
        watcher->probeAndReport(generation, false);
    }
}

void Reachability::probeAndReport(unsigned generation, bool reschedule)
{
    std::weak_ptr<Reachability> weak = weak_from_this();
    const std::string host = m_hostName;
    dispatch::Queue::global(dispatch::QoS::Background)->async([weak, host, generation, reschedule] {
        const ReachabilityFlags flags = probeFlags(host);
        const ReachabilityStatus status = statusForFlags(flags);
        dispatch::Queue::main()->async([weak, flags, status, generation] {
            auto self = weak.lock();
            if (!self)
                return;
            Notifier notifier;
            FlagsNotifier flagsNotifier;
            bool statusChanged;
            {
                std::lock_guard lock(self->m_mutex);
                if (!self->m_notifying || self->m_generation != generation || self->m_lastFlags == flags)
                    return;
                self->m_lastFlags = flags;
                statusChanged = self->m_lastStatus != status;
                self->m_lastStatus = status;
                notifier = self->m_notifier;
                flagsNotifier = self->m_flagsNotifier;
            }
            if (flagsNotifier)
                flagsNotifier(flags);
            if (!statusChanged)
                return;
            if (notifier)
                notifier(status);
            foundation::NotificationCenter::defaultCenter().post(ReachabilityChangedNotification, self.get(),
                                                                 { { "status", static_cast<long>(status) } });
        });
        if (!reschedule)
            return;
        if (auto self = weak.lock())
            self->scheduleNextProbe(generation);
    });
}

void Reachability::scheduleNextProbe(unsigned generation)
{
    std::weak_ptr<Reachability> weak = weak_from_this();
    dispatch::Queue::global(dispatch::QoS::Background)->asyncAfter(m_probeInterval, [weak, generation] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->m_mutex);
            if (!self->m_notifying || self->m_generation != generation)
                return;
        }
        self->probeAndReport(generation, true);
    });
}

} // namespace net
