#pragma once
// Whether the route to the internet is up, for the telemetry HTTP client: the status now, and
// "kBNNetworkReachabilityChangedNotification" posted on the main thread (object: the watcher)
// once when the notifier starts and at every change after. Built on the platform's probe.

#include <memory>
#include <string>

namespace net {
class Reachability;
}

extern const std::string kBCNReachabilityChangedNotification; // "kBNNetworkReachabilityChangedNotification"

class BCN_Reachability : public std::enable_shared_from_this<BCN_Reachability> {
public:
    enum NetworkStatus { NotReachable = 0, Reachable = 1 };

    static std::shared_ptr<BCN_Reachability> reachabilityForInternetConnection();
    static std::shared_ptr<BCN_Reachability> reachabilityWithHostName(const std::string& hostName);
    virtual ~BCN_Reachability();

    // Both hand their work to the main thread and return at once.
    virtual void startNotifier();
    virtual void stopNotifier();
    virtual NetworkStatus currentReachabilityStatus() const;
    // Status from the platform's reachability flags (reachable 0x2, connection required 0x4,
    // on traffic 0x8, intervention required 0x10, on demand 0x20).
    static NetworkStatus networkStatusForFlags(unsigned flags);

    // Posts the change notification for this watcher (on the calling thread).
    void postChange();

protected:
    BCN_Reachability() = default;

private:
    std::shared_ptr<net::Reachability> m_reachability;
};
