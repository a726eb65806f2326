#pragma once
// Whether a host can be reached, by a simple probe: the host name resolves and the machine has
// a network interface that is up (any loopback host needs neither). The probe runs on a
// background queue; status changes go to the notifier on the main queue and are posted as
// ReachabilityChangedNotification. A watcher probes again every `probeInterval` seconds while
// its notifier runs, and at once when networkConfigurationDidChange() is called.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace net {

enum ReachabilityStatus : long {
    ReachabilityStatusUnknown = -1,
    NotReachable = 0,
    ReachableViaWWAN = 1,
    ReachableViaWiFi = 2,
};

// The platform's reachability flag bits.
using ReachabilityFlags = std::uint32_t;
enum : ReachabilityFlags {
    kSCNetworkReachabilityFlagsReachable = 1u << 1,
    kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2,
    kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3,
    kSCNetworkReachabilityFlagsInterventionRequired = 1u << 4,
    kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5,
};

// Posted on the main thread with the watcher as object and the status under "status" (long).
extern const std::string ReachabilityChangedNotification;

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Notifier = std::function<void(ReachabilityStatus)>;
    using FlagsNotifier = std::function<void(ReachabilityFlags)>;
    // Where flags come from for a host name ("" for the internet in general). The real source
    // (none set) probes as said above and answers "reachable" or nothing.
    using FlagSource = std::function<ReachabilityFlags(const std::string& hostName)>;
    static void setFlagSource(FlagSource source);

    static std::shared_ptr<Reachability> reachabilityWithHostName(const std::string& hostName);
    // The route to the internet in general: any interface that is up and not loopback.
    static std::shared_ptr<Reachability> reachabilityForInternetConnection();

    const std::string& hostName() const { return m_hostName; }

    // Probes once now (blocking) and answers the status or the flags.
    ReachabilityStatus currentReachabilityStatus() const;
    ReachabilityFlags currentFlags() const;
    // The last status seen by the notifier, Unknown before its first probe.
    ReachabilityStatus lastStatus() const;

    // The first probe always reports; later ones only when the status changed.
    void startNotifier(Notifier notifier);
    // The same, told of every change of the flags.
    void startFlagsNotifier(FlagsNotifier notifier);
    void stopNotifier();
    bool isNotifying() const;

    double probeInterval() const { return m_probeInterval; }
    void setProbeInterval(double seconds) { m_probeInterval = seconds; }

    // A hook for whoever learns that the network changed: every running watcher probes again.
    static void networkConfigurationDidChange();

    ~Reachability();

private:
    explicit Reachability(std::string hostName);
    void probeAndReport(unsigned generation, bool reschedule);
    void scheduleNextProbe(unsigned generation);

    std::string m_hostName;
    double m_probeInterval = 30;
    mutable std::mutex m_mutex;
    Notifier m_notifier;
    FlagsNotifier m_flagsNotifier;
    std::optional<ReachabilityFlags> m_lastFlags;
    unsigned m_generation = 0;
    bool m_notifying = false;
    ReachabilityStatus m_lastStatus = ReachabilityStatusUnknown;
};

} // namespace net
