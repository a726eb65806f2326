#include <gtest/gtest.h>

#include "MovaraKit/HTTP/NKHTTPRequestOperationManager.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

using foundation::Data;
using foundation::URL;
using foundation::Value;
using testsupport::TestPKI;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

net::URLRequest requestFor(const std::string& url)
{
    return net::URLRequest(*URL::URLWithString(url));
}

struct Result {
    bool done = false;
    std::any object;
    foundation::ErrorPtr error;
};

void report(const std::shared_ptr<NKHTTPRequestOperation>& operation, Result& result)
{
    operation->setCompletionBlockWithSuccess(
        [&result](const auto&, const std::any& object) {
            result.object = object;
            result.done = true;
        },
        [&result](const auto&, const foundation::ErrorPtr& error) {
            result.error = error;
            result.done = true;
        });
}

std::string text(const std::any& object)
{
    const auto* data = std::any_cast<Data>(&object);
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

} // namespace

TEST(NKHTTPRequestOperation, PausedDownloadsResumeWithARangeAndNeverDuplicateBytes)
{
    const std::string content = std::string(30000, 'x') + std::string(30000, 'y');
    for (bool honourRanges : { true, false }) {
        testsupport::LocalServer server;
        std::atomic<int> requests = 0;
        std::string seenRange;
        std::string seenIfRange;
        server.server().Get("/big", [&](const httplib::Request& req, httplib::Response& res) {
            res.set_header("ETag", "\"e1\"");
            if (requests++ == 0) {
                res.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
                    sink.write(content.data(), 30000);
                    server.holdRequest();
                    sink.done();
                    return true;
                });
                return;
            }
            seenRange = req.get_header_value("Range");
            seenIfRange = req.get_header_value("If-Range");
            if (honourRanges) {
                res.set_content(content, "application/octet-stream");
                return;
            }
            res.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
                sink.write(content.data(), content.size());
                sink.done();
                return true;
            });
        });
        if (!honourRanges) {
            // A server that ignores ranges: the server library would otherwise cut the body itself.
            server.server().set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
                const_cast<httplib::Request&>(req).ranges.clear();
                return httplib::Server::HandlerResponse::Unhandled;
            });
        }
        server.start();

        auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(server.url("/big")));
        Result result;
        report(operation, result);
        std::int64_t lastTotal = 0;
        operation->setDownloadProgressBlock([&](std::int64_t, std::int64_t total, std::int64_t) { lastTotal = total; });
        operation->start();
        ASSERT_TRUE(waitFor([&] { return lastTotal >= 30000; }));
        operation->pause();
        EXPECT_TRUE(operation->isPaused());
        EXPECT_EQ(operation->request().valueForHTTPHeaderField("Range"), "bytes=30000-");
        server.releaseHeldRequests();
        operation->resume();
        ASSERT_TRUE(waitFor([&] { return result.done; })) << honourRanges;
        ASSERT_FALSE(result.error) << result.error->localizedDescription();
        EXPECT_EQ(seenRange, "bytes=30000-");
        EXPECT_EQ(seenIfRange, "\"e1\"");
        EXPECT_EQ(operation->response()->statusCode(), honourRanges ? 206 : 200);
        const std::string body = text(result.object);
        EXPECT_EQ(body.size(), content.size()) << honourRanges;
        EXPECT_TRUE(body == content) << honourRanges;
    }
}

TEST(NKHTTPRequestOperation, ServerTrustFollowsTheSecurityPolicyAndRedirectsTheBlock)
{
    testsupport::TempDir dir;
    const auto& pki = TestPKI::shared();
    testsupport::LocalServer server(dir.write("c.pem", pki.selfSigned.certificatePEM).string(), dir.write("k.pem", pki.selfSigned.keyPEM).string());
    server.server().Get("/old", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/new"); });
    server.server().Get("/new", [](const httplib::Request&, httplib::Response& res) { res.set_content("new", "text/plain"); });
    server.server().Get("/other", [](const httplib::Request&, httplib::Response& res) { res.set_content("other", "text/plain"); });
    server.start();

    struct Case {
        const char* name;
        bool pinned;
        bool rewrite;
        std::string body;
        long error;
    };
    const Case cases[] = {
        { "self-signed under the default policy", false, false, "<none>", net::NSURLErrorCancelled },
        { "pinned certificate", true, false, "new", 0 },
        { "redirect rewritten", true, true, "other", 0 },
    };
    for (const Case& c : cases) {
        auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(server.url("/old")));
        if (c.pinned) {
            auto policy = NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode::Certificate);
            policy->setPinnedCertificates(std::vector<Data> { pki.selfSigned.certificateDER() });
            // A self-signed chain is invalid to the system: pinning it means allowing that.
            policy->setAllowInvalidCertificates(true);
            operation->setSecurityPolicy(policy);
        }
        if (c.rewrite) {
            operation->setRedirectResponseBlock([&](const net::URLRequest&, const net::HTTPURLResponse& response) {
                EXPECT_EQ(response.statusCode(), 302);
                return std::optional<net::URLRequest>(requestFor(server.url("/other")));
            });
        }
        Result result;
        report(operation, result);
        operation->start();
        ASSERT_TRUE(waitFor([&] { return result.done; })) << c.name;
        EXPECT_EQ(text(result.object), c.body) << c.name;
        EXPECT_EQ(result.error ? result.error->code() : 0, c.error) << c.name;
    }
}

TEST(NKHTTPRequestOperation, BatchesReportProgressAndCompleteOnce)
{
    testsupport::LocalServer server;
    server.server().Get("/n", [](const httplib::Request&, httplib::Response& res) { res.set_content("n", "text/plain"); });
    server.start();
    auto queue = foundation::OperationQueue::init();

    std::vector<std::string> events;
    std::vector<std::shared_ptr<NKURLConnectionOperation>> operations;
    for (int i = 0; i < 3; ++i) {
        auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(server.url("/n")));
        operation->setCompletionBlockWithSuccess([&events](const auto&, const std::any&) { events.push_back("done"); }, nullptr);
        operations.push_back(operation);
    }
    bool completed = false;
    auto batch = NKURLConnectionOperation::batchOfRequestOperations(
        operations, [&](std::size_t finished, std::size_t total) { events.push_back(std::to_string(finished) + "/" + std::to_string(total)); },
        [&](const auto& finished) {
            EXPECT_EQ(finished.size(), 3u);
            completed = true;
        });
    ASSERT_EQ(batch.size(), 4u);
    queue->addOperations(batch, false);
    ASSERT_TRUE(waitFor([&] { return completed && std::count(events.begin(), events.end(), "done") == 3; }));
    std::vector<std::string> progress;
    std::copy_if(events.begin(), events.end(), std::back_inserter(progress), [](const auto& e) { return e != "done"; });
    EXPECT_EQ(progress, (std::vector<std::string> { "1/3", "2/3", "3/3" }));

    bool emptyCompleted = false;
    auto empty = NKURLConnectionOperation::batchOfRequestOperations({}, nullptr, [&](const auto& finished) {
        EXPECT_TRUE(finished.empty());
        emptyCompleted = true;
    });
    ASSERT_EQ(empty.size(), 1u);
    queue->addOperations(empty, false);
    ASSERT_TRUE(waitFor([&] { return emptyCompleted; }));
}

TEST(NKHTTPRequestOperationManager, QueuesConfiguredOperationsAndReportsRefusedRequests)
{
    testsupport::LocalServer server;
    server.server().Get("/api/v", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("{\"q\":\"" + req.get_param_value("q") + "\"}", "application/json");
    });
    server.start();
    auto manager = NKHTTPRequestOperationManager::initWithBaseURL(*URL::URLWithString(server.url("/api")));
    EXPECT_EQ(manager->baseURL()->absoluteString(), server.url("/api/"));
    auto credential = net::URLCredential::credentialForTrust(nullptr);
    manager->setCredential(credential);

    Result result;
    auto operation = manager->GET("v", Value::dictionary({ { "q", "1" } }),
                                  [&](const auto&, const std::any& object) {
                                      result.object = object;
                                      result.done = true;
                                  },
                                  nullptr);
    ASSERT_TRUE(operation);
    EXPECT_EQ(operation->credential(), credential);
    EXPECT_EQ(operation->securityPolicy(), manager->securityPolicy());
    ASSERT_TRUE(waitFor([&] { return result.done; }));
    EXPECT_EQ(std::any_cast<Value>(result.object), Value::dictionary({ { "q", "1" } }));

    auto unqueued = manager->HTTPRequestOperationWithRequest(requestFor(server.url("/api/v")), nullptr, nullptr);
    EXPECT_EQ(unqueued->state(), NKOperationReadyState);
    EXPECT_FALSE(unqueued->isExecuting());

    manager->requestSerializer()->setQueryStringSerializationWithBlock([](const net::URLRequest&, const Value&, foundation::ErrorPtr* error) {
        *error = foundation::Error::make("test", 4, "no");
        return std::optional<std::string>();
    });
    Result refused;
    EXPECT_FALSE(manager->GET("v", Value::dictionary(), nullptr, [&](const auto& op, const foundation::ErrorPtr& error) {
        EXPECT_FALSE(op);
        refused.error = error;
        refused.done = true;
    }));
    ASSERT_TRUE(waitFor([&] { return refused.done; }));
    EXPECT_EQ(refused.error->code(), 4);
}
