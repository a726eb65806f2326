#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsAuthenticationProvider.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsTransmissionTarget.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

// Keeps the requests it is asked for; the test answers them.
struct TokenSource : BCNAnalyticsAuthenticationProviderDelegate {
    std::vector<BCNAcquireTokenCompletionBlock> requests;
    void authenticationProviderAcquireToken(BCNAnalyticsAuthenticationProvider&, BCNAcquireTokenCompletionBlock completion) override
    {
        requests.push_back(std::move(completion));
    }
};

const foundation::Date kNow = foundation::Date::dateWithTimeIntervalSince1970(1700000000.7);

} // namespace

TEST_F(TelemetryTest, TheProviderAsksOnceAtATimeAndStoresTheTicketOfTheCurrentAnswer)
{
    BCNTicketCache::sharedInstance().clearCache();
    auto source = std::make_shared<TokenSource>();
    auto provider = BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationTypeDelegate, "ticket-key", source);
    const std::string hash = BCNUtility::sha256("ticket-key");
    EXPECT_EQ(provider->ticketKeyHash(), std::optional<std::string>(hash));

    provider->acquireTokenAsync();
    provider->acquireTokenAsync();
    ASSERT_EQ(source->requests.size(), 1u);
    source->requests[0]("first", kNow);
    EXPECT_EQ(BCNTicketCache::sharedInstance().ticketFor(hash), std::optional<std::string>("d:first"));
    EXPECT_EQ(provider->expiryDate(), std::optional<foundation::Date>(kNow));

    // A late duplicate of the answered request changes nothing.
    source->requests[0]("stale", kNow);
    EXPECT_EQ(BCNTicketCache::sharedInstance().ticketFor(hash), std::optional<std::string>("d:first"));

    struct Case {
        std::optional<std::string> token;
        std::optional<foundation::Date> expiry;
        const char* error;
    };
    for (const auto& c : std::vector<Case> { { std::nullopt, kNow, "Token must not be null" }, { "token", std::nullopt, "Date must not be null" } }) {
        provider->acquireTokenAsync();
        source->requests.back()(c.token, c.expiry);
        EXPECT_TRUE(logged(BCNLogLevelError, c.error));
        EXPECT_EQ(BCNTicketCache::sharedInstance().ticketFor(hash), std::optional<std::string>("d:first"));
    }
    EXPECT_EQ(source->requests.size(), 3u);

    auto compact = BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationTypeCompact, "other-key", source);
    compact->acquireTokenAsync();
    source->requests.back()("second", kNow);
    EXPECT_EQ(BCNTicketCache::sharedInstance().ticketFor(BCNUtility::sha256("other-key")), std::optional<std::string>("p:second"));

    auto orphan = BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationTypeCompact, "key", std::weak_ptr<TokenSource>());
    orphan->acquireTokenAsync();
    EXPECT_TRUE(logged(BCNLogLevelError, "No completionhandler to acquire token has been set."));
    BCNTicketCache::sharedInstance().clearCache();
}

TEST_F(TelemetryTest, ATokenIsRenewedWithinTenMinutesOfItsExpiry)
{
    auto source = std::make_shared<TokenSource>();
    auto provider = BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationTypeCompact, "key", source);
    provider->checkTokenExpiryAt(kNow);
    EXPECT_TRUE(source->requests.empty()) << "no token yet, nothing to renew";

    struct Case {
        double secondsLeft;
        bool renews;
    };
    for (const auto& c : std::vector<Case> { { 601, false }, { 600, true }, { 599, true }, { -5, true } }) {
        source->requests.clear();
        provider->acquireTokenAsync();
        ASSERT_EQ(source->requests.size(), 1u);
        source->requests[0]("token", foundation::Date::dateWithTimeIntervalSince1970(1700000000 + c.secondsLeft));
        source->requests.clear();
        provider->checkTokenExpiryAt(kNow);
        EXPECT_EQ(source->requests.size(), c.renews ? 1u : 0u) << c.secondsLeft;
        if (!source->requests.empty())
            source->requests[0]("token", kNow); // back to idle for the next case
    }
    BCNTicketCache::sharedInstance().clearCache();
}

TEST_F(TelemetryTest, CollectorLogsOfAnEnabledTargetNameTheProvidersTicket)
{
    BCNBeacon::start("secret", bothServices());
    BCNAnalyticsTransmissionTarget::addAuthenticationProvider(nullptr);
    EXPECT_TRUE(logged(BCNLogLevelError, "Authentication provider may not be null."));
    auto source = std::make_shared<TokenSource>();
    auto provider = BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationTypeCompact, "key", source);
    BCNAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
    EXPECT_EQ(BCNAnalyticsTransmissionTarget::authenticationProvider(), provider);
    ASSERT_EQ(source->requests.size(), 1u) << "adding asks for a token at once";

    auto target = BCNAnalytics::transmissionTargetForToken("mine-token");
    auto stranger = std::make_shared<BCNCommonSchemaLog>();
    stranger->addTransmissionTargetToken("other-token");
    target->channelPrepareLog(nullptr, stranger);
    EXPECT_FALSE(stranger->ext && stranger->ext->protocolExt);

    auto mine = std::make_shared<BCNCommonSchemaLog>();
    mine->addTransmissionTargetToken("mine-token");
    target->channelPrepareLog(nullptr, mine);
    ASSERT_TRUE(mine->ext && mine->ext->protocolExt);
    EXPECT_EQ(mine->ext->protocolExt->ticketKeys, (std::optional<std::vector<std::string>>({ BCNUtility::sha256("key") })));

    target->setEnabled(false);
    auto off = std::make_shared<BCNCommonSchemaLog>();
    off->addTransmissionTargetToken("mine-token");
    target->channelPrepareLog(nullptr, off);
    EXPECT_FALSE(off->ext && off->ext->protocolExt);
    BCNAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
    BCNTicketCache::sharedInstance().clearCache();
}
