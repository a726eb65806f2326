#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "MovaraKit/HTTP/NKHTTPSessionManager.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

using foundation::URL;
using foundation::Value;
using testsupport::TempDir;
using testsupport::TestPKI;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

// An HTTPS server with the test authority's certificate for 127.0.0.1, trusted as a system root
// while it lives, and a manager on it that is invalidated (and waited for) at the end.
struct SecureServiceFixture {
    SecureServiceFixture()
        : certificate(dir.write("cert.pem", TestPKI::shared().server.certificatePEM).string())
        , key(dir.write("key.pem", TestPKI::shared().server.keyPEM).string())
        , server(certificate, key)
    {
        security::Trust::setSystemRootsForTesting({ security::Certificate::createWithPEM(TestPKI::shared().ca.certificatePEM) });
    }
    ~SecureServiceFixture()
    {
        for (auto& manager : managers) {
            bool invalid = false;
            manager->setSessionDidBecomeInvalidBlock([&invalid](net::URLSession&, const foundation::ErrorPtr&) { invalid = true; });
            manager->invalidateSessionCancelingTasks(true);
            EXPECT_TRUE(waitFor([&] { return invalid; }));
        }
        server.stop();
        security::Trust::setSystemRootsForTesting({});
    }
    std::shared_ptr<NKHTTPSessionManager> makeManager(const std::string& path = "/api")
    {
        auto manager = NKHTTPSessionManager::initWithBaseURL(*URL::URLWithString(server.url(path)));
        managers.push_back(manager);
        return manager;
    }

    TempDir dir;
    std::string certificate;
    std::string key;
    testsupport::LocalServer server;
    std::vector<std::shared_ptr<NKHTTPSessionManager>> managers;
};

struct Outcome {
    bool done = false;
    bool succeeded = false;
    bool onMain = false;
    std::any object;
    foundation::ErrorPtr error;
    std::shared_ptr<net::URLSessionDataTask> task;
};

NKHTTPSessionManager::Success succeed(Outcome& outcome)
{
    return [&outcome](const std::shared_ptr<net::URLSessionDataTask>& task, const std::any& object) {
        outcome = { true, true, dispatch::RunLoop::isMainThread(), object, nullptr, task };
    };
}

NKHTTPSessionManager::Failure fail(Outcome& outcome)
{
    return [&outcome](const std::shared_ptr<net::URLSessionDataTask>& task, const foundation::ErrorPtr& error) {
        outcome = { true, false, dispatch::RunLoop::isMainThread(), {}, error, task };
    };
}

} // namespace

TEST(NKHTTPSessionManager, BaseURLsGainATrailingSlashAndResolveRelativeStrings)
{
    struct Case {
        const char* base;
        const char* normalized;
        const char* relative;
        const char* resolved;
    };
    const Case cases[] = {
        { "https://h.example/api", "https://h.example/api/", "users/me", "https://h.example/api/users/me" },
        { "https://h.example/api/", "https://h.example/api/", "users/me", "https://h.example/api/users/me" },
        { "https://h.example", "https://h.example", "a/b", "https://h.example/a/b" },
        { "https://h.example/api", "https://h.example/api/", "https://other.example/x", "https://other.example/x" },
    };
    for (const Case& c : cases) {
        auto manager = NKHTTPSessionManager::initWithBaseURL(*URL::URLWithString(c.base));
        EXPECT_EQ(manager->baseURL()->absoluteString(), c.normalized) << c.base;
        EXPECT_EQ(manager->resolvedURLString(c.relative), c.resolved) << c.base;
        manager->invalidateSessionCancelingTasks(true);
    }
    // Let the invalidations run so that the managers go.
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
}

TEST(NKHTTPSessionManager, MethodsReportDecodedAnswersAndErrorsOnTheMainQueue)
{
    SecureServiceFixture fixture;
    fixture.server.server().Get("/api/users/me", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("{\"name\":\"" + req.get_param_value("who") + "\"}", "application/json");
    });
    fixture.server.server().Post("/api/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("{\"error\":\"nope\"}", "application/json");
    });
    fixture.server.server().Get("/api/page", [](const httplib::Request&, httplib::Response& res) { res.set_content("<html/>", "text/html"); });
    fixture.server.start();
    auto manager = fixture.makeManager();

    Outcome outcome;
    auto task = manager->GET("users/me", Value::dictionary({ { "who", "ann" } }), succeed(outcome), fail(outcome));
    ASSERT_TRUE(task);
    EXPECT_NE(task->state(), net::URLSessionTask::State::Suspended);
    ASSERT_TRUE(waitFor([&] { return outcome.done; }));
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_TRUE(outcome.onMain);
    EXPECT_EQ(outcome.task, task);
    EXPECT_EQ(std::any_cast<Value>(outcome.object), Value::dictionary({ { "name", "ann" } }));

    outcome = {};
    manager->POST("missing", std::nullopt, succeed(outcome), fail(outcome));
    ASSERT_TRUE(waitFor([&] { return outcome.done; }));
    ASSERT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.error->code(), -1011);

    outcome = {};
    manager->GET("page", std::nullopt, succeed(outcome), fail(outcome));
    ASSERT_TRUE(waitFor([&] { return outcome.done; }));
    EXPECT_EQ(outcome.error ? outcome.error->code() : 0, -1016);

    // A request the serializer refuses makes no task and fails later, once.
    outcome = {};
    manager->requestSerializer()->setQueryStringSerializationWithBlock([](const net::URLRequest&, const Value&, foundation::ErrorPtr* error) {
        *error = foundation::Error::make("test", 9, "refused");
        return std::optional<std::string>();
    });
    EXPECT_FALSE(manager->GET("users/me", Value::dictionary(), succeed(outcome), fail(outcome)));
    EXPECT_FALSE(outcome.done);
    ASSERT_TRUE(waitFor([&] { return outcome.done; }));
    EXPECT_EQ(outcome.error->code(), 9);
    EXPECT_FALSE(outcome.task);

    // The method-level builder hands back a suspended task.
    manager->requestSerializer()->setQueryStringSerializationWithStyle(0);
    auto suspended = manager->dataTaskWithHTTPMethod("GET", "users/me", std::nullopt, nullptr, nullptr);
    EXPECT_EQ(suspended->state(), net::URLSessionTask::State::Suspended);
    suspended->cancel();
}

TEST(NKURLSessionManager, CompletionHandlerRunsBeforeTheNotificationAndTaskNoticesStayWithTheirManager)
{
    SecureServiceFixture fixture;
    fixture.server.server().Get("/api/a", [](const httplib::Request&, httplib::Response& res) { res.set_content("[1]", "application/json"); });
    fixture.server.start();
    auto first = fixture.makeManager();
    auto second = fixture.makeManager();

    std::vector<std::string> events;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto resumed = center.addObserver(NetKitTaskDidResumeNotification, nullptr, nullptr, [&](const foundation::Notification& n) {
        events.push_back("resume " + n.objectAs<net::URLSessionTask>()->taskDescription());
    });
    auto completed = center.addObserver(NetKitTaskDidCompleteNotification, nullptr, nullptr, [&](const foundation::Notification& n) {
        EXPECT_TRUE(n.userInfoValue<std::shared_ptr<NKHTTPResponseSerializer>>(NetKitTaskDidCompleteResponseSerializerKey));
        EXPECT_TRUE(n.userInfoValue<foundation::Data>(NetKitTaskDidCompleteResponseDataKey));
        EXPECT_TRUE(n.userInfoValue<Value>(NetKitTaskDidCompleteSerializedResponseKey));
        events.push_back("complete");
    });

    auto task = first->dataTaskWithRequest(net::URLRequest(*URL::URLWithString(fixture.server.url("/api/a"))),
                                           [&](const std::optional<net::HTTPURLResponse>& response, const std::any& object, const foundation::ErrorPtr& error) {
                                               EXPECT_FALSE(error);
                                               EXPECT_EQ(response->statusCode(), 200);
                                               EXPECT_EQ(std::any_cast<Value>(object), Value::array({ 1 }));
                                               events.push_back("handler");
                                           });
    EXPECT_EQ(task->taskDescription(), first->taskDescriptionForSessionTasks());
    EXPECT_EQ(first->uploadProgressForTask(*task), first->downloadProgressForTask(*task));
    EXPECT_EQ(first->dataTasks().size(), 1u);
    // A task of a plain session is no manager's.
    auto plain = net::URLSession::sessionWithDelegateQueue(nullptr);
    auto foreign = plain->dataTaskWithRequest(net::URLRequest(*URL::URLWithString(fixture.server.url("/api/a"))), nullptr);
    foreign->resume();
    task->resume();
    ASSERT_TRUE(waitFor([&] { return events.size() >= 3; }));
    EXPECT_EQ(events, (std::vector<std::string> { "resume " + first->taskDescriptionForSessionTasks(), "handler", "complete" }));
    EXPECT_TRUE(first->tasks().empty());
}

TEST(NKHTTPSessionManager, MultipartUploadsSurviveARedirectAndDownloadsReportTheirDestination)
{
    SecureServiceFixture fixture;
    fixture.server.server().Post("/api/upload", [](const httplib::Request&, httplib::Response& res) {
        res.status = 307;
        res.set_header("Location", "/api/upload2");
    });
    fixture.server.server().Post("/api/upload2", [](const httplib::Request& req, httplib::Response& res) {
        auto file = req.get_file_value("photo");
        res.set_content(foundation::toJSON(Value::dictionary({ { "a", req.get_file_value("a").content },
                                                               { "photo", file.filename + ":" + file.content } })),
                        "application/json");
    });
    fixture.server.server().Get("/api/file", [](const httplib::Request&, httplib::Response& res) { res.set_content("FILE", "text/plain"); });
    fixture.server.start();
    auto manager = fixture.makeManager();
    auto photo = fixture.dir.write("photo.jpg", std::string(3000, 'j'));

    Outcome outcome;
    manager->POST("upload", Value::dictionary({ { "a", 1 } }),
                  [&](NKMultipartFormData& form) { form.appendPartWithFileURL(URL::fileURLWithPath(photo.string()), "photo", nullptr); },
                  succeed(outcome), fail(outcome));
    ASSERT_TRUE(waitFor([&] { return outcome.done; }));
    ASSERT_TRUE(outcome.succeeded) << (outcome.error ? outcome.error->localizedDescription() : "");
    EXPECT_EQ(std::any_cast<Value>(outcome.object), Value::dictionary({ { "a", "1" }, { "photo", "photo.jpg:" + std::string(3000, 'j') } }));

    struct Case {
        const char* name;
        std::filesystem::path destination;
        bool fails;
    };
    const Case cases[] = {
        { "into a folder that exists", fixture.dir / "saved.txt", false },
        { "into a folder that does not", fixture.dir / "missing" / "saved.txt", true },
    };
    for (const Case& c : cases) {
        bool done = false;
        std::optional<URL> reported;
        foundation::ErrorPtr error;
        auto task = manager->downloadTaskWithRequest(
            net::URLRequest(*URL::URLWithString(fixture.server.url("/api/file"))), nullptr,
            [&](const URL&, const std::optional<net::HTTPURLResponse>&) { return std::optional<URL>(URL::fileURLWithPath(c.destination.string())); },
            [&](const std::optional<net::HTTPURLResponse>&, const std::optional<URL>& file, const foundation::ErrorPtr& e) {
                reported = file;
                error = e;
                done = true;
            });
        task->resume();
        ASSERT_TRUE(waitFor([&] { return done; })) << c.name;
        EXPECT_EQ(error != nullptr, c.fails) << c.name;
        if (!c.fails) {
            EXPECT_EQ(reported->path(), c.destination.string()) << c.name;
            std::ifstream in(c.destination);
            EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "FILE") << c.name;
        }
    }
}

TEST(NKURLSessionManager, UploadProgressTakesItsTotalFromTheContentLength)
{
    SecureServiceFixture fixture;
    fixture.server.server().Post("/api/up", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(std::to_string(req.body.size()), "text/plain");
    });
    fixture.server.start();
    auto manager = fixture.makeManager();
    manager->setResponseSerializer(NKHTTPResponseSerializer::serializer());
    std::int64_t hookTotal = 0;
    manager->setTaskDidSendBodyDataBlock([&](net::URLSession&, net::URLSessionTask&, std::int64_t, std::int64_t, std::int64_t expected) {
        hookTotal = expected;
    });
    net::URLRequest request(*URL::URLWithString(fixture.server.url("/api/up")));
    request.setHTTPMethod("POST");
    request.setValueForHTTPHeaderField("application/octet-stream", "Content-Type");
    request.setValueForHTTPHeaderField("1234", "Content-Length");
    request.setHTTPBodyStream(net::InputStream::inputStreamWithData(foundation::Data(1234, 'x')));
    foundation::ProgressPtr progress;
    bool done = false;
    auto task = manager->uploadTaskWithStreamedRequest(request, &progress, [&](auto&, const std::any& object, const foundation::ErrorPtr& error) {
        EXPECT_FALSE(error);
        auto body = std::any_cast<foundation::Data>(object);
        EXPECT_EQ(std::string(body.begin(), body.end()), "1234");
        done = true;
    });
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->totalUnitCount(), 1234);
    task->resume();
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_EQ(hookTotal, 1234);
    EXPECT_EQ(progress->completedUnitCount(), 1234);
}
