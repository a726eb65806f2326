#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/Reachability.h"

const std::string NetKitReachabilityDidChangeNotification = "com.wirefern.networking.reachability.change";
const std::string NetKitReachabilityNotificationStatusItem = "NetKitReachabilityNotificationStatusItem";

std::string NKStringFromNetworkReachabilityStatus(long status)
{
    std::string key;
    switch (status) {
    case NKNetworkReachabilityStatusNotReachable: key = "Not Reachable"; break;
    case NKNetworkReachabilityStatusReachableViaWWAN: key = "Reachable via WWAN"; break;
    case NKNetworkReachabilityStatusReachableViaWiFi: key = "Reachable via WiFi"; break;
    default: key = "Unknown"; break;
    }
    auto bundle = foundation::Bundle::main();
    return bundle ? bundle->localizedStringForKey(key, {}, "NetKit") : key;
}

NKNetworkReachabilityStatus NKNetworkReachabilityStatusForFlags(std::uint32_t flags)
{
    if (!(flags & net::kSCNetworkReachabilityFlagsReachable))
        return NKNetworkReachabilityStatusNotReachable;
    const bool required = flags & net::kSCNetworkReachabilityFlagsConnectionRequired;
    const bool automatic = flags & (net::kSCNetworkReachabilityFlagsConnectionOnTraffic | net::kSCNetworkReachabilityFlagsConnectionOnDemand);
    if (required && ((flags & net::kSCNetworkReachabilityFlagsInterventionRequired) || !automatic))
        return NKNetworkReachabilityStatusNotReachable;
    return NKNetworkReachabilityStatusReachableViaWiFi;
}

NKNetworkReachabilityManager::NKNetworkReachabilityManager(std::shared_ptr<net::Reachability> reachability)
    : m_reachability(std::move(reachability))
{
}

NKNetworkReachabilityManager::~NKNetworkReachabilityManager()
{
    stopMonitoring();
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::managerForDomain(const std::string& domain)
{
    struct Enabler : NKNetworkReachabilityManager {
        explicit Enabler(std::shared_ptr<net::Reachability> r) : NKNetworkReachabilityManager(std::move(r)) { }
    };
    return std::make_shared<Enabler>(net::Reachability::reachabilityWithHostName(domain));
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::managerForAddress(const std::string& address)
{
    // The zero address stands for any network, which is what the internet watcher answers.
    return managerForDomain(address == "0.0.0.0" ? std::string() : address);
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::sharedManager()
{
    static const auto shared = managerForAddress("0.0.0.0");
    return shared;
}

const foundation::KeyTable& NKNetworkReachabilityManager::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("networkReachabilityStatus", &NKNetworkReachabilityManager::networkReachabilityStatus);
        t.key("reachable", &NKNetworkReachabilityManager::isReachable);
        t.key("reachableViaWWAN", &NKNetworkReachabilityManager::isReachableViaWWAN);
        t.key("reachableViaWiFi", &NKNetworkReachabilityManager::isReachableViaWiFi);
        t.affecting("reachable", { "networkReachabilityStatus" });
        t.affecting("reachableViaWWAN", { "networkReachabilityStatus" });
        t.affecting("reachableViaWiFi", { "networkReachabilityStatus" });
        return t;
    }();
    return table;
}

void NKNetworkReachabilityManager::startMonitoring()
{
    stopMonitoring();
    std::weak_ptr<NKNetworkReachabilityManager> weak = weak_from_this();
    // The watcher reports on the main thread.
    m_reachability->startFlagsNotifier([weak](net::ReachabilityFlags flags) {
        auto self = weak.lock();
        if (!self)
            return;
        const auto value = NKNetworkReachabilityStatusForFlags(flags);
        self->setStatus(value);
        if (self->m_statusBlock)
            self->m_statusBlock(value);
        dispatch::Queue::main()->async([value] {
            foundation::NotificationCenter::defaultCenter().post(NetKitReachabilityDidChangeNotification, nullptr,
                                                                 { { NetKitReachabilityNotificationStatusItem, static_cast<long>(value) } });
        });
    });
}

void NKNetworkReachabilityManager::stopMonitoring()
{
    if (m_reachability)
        m_reachability->stopNotifier();
}

void NKNetworkReachabilityManager::setStatus(NKNetworkReachabilityStatus status)
{
    willChange("networkReachabilityStatus");
    m_status = status;
    didChange("networkReachabilityStatus");
}
