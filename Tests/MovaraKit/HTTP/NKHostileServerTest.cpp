// The managers and the operations against servers that misbehave on purpose: bodies that never
// end, redirects whose body never ends, redirects that lead to another origin.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <new>

#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/HTTP/NKHTTPSessionManager.h"
#include "MovaraKit/HTTP/NKSecurityPolicy.h"
#include "MovaraKit/Service/MVRAPISessionManager.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Platform/Net/RawServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

using testsupport::RawServer;

namespace {

struct Result {
    bool done = false;
    std::string body;
    long code = 0;
};

std::string pathOf(const std::string& head)
{
    auto start = head.find(' ') + 1;
    return head.substr(start, head.find(' ', start) - start);
}

// "/endless": a 200 whose chunked body never ends; "/redirect": a 302 to "/landing" whose body
// never ends; "/landing": a short answer.
void serveHostile(RawServer& server, int fd, const std::string& head)
{
    const std::string path = pathOf(head);
    if (path == "/endless" || path == "/redirect") {
        const std::string status = path == "/endless" ? "200 OK" : "302 Found\r\nLocation: /landing";
        if (server.send(fd, "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"))
            server.sendChunksForever(fd, std::string(64 << 10, 'z'));
        return;
    }
    server.send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 6\r\nConnection: close\r\n\r\nlanded");
}

bool runUntilDone(const Result& result)
{
    return dispatch::RunLoop::main().runUntil([&] { return result.done; }, 20);
}

Result getThroughManager(const std::shared_ptr<NKHTTPSessionManager>& manager, const std::string& path)
{
    manager->setResponseSerializer(NKHTTPResponseSerializer::serializer());
    Result result;
    manager->GET(
        path, std::nullopt,
        [&](const std::shared_ptr<net::URLSessionDataTask>&, const std::any& object) {
            const auto& data = std::any_cast<const foundation::Data&>(object);
            result.body.assign(data.begin(), data.end());
            result.done = true;
        },
        [&](const std::shared_ptr<net::URLSessionDataTask>&, const foundation::ErrorPtr& error) {
            result.code = error->code();
            result.done = true;
        });
    EXPECT_TRUE(runUntilDone(result)) << path;
    bool invalid = false;
    manager->setSessionDidBecomeInvalidBlock([&invalid](net::URLSession&, const foundation::ErrorPtr&) { invalid = true; });
    manager->invalidateSessionCancelingTasks(true);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return invalid; }, 10));
    return result;
}

// The operation's body or error code land in `result`, which must outlive it.
void collectInto(const std::shared_ptr<NKHTTPRequestOperation>& operation, Result& result)
{
    operation->setCompletionBlockWithSuccess(
        [&](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any& object) {
            const auto& data = std::any_cast<const foundation::Data&>(object);
            result.body.assign(data.begin(), data.end());
            result.done = true;
        },
        [&](const std::shared_ptr<NKHTTPRequestOperation>&, const foundation::ErrorPtr& error) {
            result.code = error->code();
            result.done = true;
        });
}

Result getThroughOperation(const std::string& url, std::shared_ptr<NKSecurityPolicy> policy = nullptr)
{
    auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*foundation::URL::URLWithString(url)));
    if (policy)
        operation->setSecurityPolicy(policy);
    Result result;
    collectInto(operation, result);
    operation->start();
    EXPECT_TRUE(runUntilDone(result)) << url;
    return result;
}

} // namespace

TEST(NKHostileServer, EndlessBodiesEndAtTheSizeLimitAndEndlessRedirectBodiesAreNotRead)
{
    RawServer server(serveHostile);
    const auto base = foundation::URL::URLWithString(server.url("/"));
    net::URLSessionConfiguration limited;
    limited.setMaximumResponseBodyBytes(1 << 20);
    struct Case {
        const char* client;
        const char* path;
        Result expected;
    };
    const Case cases[] = {
        { "session manager", "/endless", { true, "", net::NSURLErrorDataLengthExceedsMaximum } },
        { "session manager", "/redirect", { true, "landed", 0 } },
        { "web-service manager", "/endless", { true, "", net::NSURLErrorDataLengthExceedsMaximum } },
        { "web-service manager", "/redirect", { true, "landed", 0 } },
        // The operations share one session, limited by its default.
        { "operation", "/endless", { true, "", net::NSURLErrorDataLengthExceedsMaximum } },
        { "operation", "/redirect", { true, "landed", 0 } },
    };
    for (const Case& c : cases) {
        const std::string client = c.client;
        Result result = client == "operation"      ? getThroughOperation(server.url(c.path))
            : client == "session manager"          ? getThroughManager(NKHTTPSessionManager::initWithBaseURL(base, limited), c.path)
                                                   : getThroughManager(MVRAPISessionManager::initWithBaseURL(*base, limited), c.path);
        EXPECT_EQ(result.code, c.expected.code) << c.client << " " << c.path;
        EXPECT_EQ(result.body, c.expected.body) << c.client << " " << c.path;
    }
}

TEST(NKHostileServer, CredentialsOfTheRequestSerializerStayWithTheirOrigin)
{
    std::mutex mutex;
    std::vector<std::string> seen;
    testsupport::LocalServer origin;
    testsupport::LocalServer other;
    origin.server().Get("/api/hop", [&](const httplib::Request&, httplib::Response& res) { res.set_redirect(other.url("/landing")); });
    other.server().Get("/landing", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        seen.push_back("auth=" + req.get_header_value("Authorization") + " key=" + req.get_header_value("MOVARA-API-KEY"));
        res.set_content("landed", "text/plain");
    });
    origin.start();
    other.start();

    auto manager = MVRAPISessionManager::initWithBaseURL(*foundation::URL::URLWithString(origin.url("/api")));
    manager->requestSerializer()->setValue("k3y", "MOVARA-API-KEY");
    manager->requestSerializer()->setAuthorizationHeaderFieldWithUsername("ann", "secret");
    Result result = getThroughManager(manager, "hop");
    EXPECT_EQ(result.body, "landed");
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, std::vector<std::string> { "auth= key=" });
}

TEST(NKHostileServer, EachOperationsPolicyJudgesTheServerEvenOnAConnectionKeptFromAnother)
{
    const auto& pki = testsupport::TestPKI::shared();
    testsupport::TempDir dir;
    testsupport::LocalServer server(dir.write("c.pem", pki.selfSigned.certificatePEM).string(), dir.write("k.pem", pki.selfSigned.keyPEM).string());
    server.keepConnectionsOpen();
    server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("private", "text/plain"); });
    server.start();
    security::Trust::setSystemRootsForTesting({});

    auto pinned = NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode::Certificate);
    pinned->setPinnedCertificates(std::vector<foundation::Data> { pki.selfSigned.certificateDER() });
    pinned->setAllowInvalidCertificates(true);
    EXPECT_EQ(getThroughOperation(server.url("/x"), pinned).body, "private");
    const Result unpinned = getThroughOperation(server.url("/x"));
    EXPECT_EQ(unpinned.code, net::NSURLErrorCancelled) << "the default policy refuses a self-signed server";
    EXPECT_EQ(unpinned.body, "");
    EXPECT_EQ(getThroughOperation(server.url("/x"), pinned).body, "private");
}

TEST(NKHostileServer, ADecodedAnswerThatOutgrowsMemoryFailsItsRequestNotTheProcess)
{
    // A serializer whose decoding runs out of memory, as a small JSON document of many tiny
    // containers can make one do.
    struct Exhausting : NKHTTPResponseSerializer {
        std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>&, const std::optional<foundation::Data>&,
                                           foundation::ErrorPtr*) const override
        {
            throw std::bad_alloc();
        }
    };
    testsupport::LocalServer server;
    server.server().Get("/doc", [](const httplib::Request&, httplib::Response& res) { res.set_content("[[],[],[]]", "application/json"); });
    server.start();

    auto manager = NKHTTPSessionManager::initWithBaseURL(foundation::URL::URLWithString(server.url("/")));
    manager->setResponseSerializer(std::make_shared<Exhausting>());
    Result managed;
    manager->GET(
        "doc", std::nullopt, [&](const std::shared_ptr<net::URLSessionDataTask>&, const std::any&) { managed.done = true; },
        [&](const std::shared_ptr<net::URLSessionDataTask>&, const foundation::ErrorPtr& error) {
            managed.code = error->code();
            managed.done = true;
        });
    ASSERT_TRUE(runUntilDone(managed));
    EXPECT_EQ(managed.code, ENOMEM);
    manager->invalidateSessionCancelingTasks(true);

    auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*foundation::URL::URLWithString(server.url("/doc"))));
    operation->setResponseSerializer(std::make_shared<Exhausting>());
    Result operated;
    operation->setCompletionBlockWithSuccess([&](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any&) { operated.done = true; },
                                             [&](const std::shared_ptr<NKHTTPRequestOperation>&, const foundation::ErrorPtr& error) {
                                                 operated.code = error->code();
                                                 operated.done = true;
                                             });
    operation->start();
    ASSERT_TRUE(runUntilDone(operated));
    EXPECT_EQ(operated.code, ENOMEM);
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
}


TEST(NKHostileServer, AResumedOperationTakesOnlyThePartItAskedFor)
{
    // A paused operation asks for the rest of its body; an answer with another part of it must
    // not be glued on at the wrong place and reported as the body.
    const std::string content = std::string(30000, 'x') + std::string(30000, 'y');
    struct Case {
        const char* name;
        long first; // the first byte of the part the server sends back
        long code;
    };
    const Case cases[] = {
        { "the part asked for", 30000, 0 },
        { "the whole body again as a part", 0, 0 },
        { "another part", 100, net::NSURLErrorBadServerResponse },
    };
    for (const Case& c : cases) {
        std::atomic<bool> release = false;
        RawServer server([&](RawServer& s, int fd, const std::string& head) {
            if (head.find("\r\nRange: ") == std::string::npos) {
                if (s.send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 60000\r\n\r\n")
                    && s.send(fd, content.substr(0, 30000))) {
                    while (!release && !s.stopping())
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                return;
            }
            const std::string part = content.substr(static_cast<std::size_t>(c.first));
            s.send(fd, "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes "
                       + std::to_string(c.first) + "-59999/60000\r\nContent-Length: " + std::to_string(part.size())
                       + "\r\nConnection: close\r\n\r\n" + part);
        });
        auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*foundation::URL::URLWithString(server.url("/big"))));
        Result result;
        collectInto(operation, result);
        std::atomic<std::int64_t> received = 0;
        operation->setDownloadProgressBlock([&](std::int64_t, std::int64_t total, std::int64_t) { received = total; });
        operation->start();
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return received >= 30000; }, 10)) << c.name;
        operation->pause();
        release = true;
        operation->resume();
        ASSERT_TRUE(runUntilDone(result)) << c.name;
        EXPECT_EQ(result.code, c.code) << c.name;
        if (c.code == 0) {
            EXPECT_EQ(result.body.size(), content.size()) << c.name;
            EXPECT_TRUE(result.body == content) << c.name;
        }
    }
}

TEST(NKHostileServer, AServerTheDefaultPolicyDoesNotTrustIsRefusedOnEveryPath)
{
    // Whatever the path, a server the default policy does not trust gets nothing and ends the
    // task with the refused challenge's error.
    const auto& pki = testsupport::TestPKI::shared();
    testsupport::TempDir dir;
    security::Trust::setSystemRootsForTesting({ security::Certificate::createWithPEM(pki.ca.certificatePEM) });
    using Path = std::function<long(const std::string& url)>;
    auto viaManager = [](std::shared_ptr<NKHTTPSessionManager> manager, const std::string& kind) -> Path {
        return [manager, kind](const std::string& url) {
            Result result;
            auto done = [&](const std::optional<net::HTTPURLResponse>&, const std::any&, const foundation::ErrorPtr& error) {
                result.code = error ? error->code() : 0;
                result.done = true;
            };
            const net::URLRequest request(*foundation::URL::URLWithString(url));
            std::shared_ptr<net::URLSessionTask> task;
            if (kind == "upload")
                task = manager->uploadTaskWithRequest(request, foundation::Data(100, 'u'), nullptr, done);
            else if (kind == "download")
                task = manager->downloadTaskWithRequest(
                    request, nullptr, nullptr,
                    [&](const std::optional<net::HTTPURLResponse>& response, const std::optional<foundation::URL>&,
                        const foundation::ErrorPtr& error) { done(response, {}, error); });
            else
                task = manager->dataTaskWithRequest(request, done);
            task->resume();
            EXPECT_TRUE(runUntilDone(result)) << kind;
            return result.code;
        };
    };
    auto base = foundation::URL::URLWithString("https://127.0.0.1/");
    const std::shared_ptr<NKHTTPSessionManager> managers[] = { NKHTTPSessionManager::initWithBaseURL(base),
                                                               MVRAPISessionManager::initWithBaseURL(*base) };
    const std::pair<const char*, Path> paths[] = {
        { "operation", [](const std::string& url) { return getThroughOperation(url).code; } },
        { "manager", viaManager(managers[0], "data") },
        { "upload", viaManager(managers[0], "upload") },
        { "download", viaManager(managers[0], "download") },
        { "service", viaManager(managers[1], "data") },
    };
    const std::pair<const char*, const testsupport::TestKeyPair*> certificates[] = {
        { "expired", &pki.expired },
        { "another host's", &pki.otherHost },
        { "self-signed", &pki.selfSigned },
    };
    for (const auto& [certificateName, served] : certificates) {
        testsupport::LocalServer server(dir.write("c.pem", served->certificatePEM).string(), dir.write("k.pem", served->keyPEM).string());
        server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("private", "text/plain"); });
        server.server().Post("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("private", "text/plain"); });
        server.start();
        for (const auto& [pathName, path] : paths)
            EXPECT_EQ(path(server.url("/x")), net::NSURLErrorCancelled) << pathName << ", " << certificateName;
    }
    security::Trust::setSystemRootsForTesting({});
    for (const auto& manager : managers) {
        bool invalid = false;
        manager->setSessionDidBecomeInvalidBlock([&invalid](net::URLSession&, const foundation::ErrorPtr&) { invalid = true; });
        manager->invalidateSessionCancelingTasks(true);
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return invalid; }, 10));
    }
}
