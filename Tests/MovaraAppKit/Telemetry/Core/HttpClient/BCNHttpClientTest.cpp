#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"
#include <cmath>

#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpClient.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCN_Reachability.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNCompression.h"
#include "Platform/Dispatch/Clock.h"
#include "Tests/MovaraAppKit/Telemetry/IngestionServer.h"

namespace {

// A route to the internet the test switches by hand.
class SwitchedReachability : public BCN_Reachability {
public:
    static std::shared_ptr<SwitchedReachability> make() { return std::shared_ptr<SwitchedReachability>(new SwitchedReachability()); }
    void startNotifier() override { }
    void stopNotifier() override { }
    NetworkStatus currentReachabilityStatus() const override { return up ? Reachable : NotReachable; }
    void set(bool isUp)
    {
        up = isUp;
        postChange();
    }
    std::atomic<bool> up = true;

private:
    SwitchedReachability() = default;
};

struct Outcome {
    std::mutex mutex;
    int calls = 0;
    long status = -1;
    foundation::ErrorPtr error;

    BCNHttpCompletionHandler handler()
    {
        return [this](const auto&, const std::optional<net::HTTPURLResponse>& response, const foundation::ErrorPtr& e) {
            std::lock_guard lock(mutex);
            ++calls;
            status = response ? response->statusCode() : 0;
            error = e;
        };
    }
    int count()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
};

} // namespace

class BCNHttpClientTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::Clock::setVirtual(true);
        client = BCNHttpClient::initWithReachability(reachability);
    }
    void TearDown() override
    {
        client.reset();
        server.releaseHeldRequests();
        dispatch::Clock::setVirtual(false);
        TelemetryTest::TearDown();
    }
    void send(Outcome& outcome, std::vector<double> intervals = { 10, 300, 1200 }, std::string body = "{}")
    {
        client->sendAsync(*foundation::URL::URLWithString(server.baseURL() + "/logs"), "POST", {}, foundation::Data(body.begin(), body.end()),
                          intervals, true, outcome.handler());
    }
    bool retryScheduled(std::size_t count) { return waitFor([&] { return countStartingWith(BCNLogLevelWarning, "Call attempt #") >= count; }); }

    telemetrytest::IngestionServer server;
    std::shared_ptr<SwitchedReachability> reachability = SwitchedReachability::make();
    std::shared_ptr<BCNHttpClient> client;
};

TEST_F(BCNHttpClientTest, RetriesOnTheServersScheduleOrItsOwn)
{
    server.script({ { 503, "1500" }, { 503, "soon" }, { 200 } });
    Outcome outcome;
    send(outcome);
    ASSERT_TRUE(retryScheduled(1));
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Call attempt #0 failed with status code: 503, it will be retried in 1500 ms."));
    dispatch::Clock::advance(1.4);
    EXPECT_EQ(server.requestCount(), 1u);
    dispatch::Clock::advance(0.1);
    ASSERT_TRUE(retryScheduled(2));
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelWarning, "Call attempt #1 failed with status code: 503, it will be retried in "));
    dispatch::Clock::advance(300); // a value that is no number: the call's own delay, under 300 s
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(client->pendingCallCount(), 0u);
}

TEST_F(BCNHttpClientTest, RunningOutOfRetriesPausesOnlyForAWhile)
{
    server.script({ { 503 }, { 503 }, { 503 } });
    Outcome outcome;
    send(outcome, { 1, 1 });
    for (std::size_t i = 1; i <= 2; ++i) {
        ASSERT_TRUE(retryScheduled(i));
        dispatch::Clock::advance(1);
    }
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
    EXPECT_EQ(outcome.status, 503) << "the last answer reaches the caller";
    EXPECT_TRUE(client->isPaused());

    Outcome later;
    send(later, { 1 });
    EXPECT_EQ(server.requestCount(), 3u) << "a paused client holds new requests";
    dispatch::Clock::advance(1);
    EXPECT_FALSE(client->isPaused()) << "it resumes after the longest retry interval";
    ASSERT_TRUE(waitFor([&] { return later.count() == 1; }));
    EXPECT_EQ(later.status, 200);
}

TEST_F(BCNHttpClientTest, AnUnrecoverableAnswerDisablesTheClientAndCancelsWhatWaits)
{
    server.script({ { 401, std::nullopt, true } });
    Outcome refused, waiting, afterwards;
    send(refused);
    ASSERT_TRUE(server.waitForHeldRequest());
    client->pause();
    send(waiting);
    server.releaseHeldRequests();
    ASSERT_TRUE(waitFor([&] { return refused.count() == 1 && waiting.count() == 1; }));
    EXPECT_EQ(refused.status, 401);
    ASSERT_TRUE(waiting.error);
    EXPECT_EQ(waiting.error->code(), 2);
    EXPECT_EQ(waiting.error->localizedDescription(), "The operation was canceled.");
    send(afterwards);
    ASSERT_EQ(afterwards.count(), 1) << "answered at once";
    EXPECT_EQ(afterwards.error->code(), 3);
    EXPECT_EQ(afterwards.error->localizedDescription(), "The service is disabled.");
}

TEST_F(BCNHttpClientTest, CallsWaitForTheNetworkAndGoOutOnceWhenItReturns)
{
    reachability->set(false);
    EXPECT_TRUE(client->isPaused());
    Outcome outcome;
    send(outcome);
    reachability->set(false);
    EXPECT_EQ(server.requestCount(), 0u);
    reachability->set(true);
    reachability->set(true);
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_TRUE(logged(BCNLogLevelInfo, "Internet connection is down."));
}

TEST_F(BCNHttpClientTest, ASlowAnswerTimesOutWithAnError)
{
    server.script({ { 200, std::nullopt, true } });
    client->setRequestTimeout(0.2);
    Outcome outcome;
    send(outcome);
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), -1001);
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(BCNHttpClientTest, ANewSessionConfigurationLetsTheRequestOnTheWireFinish)
{
    server.script({ { 200, std::nullopt, true }, { 200 } });
    Outcome first;
    send(first);
    ASSERT_TRUE(server.waitForHeldRequest());
    client->setRequestTimeout(30);
    EXPECT_EQ(client->sessionConfiguration().timeoutIntervalForRequest(), 30);
    Outcome second;
    send(second);
    ASSERT_TRUE(waitFor([&] { return second.count() == 1; }));
    server.releaseHeldRequests();
    ASSERT_TRUE(waitFor([&] { return first.count() == 1; }));
    EXPECT_EQ(first.status, 200) << "the session it went out on was not cancelled";
    EXPECT_FALSE(first.error);
}

TEST_F(BCNHttpClientTest, AClientGoneWithARequestOnTheWireLetsItFinishQuietly)
{
    server.script({ { 200, std::nullopt, true } });
    Outcome outcome;
    send(outcome);
    ASSERT_TRUE(server.waitForHeldRequest());
    client.reset();
    server.releaseHeldRequests();
    // A request that comes after tells that the server is done with the first one.
    Outcome other;
    auto another = BCNHttpClient::initWithReachability(nullptr);
    another->sendAsync(*foundation::URL::URLWithString(server.baseURL() + "/logs"), "POST", {}, foundation::Data(2, '{'), { 10 }, true,
                       other.handler());
    ASSERT_TRUE(waitFor([&] { return other.count() == 1; }));
    EXPECT_EQ(outcome.count(), 0) << "nobody is left to answer";
}

TEST(BCNHttpClientConfigurationTest, ConnectionsPerHostAreLimitedOnlyWhenAsked)
{
    const long platformDefault = net::URLSessionConfiguration::defaultSessionConfiguration().HTTPMaximumConnectionsPerHost();
    EXPECT_EQ(BCNHttpClient::initWithReachability(nullptr)->sessionConfiguration().HTTPMaximumConnectionsPerHost(), platformDefault);
    const auto limited = BCNHttpClient::initWithMaxHttpConnectionsPerHost(2, nullptr);
    EXPECT_EQ(limited->sessionConfiguration().HTTPMaximumConnectionsPerHost(), 2);
    EXPECT_TRUE(std::isfinite(limited->sessionConfiguration().timeoutIntervalForRequest()));
}

TEST(BCNHttpCallTest, BodiesFromTheThresholdGoCompressedAndJSONByDefault)
{
    const BCNHttpCompletionHandler none;
    const auto url = *foundation::URL::URLWithString("http://127.0.0.1/x");
    BCNHttpCall small(url, "POST", {}, foundation::Data(1399, 'a'), { 10 }, true, none);
    EXPECT_EQ(small.data()->size(), 1399u);
    EXPECT_FALSE(small.headers().contains("Content-Encoding"));
    EXPECT_EQ(small.headers().at("Content-Type"), "application/json");
    BCNHttpCall large(url, "POST", { { "Content-Type", "text/plain" } }, foundation::Data(1400, 'a'), { 10 }, true, none);
    EXPECT_LT(large.data()->size(), 1400u);
    EXPECT_EQ(large.headers().at("Content-Encoding"), "gzip");
    EXPECT_EQ(large.headers().at("Content-Type"), "text/plain");
    BCNHttpCall uncompressed(url, "POST", {}, foundation::Data(5000, 'a'), { 10 }, false, none);
    EXPECT_EQ(uncompressed.data()->size(), 5000u);
    BCNCompression::setCompressor([](const foundation::Data&) { return std::nullopt; });
    BCNHttpCall failed(url, "POST", {}, foundation::Data(1400, 'a'), { 10 }, true, none);
    BCNCompression::setCompressor(nullptr);
    EXPECT_EQ(failed.data()->size(), 1400u) << "a body that can't be compressed goes as it is";
    EXPECT_FALSE(failed.headers().contains("Content-Encoding"));
    BCNHttpCall empty(url, "GET", {}, std::nullopt, { 10 }, true, none);
    EXPECT_FALSE(empty.headers().contains("Content-Type"));

    BCNHttpCall retried(url, "POST", {}, std::nullopt, { 10, 300, 1200 }, true, none);
    for (int i = 0; i < 20; ++i) {
        const auto delay = retried.delayForRetryCount(0);
        EXPECT_GE(delay, 5000u);
        EXPECT_LT(delay, 10000u);
    }
    EXPECT_FALSE(retried.hasReachedMaxRetries());
}

TEST(BCNHttpUtilTest, StatusesErrorsAndSecrets)
{
    for (long status : { 0, 408, 429, 500, 503, 599 })
        EXPECT_TRUE(BCNHttpUtil::isRecoverableError(status)) << status;
    for (long status : { 200, 204, 400, 401, 403, 404, 413 })
        EXPECT_FALSE(BCNHttpUtil::isRecoverableError(status)) << status;
    EXPECT_TRUE(BCNHttpUtil::isSuccessStatusCode(299));
    EXPECT_FALSE(BCNHttpUtil::isSuccessStatusCode(300));
    auto urlError = [](long code) { return foundation::Error::make(foundation::NSURLErrorDomain, code); };
    EXPECT_TRUE(BCNHttpUtil::isSSLConnectionError(urlError(-1200)));
    EXPECT_TRUE(BCNHttpUtil::isSSLConnectionError(urlError(-2000)));
    EXPECT_FALSE(BCNHttpUtil::isSSLConnectionError(urlError(-1199)));
    EXPECT_FALSE(BCNHttpUtil::isSSLConnectionError(urlError(-2001)));
    EXPECT_TRUE(BCNHttpUtil::isNoInternetConnectionError(urlError(-1009)));
    EXPECT_TRUE(BCNHttpUtil::isNoInternetConnectionError(urlError(-1005)));
    EXPECT_FALSE(BCNHttpUtil::isNoInternetConnectionError(foundation::Error::make("other", -1009)));
    EXPECT_EQ(BCNHttpUtil::hideSecret("abc"), "***");
    EXPECT_EQ(BCNHttpUtil::hideSecret("0123456789"), "**23456789");
    EXPECT_EQ(BCNHttpUtil::hideSecret(std::string(36, 's')), std::string(28, '*') + std::string(8, 's'));
    EXPECT_EQ(BCNHttpUtil::hideSecretInString("key=0123456789;", "0123456789"), "key=**23456789;");
    for (unsigned flags : { 0x2u, 0x6u | 0x8u })
        EXPECT_EQ(BCN_Reachability::networkStatusForFlags(flags), BCN_Reachability::Reachable) << flags;
    for (unsigned flags : { 0x6u, 0x2u | 0x4u | 0x20u | 0x10u, 0x4u })
        EXPECT_EQ(BCN_Reachability::networkStatusForFlags(flags), BCN_Reachability::NotReachable) << flags;
}
