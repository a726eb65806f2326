#include "MovaraAppKit/Telemetry/Core/HttpClient/BCN_Reachability.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/Reachability.h"

const std::string kBCNReachabilityChangedNotification = "kBNNetworkReachabilityChangedNotification";

std::shared_ptr<BCN_Reachability> BCN_Reachability::reachabilityForInternetConnection()
{
    std::shared_ptr<BCN_Reachability> reachability(new BCN_Reachability());
    reachability->m_reachability = net::Reachability::reachabilityForInternetConnection();
    return reachability->m_reachability ? reachability : nullptr;
}

std::shared_ptr<BCN_Reachability> BCN_Reachability::reachabilityWithHostName(const std::string& hostName)
{
    std::shared_ptr<BCN_Reachability> reachability(new BCN_Reachability());
    reachability->m_reachability = net::Reachability::reachabilityWithHostName(hostName);
    return reachability->m_reachability ? reachability : nullptr;
}

BCN_Reachability::~BCN_Reachability()
{
    if (m_reachability)
        m_reachability->stopNotifier();
}

void BCN_Reachability::startNotifier()
{
    std::weak_ptr<BCN_Reachability> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        auto self = weak.lock();
        if (!self || !self->m_reachability)
            return;
        // The platform's first report comes at once; every later one is a change.
        self->m_reachability->startNotifier([weak](net::ReachabilityStatus) {
            if (auto self = weak.lock())
                self->postChange();
        });
    });
}

void BCN_Reachability::stopNotifier()
{
    std::weak_ptr<BCN_Reachability> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        if (auto self = weak.lock(); self && self->m_reachability)
            self->m_reachability->stopNotifier();
    });
}

BCN_Reachability::NetworkStatus BCN_Reachability::currentReachabilityStatus() const
{
    if (!m_reachability)
        return NotReachable;
    // The last report of the running notifier; a fresh probe when it has none yet.
    auto status = m_reachability->lastStatus();
    if (status == net::ReachabilityStatusUnknown)
        status = m_reachability->currentReachabilityStatus();
    return status == net::NotReachable || status == net::ReachabilityStatusUnknown ? NotReachable : Reachable;
}

BCN_Reachability::NetworkStatus BCN_Reachability::networkStatusForFlags(unsigned flags)
{
    constexpr unsigned reachable = 0x2, connectionRequired = 0x4, onTraffic = 0x8, intervention = 0x10, onDemand = 0x20;
    if (!(flags & reachable))
        return NotReachable;
    if ((flags & (onTraffic | onDemand)) && !(flags & intervention))
        return Reachable;
    return (flags & connectionRequired) ? NotReachable : Reachable;
}

void BCN_Reachability::postChange()
{
    foundation::NotificationCenter::defaultCenter().post(kBCNReachabilityChangedNotification, shared_from_this());
}
