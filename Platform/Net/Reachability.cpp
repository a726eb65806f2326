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

ReachabilityStatus probe(const std::string& host)
{
    if (!host.empty() && isLoopbackHost(host))
        return ReachableViaWiFi;
    if (!hasActiveInterface())
        return NotReachable;
    if (!host.empty() && !resolves(host))
        return NotReachable;
    return ReachableViaWiFi;
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

ReachabilityStatus Reachability::currentReachabilityStatus() const
{
    return probe(m_hostName);
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
        m_notifier = std::move(notifier);
        m_notifying = true;
        generation = ++m_generation;
        m_lastStatus = ReachabilityStatusUnknown;
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
        const ReachabilityStatus status = probe(host);
        dispatch::Queue::main()->async([weak, status, generation] {
            auto self = weak.lock();
            if (!self)
                return;
            Notifier notifier;
            {
                std::lock_guard lock(self->m_mutex);
                if (!self->m_notifying || self->m_generation != generation || self->m_lastStatus == status)
                    return;
                self->m_lastStatus = status;
                notifier = self->m_notifier;
            }
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
