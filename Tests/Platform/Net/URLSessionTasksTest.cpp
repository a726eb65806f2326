#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/URLSession.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

using namespace net;
using foundation::URL;
using testsupport::TempDir;
using testsupport::TestPKI;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

std::string text(const foundation::Data& data)
{
    return std::string(data.begin(), data.end());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Records what a session tells it and answers its questions as the test says.
struct RecordingDelegate : URLSessionDelegate {
    std::set<Hook> hooks;
    bool respondsTo(Hook hook) const override { return hooks.contains(hook); }

    std::function<std::optional<URLRequest>(const HTTPURLResponse&, const URLRequest&)> redirect;
    URLSessionAuthChallengeDisposition challengeAnswer = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
    std::function<InputStreamPtr()> newBodyStream;

    std::vector<std::string> events;
    foundation::Data received;
    std::int64_t totalSent = 0;
    std::int64_t expectedToSend = 0;
    std::int64_t totalWritten = 0;
    std::string downloaded;
    std::string downloadedPath;
    int completions = 0;
    foundation::ErrorPtr error;
    bool invalid = false;
    std::vector<std::string> challengeHosts;

    void didBecomeInvalidWithError(URLSession&, const foundation::ErrorPtr&) override
    {
        EXPECT_EQ(completions, static_cast<int>(std::count(events.begin(), events.end(), "complete")));
        invalid = true;
        events.push_back("invalid");
    }
    void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge& challenge, ChallengeCompletion completion) override
    {
        challengeHosts.push_back(challenge.protectionSpace.host);
        EXPECT_EQ(challenge.protectionSpace.authenticationMethod, URLAuthenticationMethodServerTrust);
        completion(challengeAnswer, challengeAnswer == URLSessionAuthChallengeDisposition::UseCredential
                                        ? URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust)
                                        : nullptr);
    }
    void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse& response, const URLRequest& next,
                                    std::function<void(std::optional<URLRequest>)> completion) override
    {
        events.push_back("redirect " + std::to_string(response.statusCode()));
        completion(redirect ? redirect(response, next) : std::optional<URLRequest>(next));
    }
    void needNewBodyStream(URLSession&, URLSessionTask&, std::function<void(InputStreamPtr)> completion) override
    {
        events.push_back("new body");
        completion(newBodyStream ? newBodyStream() : nullptr);
    }
    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t, std::int64_t total, std::int64_t expected) override
    {
        totalSent = total;
        expectedToSend = expected;
    }
    void didCompleteWithError(URLSession&, URLSessionTask&, const foundation::ErrorPtr& e) override
    {
        error = e;
        ++completions;
        events.push_back("complete");
    }
    void didReceiveResponse(URLSession&, URLSessionDataTask&, const HTTPURLResponse& response,
                            std::function<void(URLSessionResponseDisposition)> completion) override
    {
        events.push_back("response " + std::to_string(response.statusCode()));
        completion(response.statusCode() == 418 ? URLSessionResponseDisposition::Cancel : URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(URLSession&, URLSessionDataTask&, const foundation::Data& data) override
    {
        received.insert(received.end(), data.begin(), data.end());
    }
    void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const URL& location) override
    {
        downloadedPath = location.path();
        downloaded = readFile(downloadedPath);
    }
    void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t total, std::int64_t) override
    {
        totalWritten = total;
    }
};

struct SessionFixture {
    explicit SessionFixture(URLSessionConfiguration configuration = {})
        : delegate(std::make_shared<RecordingDelegate>())
        , session(URLSession::sessionWithConfiguration(configuration, delegate, dispatch::Queue::main()))
    {
    }
    ~SessionFixture()
    {
        session->invalidateAndCancel();
        waitFor([&] { return delegate->invalid; });
    }
    URLRequest request(const std::string& url) { return URLRequest(*URL::URLWithString(url)); }
    void run(const std::shared_ptr<URLSessionTask>& task)
    {
        ASSERT_TRUE(task);
        int before = delegate->completions;
        task->resume();
        ASSERT_TRUE(waitFor([&] { return delegate->completions > before; }));
    }

    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<URLSession> session;
};

struct TLSFiles {
    TempDir dir;
    std::string cert(const testsupport::TestKeyPair& pair) { return dir.write("cert.pem", pair.certificatePEM).string(); }
    std::string key(const testsupport::TestKeyPair& pair) { return dir.write("key.pem", pair.keyPEM).string(); }
};

} // namespace

TEST(URLSessionTrust, ServerCertificatesAreJudgedByTheDelegateOrTheSystemRoots)
{
    const auto& pki = TestPKI::shared();
    struct Case {
        const char* name;
        const testsupport::TestKeyPair* served;
        const testsupport::TestKeyPair* root; // the system's roots for the test
        bool delegateAnswers;
        URLSessionAuthChallengeDisposition answer;
        long expectedError; // 0: success
    };
    const Case cases[] = {
        { "issued by a system root", &pki.server, &pki.ca, false, {}, 0 },
        { "unknown issuer", &pki.server, &pki.otherCA, false, {}, NSURLErrorServerCertificateUntrusted },
        { "another host's certificate", &pki.otherHost, &pki.ca, false, {}, NSURLErrorServerCertificateUntrusted },
        { "an expired certificate", &pki.expired, &pki.ca, false, {}, NSURLErrorServerCertificateUntrusted },
        { "delegate accepts a self-signed one", &pki.selfSigned, &pki.ca, true, URLSessionAuthChallengeDisposition::UseCredential, 0 },
        { "delegate cancels", &pki.server, &pki.ca, true, URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, NSURLErrorCancelled },
        { "delegate defers", &pki.selfSigned, &pki.ca, true, URLSessionAuthChallengeDisposition::PerformDefaultHandling,
          NSURLErrorServerCertificateUntrusted },
    };
    for (const Case& c : cases) {
        TLSFiles files;
        testsupport::LocalServer server(files.cert(*c.served), files.key(*c.served));
        server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("secret", "text/plain"); });
        server.start();
        security::Trust::setSystemRootsForTesting({ security::Certificate::createWithPEM(c.root->certificatePEM) });
        SessionFixture fixture;
        if (c.delegateAnswers)
            fixture.delegate->hooks.insert(URLSessionDelegate::Hook::SessionChallenge);
        fixture.delegate->challengeAnswer = c.answer;
        fixture.run(fixture.session->dataTaskWithRequest(fixture.request(server.url("/x"))));
        EXPECT_EQ(fixture.delegate->error ? fixture.delegate->error->code() : 0, c.expectedError) << c.name;
        EXPECT_EQ(text(fixture.delegate->received), c.expectedError ? "" : "secret") << c.name;
        EXPECT_EQ(fixture.delegate->challengeHosts.size(), c.delegateAnswers ? 1u : 0u) << c.name;
    }
    security::Trust::setSystemRootsForTesting({});
}

TEST(URLSessionRedirects, TheDelegateFollowsRefusesOrRewrites)
{
    testsupport::LocalServer server;
    server.server().Post("/old", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "/new");
        res.set_content("see elsewhere", "text/plain");
    });
    server.server().Get("/new", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("GET new " + req.body, "text/plain");
    });
    server.server().Get("/other", [](const httplib::Request&, httplib::Response& res) { res.set_content("other", "text/plain"); });
    server.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    server.start();

    struct Case {
        const char* name;
        bool hook;
        std::function<std::optional<URLRequest>(const HTTPURLResponse&, const URLRequest&)> answer;
        const char* path;
        std::string body;
        long status;
        long errorCode;
    };
    const Case cases[] = {
        { "followed without a hook, POST becomes GET", false, nullptr, "/old", "GET new ", 200, 0 },
        { "refused: the redirect is the answer", true, [](auto&, auto&) { return std::optional<URLRequest>(); }, "/old", "see elsewhere", 302, 0 },
        { "rewritten", true,
          [&](auto&, const URLRequest&) { return std::optional<URLRequest>(URLRequest(*URL::URLWithString(server.url("/other")))); },
          "/old", "other", 200, 0 },
        { "endless", false, nullptr, "/loop", "", 0, NSURLErrorHTTPTooManyRedirects },
    };
    for (const Case& c : cases) {
        SessionFixture fixture;
        if (c.hook)
            fixture.delegate->hooks.insert(URLSessionDelegate::Hook::WillPerformHTTPRedirection);
        fixture.delegate->redirect = c.answer;
        std::string method = std::string(c.path) == "/old" ? "POST" : "GET";
        auto request = fixture.request(server.url(c.path));
        request.setHTTPMethod(method);
        if (method == "POST")
            request.setHTTPBody(foundation::Data { 'a', '=', '1' });
        auto task = fixture.session->dataTaskWithRequest(request);
        fixture.run(task);
        EXPECT_EQ(text(fixture.delegate->received), c.body) << c.name;
        EXPECT_EQ(task->response() ? task->response()->statusCode() : 0, c.status) << c.name;
        EXPECT_EQ(fixture.delegate->error ? fixture.delegate->error->code() : 0, c.errorCode) << c.name;
        EXPECT_EQ(std::count(fixture.delegate->events.begin(), fixture.delegate->events.end(), "redirect 302"), c.hook ? 1 : 0) << c.name;
    }
}

TEST(URLSessionUploads, BodiesFromFilesDataAndStreamsArriveWhole)
{
    testsupport::LocalServer server;
    server.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("Content-Length") + ":" + req.body, "text/plain");
    });
    server.server().Put("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("Transfer-Encoding") + ":" + req.body, "text/plain");
    });
    server.start();
    TempDir dir;
    const std::string payload(70000, 'u');
    auto file = dir.write("upload.bin", payload);

    SessionFixture fixture;
    auto post = fixture.request(server.url("/echo"));
    post.setHTTPMethod("POST");
    post.setValueForHTTPHeaderField("application/octet-stream", "Content-Type");
    struct Outcome {
        std::string body;
        long status = 0;
        foundation::ErrorPtr error;
        bool done = false;
    };
    auto runWithHandler = [&](auto make) {
        auto outcome = std::make_shared<Outcome>();
        auto task = make([outcome](const foundation::Data& data, const std::optional<HTTPURLResponse>& response, const foundation::ErrorPtr& error) {
            outcome->body = text(data);
            outcome->status = response ? response->statusCode() : 0;
            outcome->error = error;
            outcome->done = true;
        });
        task->resume();
        EXPECT_TRUE(waitFor([&] { return outcome->done; }));
        return *outcome;
    };
    auto runOnce = runWithHandler([&](auto handler) { return fixture.session->dataTaskWithRequest(post, handler); });
    EXPECT_EQ(runOnce.body, "0:") << (runOnce.error ? runOnce.error->localizedDescription() : "");
    auto fromFile = runWithHandler([&](auto handler) { return fixture.session->uploadTaskWithRequest(post, URL::fileURLWithPath(file.string()), handler); });
    EXPECT_TRUE(fromFile.body == "70000:" + payload) << fromFile.status << fromFile.body.substr(0, 40) << (fromFile.error ? fromFile.error->localizedDescription() : "");
    auto fromData = runWithHandler([&](auto handler) {
        return fixture.session->uploadTaskWithRequest(post, foundation::Data(payload.begin(), payload.end()), handler);
    });
    EXPECT_TRUE(fromData.body == "70000:" + payload) << fromData.body.substr(0, 40);
    auto missing = runWithHandler([&](auto handler) { return fixture.session->uploadTaskWithRequest(post, URL::fileURLWithPath((dir / "nope").string()), handler); });
    EXPECT_TRUE(missing.error);

    // A streamed body of unknown length goes chunked; a known one carries its length; the
    // delegate reports the bytes sent.
    auto streamed = fixture.request(server.url("/echo"));
    streamed.setHTTPMethod("PUT");
    streamed.setValueForHTTPHeaderField("application/octet-stream", "Content-Type");
    streamed.setHTTPBodyStream(InputStream::inputStreamWithData(foundation::Data(payload.begin(), payload.end())));
    fixture.run(fixture.session->uploadTaskWithStreamedRequest(streamed));
    EXPECT_TRUE(text(fixture.delegate->received) == "chunked:" + payload) << text(fixture.delegate->received).substr(0, 40);
    EXPECT_EQ(fixture.delegate->totalSent, static_cast<std::int64_t>(payload.size()));

    fixture.delegate->received.clear();
    fixture.delegate->hooks.insert(URLSessionDelegate::Hook::NeedNewBodyStream);
    fixture.delegate->newBodyStream = [] { return InputStream::inputStreamWithData(foundation::Data { 'h', 'i' }); };
    auto asked = fixture.request(server.url("/echo"));
    asked.setHTTPMethod("POST");
    asked.setValueForHTTPHeaderField("2", "Content-Length");
    fixture.run(fixture.session->uploadTaskWithStreamedRequest(asked));
    EXPECT_EQ(text(fixture.delegate->received), "2:hi");
    EXPECT_EQ(fixture.delegate->expectedToSend, 2);
}

TEST(URLSessionDownloads, FilesAreHandedOverAndResumedDownloadsNeverDuplicateBytes)
{
    const std::string content = std::string(40000, 'a') + std::string(40000, 'b');
    // Serves the file, stopping halfway for a request marked "X-Hold"; ranges are honoured
    // (by the server library) only when asked to.
    auto serve = [&](testsupport::LocalServer& server, bool honourRanges) {
        server.server().Get("/file", [&, honourRanges](const httplib::Request& req, httplib::Response& res) {
            res.set_header("ETag", "\"v1\"");
            if (req.has_header("Range") && honourRanges) {
                EXPECT_EQ(req.get_header_value("If-Range"), "\"v1\"");
                res.set_content(content, "application/octet-stream");
                return;
            }
            const bool hold = req.has_header("X-Hold");
            res.set_chunked_content_provider("application/octet-stream", [&, hold](size_t, httplib::DataSink& sink) {
                sink.write(content.data(), hold ? 40000 : content.size());
                if (hold)
                    server.holdRequest();
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
    };

    {
        testsupport::LocalServer server;
        serve(server, true);
        SessionFixture fixture;
        fixture.run(fixture.session->downloadTaskWithRequest(fixture.request(server.url("/file"))));
        EXPECT_TRUE(fixture.delegate->downloaded == content) << fixture.delegate->downloaded.size();
        EXPECT_EQ(fixture.delegate->totalWritten, static_cast<std::int64_t>(content.size()));
        EXPECT_FALSE(std::filesystem::exists(fixture.delegate->downloadedPath));
        EXPECT_FALSE(fixture.session->downloadTaskWithResumeData(foundation::Data { 1, 2, 3 }));
    }

    for (bool ranges : { true, false }) {
        testsupport::LocalServer server;
        serve(server, ranges);
        SessionFixture fixture;
        auto held = fixture.request(server.url("/file"));
        held.setValueForHTTPHeaderField("1", "X-Hold");
        auto task = fixture.session->downloadTaskWithRequest(held);
        task->resume();
        ASSERT_TRUE(waitFor([&] { return fixture.delegate->totalWritten >= 40000; }));
        std::optional<foundation::Data> resumeData;
        bool produced = false;
        task->cancelByProducingResumeData([&](const std::optional<foundation::Data>& data) {
            resumeData = data;
            produced = true;
        });
        ASSERT_TRUE(waitFor([&] { return produced; }));
        server.releaseHeldRequests();
        ASSERT_TRUE(resumeData) << ranges;
        std::string downloaded;
        bool done = false;
        auto resumed = fixture.session->downloadTaskWithResumeData(*resumeData, [&](const std::optional<URL>& url,
                                                                                   const std::optional<HTTPURLResponse>& response,
                                                                                   const foundation::ErrorPtr& error) {
            EXPECT_FALSE(error);
            EXPECT_EQ(response ? response->statusCode() : 0, ranges ? 206 : 200);
            downloaded = url ? readFile(url->path()) : std::string();
            done = true;
        });
        ASSERT_TRUE(resumed);
        resumed->resume();
        ASSERT_TRUE(waitFor([&] { return done; }));
        EXPECT_EQ(downloaded.size(), content.size()) << ranges;
        EXPECT_TRUE(downloaded == content) << ranges;
    }
}

TEST(URLSessionTasks, StatesNoticesAndResponseDecisions)
{
    testsupport::LocalServer server;
    server.server().Get("/teapot", [](const httplib::Request&, httplib::Response& res) {
        res.status = 418;
        res.set_content("short and stout", "text/plain");
    });
    server.server().Get("/headers", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("X-Session") + "," + req.get_header_value("X-Request"), "text/plain");
    });
    server.start();

    std::vector<std::string> notices;
    URLSessionTask::setNoticeHook([&](URLSessionTask& task, URLSessionTask::Notice notice) {
        notices.push_back(std::to_string(task.taskIdentifier()) + (notice == URLSessionTask::Notice::Resumed ? " resumed" : " suspended"));
    });
    URLSessionConfiguration configuration;
    configuration.setHTTPAdditionalHeaders({ { "X-Session", "s" }, { "X-Request", "from session" } });
    configuration.setTimeoutIntervalForRequest(std::numeric_limits<double>::infinity());
    EXPECT_EQ(configuration.timeoutIntervalForRequest(), 60);
    SessionFixture fixture(configuration);

    auto request = fixture.request(server.url("/headers"));
    request.setValueForHTTPHeaderField("r", "X-Request");
    auto task = fixture.session->dataTaskWithRequest(request);
    EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);
    const auto id = std::to_string(task->taskIdentifier());
    task->suspend(); // already suspended: no notice
    task->resume();
    task->resume(); // already running: no notice
    task->suspend();
    EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);
    fixture.run(task);
    EXPECT_EQ(text(fixture.delegate->received), "s,r");
    EXPECT_EQ(notices, (std::vector<std::string> { id + " resumed", id + " suspended", id + " resumed" }));
    URLSessionTask::setNoticeHook(nullptr);

    fixture.delegate->hooks.insert(URLSessionDelegate::Hook::DidReceiveResponse);
    fixture.delegate->received.clear();
    fixture.run(fixture.session->dataTaskWithRequest(fixture.request(server.url("/teapot"))));
    EXPECT_EQ(fixture.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_TRUE(fixture.delegate->received.empty());
}

TEST(URLSessionInvalidation, FinishingLetsOutstandingTasksCompleteFirst)
{
    testsupport::LocalServer server;
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        server.holdRequest();
        res.set_content("late", "text/plain");
    });
    server.start();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate, dispatch::Queue::main());
    auto task = session->dataTaskWithRequest(URLRequest(*URL::URLWithString(server.url("/slow"))));
    task->resume();
    ASSERT_TRUE(server.waitForHeldRequest());
    session->finishTasksAndInvalidate();
    EXPECT_FALSE(session->dataTaskWithRequest(URLRequest(*URL::URLWithString(server.url("/slow")))));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
    EXPECT_FALSE(delegate->invalid);
    server.releaseHeldRequests();
    ASSERT_TRUE(waitFor([&] { return delegate->invalid; }));
    EXPECT_EQ(delegate->events, (std::vector<std::string> { "complete", "invalid" }));
    EXPECT_EQ(text(delegate->received), "late");
    EXPECT_FALSE(session->delegate());
}
