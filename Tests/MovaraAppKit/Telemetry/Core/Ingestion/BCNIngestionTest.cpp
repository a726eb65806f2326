#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/JSON.h"

namespace {

// Records what an ingestion asks of its HTTP client and answers nothing.
struct RecordingClient : BCNHttpClientProtocol {
    std::vector<foundation::URL> urls;
    std::vector<net::HTTPHeaderFields> headers;
    std::vector<std::string> bodies;
    void sendAsync(const foundation::URL& url, const std::string&, const net::HTTPHeaderFields& h, const std::optional<foundation::Data>& data,
                   const std::vector<double>&, bool, BCNHttpCompletionHandler) override
    {
        urls.push_back(url);
        headers.push_back(h);
        bodies.push_back(data ? std::string(data->begin(), data->end()) : std::string());
    }
    void pause() override { }
    void resume() override { }
    void setEnabled(bool) override { }
    void setDelegate(std::weak_ptr<BCNHttpClientDelegate>) override { }
};

} // namespace

using BCNIngestionTest = TelemetryTest;

TEST_F(BCNIngestionTest, TheLogIngestionAddressesItsEndpointAndKeepsThePathWhenTheHostChanges)
{
    auto client = std::make_shared<RecordingClient>();
    auto ingestion = BCNBeaconIngestion::init(client, "https://in.example.com", "INSTALL");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "https://in.example.com/logs?api-version=1.0.0");
    ingestion->setBaseURL("http://127.0.0.1:8080");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:8080/logs?api-version=1.0.0");
    ingestion->setBaseURL("not a url");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:8080/logs?api-version=1.0.0");
    EXPECT_EQ(BCNHttpIngestion::buildURL("https://h/", "/logs", { { "q", "a b&c=d" } })->absoluteString(), "https://h//logs?q=a%20b&c=d");

    EXPECT_FALSE(ingestion->isReadyToSend());
    ingestion->setAppSecret("0d3c4f1e-aaaa-bbbb-cccc-123456789abc");
    auto container = std::make_shared<BCNLogContainer>("b1", std::vector<BCNLogPtr> { validLog() });
    ingestion->sendAsync(container, nullptr);
    ASSERT_EQ(client->headers.size(), 1u);
    const auto& headers = client->headers[0];
    EXPECT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers.at("App-Secret"), "0d3c4f1e-aaaa-bbbb-cccc-123456789abc");
    EXPECT_EQ(headers.at("Install-ID"), "INSTALL");
    EXPECT_EQ(foundation::parseJSON(client->bodies[0])["logs"].size(), 1u);

    BCNLogger::setCurrentLogLevel(BCNLogLevelVerbose);
    ingestion->willSendHTTPRequestToURL(client->urls[0], headers);
    const auto printed = linesAt(BCNLogLevelVerbose);
    ASSERT_FALSE(printed.empty());
    EXPECT_NE(printed.back().find("App-Secret = " + std::string(28, '*') + "56789abc"), std::string::npos) << printed.back();
}

TEST_F(BCNIngestionTest, InvalidContainersAndDisabledIngestionsAnswerAtOnce)
{
    auto client = std::make_shared<RecordingClient>();
    auto ingestion = BCNBeaconIngestion::init(client, "https://in.example.com", "INSTALL");
    ingestion->setAppSecret("secret");
    std::vector<std::pair<std::string, long>> answers;
    auto record = [&](const std::string& id, const auto&, const auto&, const foundation::ErrorPtr& error) {
        answers.emplace_back(id, error ? error->code() : 0);
    };
    ingestion->sendAsync(std::make_shared<BCNLogContainer>("empty", std::vector<BCNLogPtr> {}), record);
    ingestion->setEnabled(false, false);
    ingestion->sendAsync(std::make_shared<BCNLogContainer>("while disabled", std::vector<BCNLogPtr> { validLog() }), record);
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, long>> { { "empty", 1 }, { "while disabled", 2 } }));
    EXPECT_TRUE(client->urls.empty());
    EXPECT_TRUE(logged(BCNLogLevelError, "Invalid log container."));
}

TEST_F(BCNIngestionTest, CollectorRequestsCarryTokensTicketsAndOneLinePerLog)
{
    auto client = std::make_shared<RecordingClient>();
    auto ingestion = BCNCollectorIngestion::init(client, "https://collector.example.com");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "https://collector.example.com/Collector/1.0");
    BCNTicketCache::sharedInstance().setTicket("p:ticket-token", "ticketKey");
    std::vector<BCNLogPtr> logs;
    for (const char* token : { "a-1", "a-1", "b-2" }) {
        auto log = validLog<BCNCommonSchemaLog>();
        log->ver = "3.0";
        log->name = "n.a.m.e";
        log->addTransmissionTargetToken(token);
        log->ext = std::make_shared<BCNCSExtensions>();
        log->ext->protocolExt = std::make_shared<BCNProtocolExtension>();
        log->ext->protocolExt->ticketKeys = std::vector<std::string> { "ticketKey", "unknownKey" };
        logs.push_back(log);
    }
    ingestion->sendAsync(std::make_shared<BCNLogContainer>("b", logs), nullptr);
    ASSERT_EQ(client->bodies.size(), 1u);
    EXPECT_EQ(std::count(client->bodies[0].begin(), client->bodies[0].end(), '\n'), 3);
    EXPECT_EQ(client->bodies[0].back(), '\n');
    const auto& headers = client->headers[0];
    EXPECT_EQ(headers.at("apikey"), "a-1,b-2");
    EXPECT_EQ(headers.at("Tickets"), R"({"ticketKey":"p:ticket-token"})");
    EXPECT_EQ(BCNCollectorIngestion::obfuscateTickets(headers.at("Tickets")), R"({"ticketKey":"p:***"})");
    EXPECT_EQ(BCNCollectorIngestion::obfuscateTargetTokens("0123456789,abc"), "**23456789,***");
    BCNTicketCache::sharedInstance().setTicket(std::nullopt, "ticketKey");
    EXPECT_FALSE(BCNTicketCache::sharedInstance().ticketFor("ticketKey"));
}
