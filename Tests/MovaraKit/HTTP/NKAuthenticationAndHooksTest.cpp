#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/HTTP/NKHTTPSessionManager.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;
using net::URLCredential;
using net::URLCredentialPersistence;
using Disposition = net::URLSessionAuthChallengeDisposition;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

// "/private" wants Basic credentials of "ann" with "s3cret"; it counts what it was sent.
struct BasicServer {
    BasicServer()
    {
        server.server().Get("/private", [this](const httplib::Request& request, httplib::Response& response) {
            ++requests;
            if (request.get_header_value("Authorization") == "Basic YW5uOnMzY3JldA==") {
                response.set_content("secret page", "text/plain");
                return;
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"Studio\"");
            response.set_content("no", "text/plain");
        });
        server.start();
    }
    net::URLProtectionSpace space() const
    {
        net::URLProtectionSpace space;
        space.host = "127.0.0.1";
        space.port = server.port();
        space.protocol = "http";
        space.realm = "Studio";
        return space;
    }
    std::atomic<int> requests { 0 };
    testsupport::LocalServer server;
};

struct Managed {
    Managed() : manager(NKHTTPSessionManager::initWithBaseURL(std::nullopt)) { manager->setResponseSerializer(NKHTTPResponseSerializer::serializer()); }
    ~Managed()
    {
        bool invalid = false;
        manager->setSessionDidBecomeInvalidBlock([&](net::URLSession&, const foundation::ErrorPtr&) { invalid = true; });
        manager->invalidateSessionCancelingTasks(true);
        EXPECT_TRUE(waitFor([&] { return invalid; }));
    }
    std::shared_ptr<NKHTTPSessionManager> manager;
};

} // namespace

TEST(NKURLSessionManagerChallenges, HTTPChallengesGoToTheHookOrToTheCredentialStorage)
{
    BasicServer server;
    {
        // The task hook answers with a user and a password; a wrong one is asked about again.
        Managed managed;
        std::vector<long> failureCounts;
        managed.manager->setTaskDidReceiveAuthenticationChallengeBlock(
            [&](net::URLSession&, net::URLSessionTask&, const net::URLAuthenticationChallenge& challenge, net::URLCredentialPtr* credential) {
                failureCounts.push_back(challenge.previousFailureCount);
                EXPECT_EQ(challenge.protectionSpace.authenticationMethod, net::URLAuthenticationMethodHTTPBasic);
                *credential = URLCredential::credentialWithUser("ann", failureCounts.size() == 1 ? "guess" : "s3cret",
                                                                 URLCredentialPersistence::None);
                return Disposition::UseCredential;
            });
        std::string body;
        bool done = false;
        managed.manager->GET(server.server.url("/private"), std::nullopt, [&](const auto&, const std::any& object) {
            const auto* data = std::any_cast<foundation::Data>(&object);
            body = data ? std::string(data->begin(), data->end()) : "";
            done = true;
        }, [&](const auto&, const foundation::ErrorPtr&) { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
        EXPECT_EQ(body, "secret page");
        EXPECT_EQ(failureCounts, (std::vector<long> { 0, 1 }));
    }
    {
        // Without a hook the manager asks for default handling: no stored credential, so the
        // 401 arrives as the answer, failing the acceptable status codes.
        Managed managed;
        foundation::ErrorPtr error;
        bool done = false;
        managed.manager->GET(server.server.url("/private"), std::nullopt, [&](const auto&, const std::any&) { done = true; },
                             [&](const auto&, const foundation::ErrorPtr& e) {
                                 error = e;
                                 done = true;
                             });
        ASSERT_TRUE(waitFor([&] { return done; }));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), net::NSURLErrorBadServerResponse);
    }
}

TEST(NKURLConnectionOperationChallenges, TheCredentialIsOfferedOnceAndStorageUseFollowsTheFlag)
{
    BasicServer server;
    auto storage = net::URLSessionConfiguration::defaultSessionConfiguration().credentialStorage();
    ASSERT_TRUE(storage);
    struct Case {
        const char* name;
        net::URLCredentialPtr credential;
        bool useStorage;
        bool storedBefore;
        long status;
        bool storedAfter;
    };
    const auto right = URLCredential::credentialWithUser("ann", "s3cret", URLCredentialPersistence::ForSession);
    const auto wrong = URLCredential::credentialWithUser("ann", "nope", URLCredentialPersistence::None);
    const std::vector<Case> cases = {
        { "own credential, kept", right, true, false, 200, true },
        { "own credential, storage off: not kept", right, false, false, 200, false },
        { "wrong credential is offered once", wrong, true, false, 401, false },
        { "no credential, a stored one answers", nullptr, true, true, 200, true },
        { "no credential, storage off: the stored one is not used", nullptr, false, true, 401, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storage->removeCredentialsForProtectionSpace(server.space());
        if (c.storedBefore)
            storage->setDefaultCredential(right, server.space());
        const int before = server.requests;
        auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*URL::URLWithString(server.server.url("/private"))));
        operation->setCredential(c.credential);
        operation->setShouldUseCredentialStorage(c.useStorage);
        operation->start();
        ASSERT_TRUE(waitFor([&] { return operation->isFinished(); }));
        ASSERT_TRUE(operation->response());
        EXPECT_EQ(operation->response()->statusCode(), c.status);
        EXPECT_EQ(bool(storage->defaultCredentialForProtectionSpace(server.space())), c.storedAfter);
        EXPECT_LE(server.requests - before, 2);
    }
    storage->removeCredentialsForProtectionSpace(server.space());
}

TEST(NKURLSessionManagerHooks, ADataTaskBecomingADownloadKeepsItsDelegateAndCompletion)
{
    testsupport::TempDir dir;
    testsupport::LocalServer server;
    const std::string payload(200000, 'z');
    server.server().Get("/file", [&](const httplib::Request&, httplib::Response& response) { response.set_content(payload, "application/octet-stream"); });
    server.start();

    Managed managed;
    auto& manager = managed.manager;
    const auto destination = URL::fileURLWithPath((dir.path() / "kept.bin").string());
    manager->setDataTaskDidReceiveResponseBlock([](net::URLSession&, net::URLSessionDataTask&, const net::HTTPURLResponse&) {
        return net::URLSessionResponseDisposition::BecomeDownload;
    });
    std::shared_ptr<net::URLSessionDownloadTask> became;
    manager->setDataTaskDidBecomeDownloadTaskBlock([&](net::URLSession&, net::URLSessionDataTask&, net::URLSessionDownloadTask& download) {
        became = std::static_pointer_cast<net::URLSessionDownloadTask>(download.shared_from_this());
    });
    manager->setDownloadTaskDidFinishDownloadingBlock([&](net::URLSession&, net::URLSessionDownloadTask&, const URL&) {
        return std::optional<URL>(destination);
    });
    int completions = 0;
    std::any object;
    foundation::ErrorPtr error;
    auto task = manager->dataTaskWithRequest(net::URLRequest(*URL::URLWithString(server.url("/file"))),
                                             [&](const auto&, const std::any& o, const foundation::ErrorPtr& e) {
                                                 ++completions;
                                                 object = o;
                                                 error = e;
                                             });
    auto progress = manager->downloadProgressForTask(*task);
    task->resume();
    ASSERT_TRUE(waitFor([&] { return completions > 0; }));
    EXPECT_FALSE(error);
    ASSERT_TRUE(became);
    // The delegate moved with the task: its progress and handler now belong to the download.
    EXPECT_EQ(manager->downloadProgressForTask(*became), nullptr);
    EXPECT_EQ(progress->completedUnitCount(), static_cast<std::int64_t>(payload.size()));
    const auto* url = std::any_cast<URL>(&object);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), destination.path());
    std::ifstream in(destination.path(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), payload);
    EXPECT_EQ(completions, 1);
}

TEST(NKURLSessionManagerHooks, PausingAnUploadsProgressSuspendsItsTask)
{
    testsupport::LocalServer server;
    server.server().Post("/up", [](const httplib::Request&, httplib::Response& response) { response.set_content("ok", "text/plain"); });
    server.start();
    Managed managed;
    foundation::ProgressPtr progress;
    net::URLRequest request(*URL::URLWithString(server.url("/up")));
    request.setHTTPMethod("POST");
    auto task = managed.manager->uploadTaskWithRequest(request, foundation::Data(1000, 'u'), &progress, nullptr);
    ASSERT_TRUE(progress);
    EXPECT_TRUE(progress->isPausable());
    task->resume();
    progress->pause();
    EXPECT_EQ(task->state(), net::URLSessionTask::State::Suspended);
    task->resume();
    EXPECT_TRUE(waitFor([&] { return task->state() == net::URLSessionTask::State::Completed; }));
}
