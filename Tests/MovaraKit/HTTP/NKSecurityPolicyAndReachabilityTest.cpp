#include <gtest/gtest.h>

#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"
#include "MovaraKit/HTTP/NKSecurityPolicy.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/Reachability.h"
#include "Tests/Support/TestCertificates.h"

using testsupport::TestKeyPair;
using testsupport::TestPKI;

namespace {

security::CertificatePtr certificate(const TestKeyPair& pair)
{
    return security::Certificate::createWithPEM(pair.certificatePEM);
}

security::TrustPtr chain(std::vector<const TestKeyPair*> pairs)
{
    std::vector<security::CertificatePtr> certificates;
    for (const auto* pair : pairs)
        certificates.push_back(certificate(*pair));
    return security::Trust::createWithCertificates(certificates, security::Policy::basicX509());
}

} // namespace

TEST(NKSecurityPolicy, AcceptsAndRefusesTheRightChains)
{
    const auto& pki = TestPKI::shared();
    struct Case {
        const char* name;
        NKSSLPinningMode mode;
        std::vector<const TestKeyPair*> pinned;
        bool allowInvalid;
        bool validatesDomain;
        std::vector<const TestKeyPair*> served;
        std::optional<std::string> domain;
        bool accepted;
    };
    const Case cases[] = {
        { "default, valid chain for the host", NKSSLPinningMode::None, {}, false, true, { &pki.server }, "127.0.0.1", true },
        { "default, other host", NKSSLPinningMode::None, {}, false, true, { &pki.otherHost }, "127.0.0.1", false },
        { "default, self-signed", NKSSLPinningMode::None, {}, false, true, { &pki.selfSigned }, "127.0.0.1", false },
        { "invalid allowed without pinning, with a domain", NKSSLPinningMode::None, {}, true, true, { &pki.selfSigned }, "127.0.0.1", false },
        { "invalid allowed without pinning, no domain", NKSSLPinningMode::None, {}, true, true, { &pki.selfSigned }, std::nullopt, true },
        { "certificate pinning, leaf pinned", NKSSLPinningMode::Certificate, { &pki.selfSigned }, true, true, { &pki.selfSigned }, "127.0.0.1", true },
        { "certificate pinning, CA pinned", NKSSLPinningMode::Certificate, { &pki.ca }, false, true, { &pki.server, &pki.ca }, "127.0.0.1", true },
        { "certificate pinning, nothing pinned matches", NKSSLPinningMode::Certificate, { &pki.otherCA }, false, true, { &pki.server, &pki.ca }, "127.0.0.1", false },
        { "key pinning, re-issued certificate", NKSSLPinningMode::PublicKey, { &pki.serverReissued }, false, true, { &pki.server }, "127.0.0.1", true },
        { "key pinning, other key", NKSSLPinningMode::PublicKey, { &pki.otherHost }, false, true, { &pki.server }, "127.0.0.1", false },
        // A chain that merely carries a pinned certificate is not the pinned server.
        { "key pinning, pinned certificate tacked on", NKSSLPinningMode::PublicKey, { &pki.selfSigned }, true, false, { &pki.otherHost, &pki.selfSigned },
          std::nullopt, false },
        { "key pinning, chain up to a pinned anchor", NKSSLPinningMode::PublicKey, { &pki.ca }, true, true, { &pki.server, &pki.ca }, "127.0.0.1", true },
        // Pinning narrows what is trusted; it never widens it: unless invalid certificates are
        // allowed, a pinned leaf still needs a valid chain issued for the host.
        { "key pinning, pinned leaf on an invalid chain", NKSSLPinningMode::PublicKey, { &pki.selfSigned }, false, true, { &pki.selfSigned }, "127.0.0.1", false },
        { "key pinning, pinned leaf for another host name", NKSSLPinningMode::PublicKey, { &pki.otherHost }, false, true, { &pki.otherHost, &pki.ca }, "127.0.0.1",
          false },
        { "certificate pinning, pinned leaf on an invalid chain", NKSSLPinningMode::Certificate, { &pki.selfSigned }, false, true, { &pki.selfSigned }, "127.0.0.1",
          false },
        { "certificate pinning, pinned leaf for another host name", NKSSLPinningMode::Certificate, { &pki.otherHost }, false, true, { &pki.otherHost, &pki.ca },
          "127.0.0.1", false },
    };
    security::Trust::setSystemRootsForTesting({ certificate(pki.ca) });
    for (const Case& c : cases) {
        auto policy = NKSecurityPolicy::defaultPolicy();
        policy->setSSLPinningMode(c.mode);
        std::vector<foundation::Data> pinned;
        for (const auto* pair : c.pinned)
            pinned.push_back(pair->certificateDER());
        policy->setPinnedCertificates(pinned);
        policy->setAllowInvalidCertificates(c.allowInvalid);
        policy->setValidatesDomainName(c.validatesDomain);
        EXPECT_EQ(policy->evaluateServerTrust(chain(c.served), c.domain), c.accepted) << c.name;
    }
    security::Trust::setSystemRootsForTesting({});
}

TEST(NKSecurityPolicy, PinnedCertificatesDropDuplicatesAndYieldTheirKeys)
{
    const auto& pki = TestPKI::shared();
    auto policy = NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode::PublicKey);
    policy->setPinnedCertificates(std::vector<foundation::Data> { pki.server.certificateDER(), pki.server.certificateDER(),
                                                                  foundation::Data { 1, 2, 3 }, pki.otherHost.certificateDER() });
    EXPECT_EQ(policy->pinnedCertificates()->size(), 3u);
    ASSERT_EQ(policy->pinnedPublicKeys()->size(), 2u);
    EXPECT_EQ(policy->pinnedPublicKeys()->front(), certificate(pki.server)->publicKeyData());
    policy->setPinnedCertificates(std::nullopt);
    EXPECT_FALSE(policy->pinnedPublicKeys());
    EXPECT_FALSE(NKSecKeyGetData(std::nullopt));
}

TEST(NKNetworkReachabilityManager, StatusFollowsTheFlags)
{
    using namespace net;
    struct Case {
        ReachabilityFlags flags;
        NKNetworkReachabilityStatus status;
    };
    const Case cases[] = {
        { 0, NKNetworkReachabilityStatusNotReachable },
        { kSCNetworkReachabilityFlagsReachable, NKNetworkReachabilityStatusReachableViaWiFi },
        { kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsConnectionRequired, NKNetworkReachabilityStatusNotReachable },
        { kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsConnectionRequired | kSCNetworkReachabilityFlagsConnectionOnDemand,
          NKNetworkReachabilityStatusReachableViaWiFi },
        { kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsConnectionRequired | kSCNetworkReachabilityFlagsConnectionOnTraffic,
          NKNetworkReachabilityStatusReachableViaWiFi },
        { kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsConnectionRequired | kSCNetworkReachabilityFlagsConnectionOnDemand
              | kSCNetworkReachabilityFlagsInterventionRequired,
          NKNetworkReachabilityStatusNotReachable },
    };
    for (const Case& c : cases)
        EXPECT_EQ(NKNetworkReachabilityStatusForFlags(c.flags), c.status) << c.flags;
    EXPECT_EQ(NKStringFromNetworkReachabilityStatus(-1), "Unknown");
    EXPECT_EQ(NKStringFromNetworkReachabilityStatus(2), "Reachable via WiFi");
}

TEST(NKNetworkReachabilityManager, ReportsChangesOfAnInjectedFlagSource)
{
    std::atomic<net::ReachabilityFlags> flags = net::kSCNetworkReachabilityFlagsReachable;
    net::Reachability::setFlagSource([&](const std::string& host) {
        EXPECT_EQ(host, "api.example.com");
        return flags.load();
    });
    auto manager = NKNetworkReachabilityManager::managerForDomain("api.example.com");
    EXPECT_EQ(manager->networkReachabilityStatus(), NKNetworkReachabilityStatusUnknown);
    EXPECT_FALSE(manager->isReachable());

    std::vector<NKNetworkReachabilityStatus> reported;
    std::vector<long> posted;
    int reachableChanges = 0;
    auto token = manager->addObserver("reachable", {}, [&](const auto&) { ++reachableChanges; });
    auto observation = foundation::NotificationCenter::defaultCenter().addObserver(
        NetKitReachabilityDidChangeNotification, nullptr, nullptr, [&](const foundation::Notification& n) {
            EXPECT_EQ(n.object, nullptr);
            posted.push_back(*n.userInfoValue<long>(NetKitReachabilityNotificationStatusItem));
        });
    manager->setReachabilityStatusChangeBlock([&](NKNetworkReachabilityStatus status) { reported.push_back(status); });
    manager->startMonitoring();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return posted.size() == 1; }, 10));
    EXPECT_TRUE(manager->isReachable());

    flags = 0;
    net::Reachability::networkConfigurationDidChange();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return posted.size() == 2; }, 10));
    EXPECT_EQ(reported, (std::vector<NKNetworkReachabilityStatus> { NKNetworkReachabilityStatusReachableViaWiFi,
                                                                     NKNetworkReachabilityStatusNotReachable }));
    EXPECT_EQ(posted, (std::vector<long> { 2, 0 }));
    EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Not Reachable");
    EXPECT_GE(reachableChanges, 2);
    manager->stopMonitoring();
    net::Reachability::setFlagSource(nullptr);
}
