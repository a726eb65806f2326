#pragma once
// Watches whether a host can be reached and keeps the last known status; each change goes to
// one status block and is posted as NetKitReachabilityDidChangeNotification, all on the main
// thread. Made only through sharedManager(), managerForDomain() or managerForAddress(). The
// status comes from the reachability flags of Platform/Net, whose source tests may replace.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Foundation/Observable.h"

namespace net {
class Reachability;
}

enum NKNetworkReachabilityStatus : long {
    NKNetworkReachabilityStatusUnknown = -1,
    NKNetworkReachabilityStatusNotReachable = 0,
    NKNetworkReachabilityStatusReachableViaWWAN = 1,
    NKNetworkReachabilityStatusReachableViaWiFi = 2,
};

extern const std::string NetKitReachabilityDidChangeNotification;   // "com.wirefern.networking.reachability.change"
extern const std::string NetKitReachabilityNotificationStatusItem;  // "NetKitReachabilityNotificationStatusItem"

// "Not Reachable", "Reachable via WWAN", "Reachable via WiFi" or "Unknown" (table "NetKit").
std::string NKStringFromNetworkReachabilityStatus(long status);

// Reachable unless the reachable bit is clear, or a connection is required and either needs
// the user or would not be made automatically. Never WWAN on this platform.
NKNetworkReachabilityStatus NKNetworkReachabilityStatusForFlags(std::uint32_t flags);

class NKNetworkReachabilityManager : public foundation::Observable,
                                     public std::enable_shared_from_this<NKNetworkReachabilityManager> {
public:
    using StatusBlock = std::function<void(NKNetworkReachabilityStatus)>;

    // The route to any network (the zero address), one per process.
    static std::shared_ptr<NKNetworkReachabilityManager> sharedManager();
    static std::shared_ptr<NKNetworkReachabilityManager> managerForDomain(const std::string& domain);
    // A numeric address ("0.0.0.0" for any network).
    static std::shared_ptr<NKNetworkReachabilityManager> managerForAddress(const std::string& address);
    ~NKNetworkReachabilityManager() override;

    NKNetworkReachabilityStatus networkReachabilityStatus() const { return m_status; }
    bool isReachable() const { return isReachableViaWWAN() || isReachableViaWiFi(); }
    bool isReachableViaWWAN() const { return m_status == NKNetworkReachabilityStatusReachableViaWWAN; }
    bool isReachableViaWiFi() const { return m_status == NKNetworkReachabilityStatusReachableViaWiFi; }
    std::string localizedNetworkReachabilityStatusString() const { return NKStringFromNetworkReachabilityStatus(m_status); }

    void setReachabilityStatusChangeBlock(StatusBlock block) { m_statusBlock = std::move(block); }
    void startMonitoring();
    void stopMonitoring();

    const foundation::KeyTable& observableKeys() const override;

private:
    explicit NKNetworkReachabilityManager(std::shared_ptr<net::Reachability> reachability);
    void setStatus(NKNetworkReachabilityStatus status);

    std::shared_ptr<net::Reachability> m_reachability;
    NKNetworkReachabilityStatus m_status = NKNetworkReachabilityStatusUnknown;
    StatusBlock m_statusBlock;
};
