// Sessions against servers that misbehave on purpose: endless and inflating bodies, redirects
// that never end or lead elsewhere, connections reused across trust decisions.

#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/URLSession.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Platform/Net/RawServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

using namespace net;
using foundation::URL;
using testsupport::RawServer;
using testsupport::TestPKI;

namespace {

bool waitFor(const std::function<bool()>& predicate, double seconds = 10)
{
    return dispatch::RunLoop::main().runUntil(predicate, seconds);
}

URLRequest requestFor(const std::string& url)
{
    return URLRequest(*URL::URLWithString(url));
}

std::string gzipped(const std::string& text)
{
    z_stream stream {};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Counts what a data task delivers piecewise and answers trust challenges per task: tasks
// described as "pinned" accept the server's chain, the others leave it to the system.
struct CountingDelegate : URLSessionDelegate {
    bool answersChallenges = false;
    bool credentialCarriesTrust = true;
    bool respondsTo(Hook hook) const override { return answersChallenges && hook == Hook::TaskChallenge; }

    std::size_t received = 0;
    int completions = 0;
    foundation::ErrorPtr error;
    int challenges = 0;

    void taskDidReceiveChallenge(URLSession&, URLSessionTask& task, const URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override
    {
        ++challenges;
        if (challenge.protectionSpace.authenticationMethod == URLAuthenticationMethodHTTPDigest)
            return completion(URLSessionAuthChallengeDisposition::UseCredential,
                              URLCredential::credentialWithUser("ann", "pw", URLCredentialPersistence::None));
        if (task.taskDescription() != "pinned")
            return completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
        completion(URLSessionAuthChallengeDisposition::UseCredential,
                   URLCredential::credentialForTrust(credentialCarriesTrust ? challenge.protectionSpace.serverTrust : nullptr));
    }
    void didReceiveData(URLSession&, URLSessionDataTask&, const foundation::Data& data) override { received += data.size(); }
    void didCompleteWithError(URLSession&, URLSessionTask&, const foundation::ErrorPtr& e) override
    {
        error = e;
        ++completions;
    }
};

struct Session {
    explicit Session(URLSessionConfiguration configuration = {})
        : delegate(std::make_shared<CountingDelegate>())
        , session(URLSession::sessionWithConfiguration(configuration, delegate, dispatch::Queue::main()))
    {
    }
    ~Session()
    {
        session->invalidateAndCancel();
        dispatch::RunLoop::main().runUntil([] { return false; }, 0.02);
    }

    // Runs a task to its end through the delegate; the error code, 0 for success.
    long runThroughDelegate(const URLRequest& request, const std::string& description = {})
    {
        auto task = session->dataTaskWithRequest(request);
        task->setTaskDescription(description);
        const int before = delegate->completions;
        task->resume();
        EXPECT_TRUE(waitFor([&] { return delegate->completions > before; })) << "the task never completed";
        return delegate->error ? delegate->error->code() : 0;
    }

    // Runs a task to its end with a completion handler.
    long runWithHandler(const URLRequest& request, std::string* body = nullptr)
    {
        bool done = false;
        long code = 0;
        auto task = session->dataTaskWithRequest(
            request, [&](const foundation::Data& data, const std::optional<HTTPURLResponse>&, const foundation::ErrorPtr& error) {
                code = error ? error->code() : 0;
                if (body)
                    *body = std::string(data.begin(), data.end());
                done = true;
            });
        task->resume();
        EXPECT_TRUE(waitFor([&] { return done; })) << "the task never completed";
        return code;
    }

    std::shared_ptr<CountingDelegate> delegate;
    std::shared_ptr<URLSession> session;
};

// One outcome of a request run both ways: with a completion handler (which sees the body) and
// through a delegate (which counts what it received).
struct Outcome {
    bool handler;
    long code;
    std::string body;
    const CountingDelegate& delegate;
    const char* way() const { return handler ? " (handler)" : " (delegate)"; }
};

// Runs the request once each way, each in a session of its own, and hands over both outcomes.
void runBothWays(const URLRequest& request, const std::function<void(const Outcome&)>& check)
{
    for (bool handler : { true, false }) {
        Session session;
        std::string body;
        const long code = handler ? session.runWithHandler(request, &body) : session.runThroughDelegate(request);
        check(Outcome {handler, code, body, *session.delegate});
    }
}

std::string pathOf(const std::string& head)
{
    auto start = head.find(' ') + 1;
    return head.substr(start, head.find(' ', start) - start);
}

} // namespace

TEST(URLSessionLimits, ResponseBodiesEndAtTheConfiguredSizeCountedAfterDecoding)
{
    constexpr std::int64_t limit = 1 << 20;
    const std::string bomb = gzipped(std::string(8 << 20, '\0')); // 8 MiB of zeros in a few KiB
    const std::string exact(limit, 'x');
    RawServer server([&](RawServer& s, int fd, const std::string& head) {
        const std::string path = pathOf(head);
        if (path == "/endless") {
            if (s.send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"))
                s.sendChunksForever(fd, std::string(64 << 10, 'a'));
        } else if (path == "/bomb") {
            s.send(fd, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n\r\n" + bomb);
        } else {
            s.send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(exact.size()) + "\r\nConnection: close\r\n\r\n" + exact);
        }
    });
    ASSERT_LT(static_cast<std::int64_t>(bomb.size()), limit);

    URLSessionConfiguration configuration;
    EXPECT_GT(configuration.maximumResponseBodyBytes(), 0) << "a session never reads without a bound";
    configuration.setMaximumResponseBodyBytes(limit);
    struct Case {
        const char* path;
        bool handler;
        long expected;
    };
    for (const Case& c : { Case { "/endless", true, NSURLErrorDataLengthExceedsMaximum }, Case { "/endless", false, NSURLErrorDataLengthExceedsMaximum },
                           Case { "/bomb", true, NSURLErrorDataLengthExceedsMaximum }, Case { "/bomb", false, NSURLErrorDataLengthExceedsMaximum },
                           Case { "/exact", true, 0 }, Case { "/exact", false, 0 } }) {
        Session session(configuration);
        std::string body;
        const long code = c.handler ? session.runWithHandler(requestFor(server.url(c.path)), &body)
                                    : session.runThroughDelegate(requestFor(server.url(c.path)));
        EXPECT_EQ(code, c.expected) << c.path << (c.handler ? " handler" : " delegate");
        if (!c.handler) {
            EXPECT_LE(session.delegate->received, static_cast<std::size_t>(limit)) << c.path;
        } else if (c.expected == 0) {
            EXPECT_EQ(body.size(), exact.size());
        }
    }
}

TEST(URLSessionLimits, DownloadsAndDiscardedChallengeBodiesEndAtTheLimitToo)
{
    RawServer server([](RawServer& s, int fd, const std::string& head) {
        std::string status = "200 OK";
        if (pathOf(head) == "/vault" && head.find("Authorization: Digest") == std::string::npos)
            status = "401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"Vault\", qop=\"auth\", nonce=\"n0nce\", algorithm=MD5";
        if (s.send(fd, "HTTP/1.1 " + status + "\r\nTransfer-Encoding: chunked\r\n\r\n"))
            s.sendChunksForever(fd, std::string(64 << 10, 'd'));
    });
    URLSessionConfiguration configuration;
    configuration.setMaximumResponseBodyBytes(1 << 20);

    // A download that never ends fills no disk.
    {
        Session session(configuration);
        bool done = false;
        long code = 0;
        auto task = session.session->downloadTaskWithRequest(
            requestFor(server.url("/file")), [&](const std::optional<URL>&, const std::optional<HTTPURLResponse>&, const foundation::ErrorPtr& error) {
                code = error ? error->code() : 0;
                done = true;
            });
        task->resume();
        ASSERT_TRUE(waitFor([&] { return done; }));
        EXPECT_EQ(code, NSURLErrorDataLengthExceedsMaximum);
        for (const auto& entry : std::filesystem::directory_iterator(std::getenv("TMPDIR")))
            EXPECT_FALSE(entry.path().filename().string().starts_with("NetDownload_")) << entry.path();
    }
    // The body of the challenge that Digest authentication reads past is counted as well.
    {
        Session session(configuration);
        session.delegate->answersChallenges = true;
        EXPECT_EQ(session.runThroughDelegate(requestFor(server.url("/vault"))), NSURLErrorDataLengthExceedsMaximum);
    }
}

TEST(URLSessionLimits, HeadersThatNeverEndAreRefused)
{
    RawServer server([](RawServer& s, int fd, const std::string&) {
        if (!s.send(fd, "HTTP/1.1 200 OK\r\n"))
            return;
        const std::string line = "X-Filler: " + std::string(1000, 'h') + "\r\n";
        while (s.send(fd, line)) { }
    });
    Session session;
    EXPECT_NE(session.runWithHandler(requestFor(server.url("/"))), 0);
}

TEST(URLSessionRedirects, ARedirectsBodyIsNotReadOnceTheRedirectIsFollowed)
{
    RawServer server([](RawServer& s, int fd, const std::string& head) {
        if (pathOf(head) == "/start") {
            if (s.send(fd, "HTTP/1.1 302 Found\r\nLocation: /x\r\nTransfer-Encoding: chunked\r\n\r\n"))
                s.sendChunksForever(fd, std::string(4096, 'r'));
            return;
        }
        s.send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndone");
    });
    runBothWays(requestFor(server.url("/start")), [](const Outcome& o) {
        EXPECT_EQ(o.code, 0) << o.way();
        EXPECT_EQ(o.body, o.handler ? "done" : "") << o.way();
    });
}

TEST(URLSessionRedirects, SixteenRedirectsAreFollowedTheSeventeenthIsTooMany)
{
    testsupport::LocalServer server;
    server.server().Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const int left = std::stoi(req.matches[1]);
        if (left == 0)
            return res.set_content("arrived", "text/plain");
        res.set_redirect("/hop/" + std::to_string(left - 1));
    });
    server.start();
    Session session;
    std::string body;
    EXPECT_EQ(session.runWithHandler(requestFor(server.url("/hop/16")), &body), 0);
    EXPECT_EQ(body, "arrived");
    EXPECT_EQ(session.runWithHandler(requestFor(server.url("/hop/17"))), NSURLErrorHTTPTooManyRedirects);
}

TEST(URLSessionRedirects, CredentialsNeverLeaveTheOriginTheyWereMeantFor)
{
    const auto& pki = TestPKI::shared();
    testsupport::TempDir dir;
    std::mutex mutex;
    std::vector<std::string> seen; // what each server saw, in order
    auto recorder = [&](const std::string& name) {
        return [&, name](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            seen.push_back(name + " auth=" + req.get_header_value("Authorization") + " key=" + req.get_header_value("MOVARA-API-KEY")
                           + " accept=" + req.get_header_value("Accept"));
            res.set_content("landed", "text/plain");
        };
    };
    testsupport::LocalServer plain;
    plain.server().Get("/landing", recorder("plain"));
    testsupport::LocalServer elsewhere;
    elsewhere.server().Get("/landing", recorder("elsewhere"));
    testsupport::LocalServer secure(dir.write("c.pem", pki.server.certificatePEM).string(), dir.write("k.pem", pki.server.keyPEM).string());
    secure.server().Get("/landing", recorder("secure"));
    secure.server().Get("/to", [](const httplib::Request& req, httplib::Response& res) { res.set_redirect(req.get_param_value("u")); });
    plain.server().Get("/to", [](const httplib::Request& req, httplib::Response& res) { res.set_redirect(req.get_param_value("u")); });
    plain.start();
    elsewhere.start();
    secure.start();
    security::Trust::setSystemRootsForTesting({ security::Certificate::createWithPEM(pki.ca.certificatePEM) });

    const std::string kept = " auth=Basic YW5uOnNlY3JldA== key=k3y accept=application/json";
    const std::string dropped = " auth= key= accept=application/json";
    struct Case {
        const char* name;
        std::string from;
        std::string to;
        long error;
        std::string arrival; // what the landing server saw; empty: nothing arrived
    };
    const Case cases[] = {
        { "same origin", plain.url("/to"), plain.url("/landing"), 0, "plain" + kept },
        { "another host", plain.url("/to"), "http://localhost:" + std::to_string(plain.port()) + "/landing", 0, "plain" + dropped },
        { "another port", plain.url("/to"), elsewhere.url("/landing"), 0, "elsewhere" + dropped },
        { "https to https elsewhere", secure.url("/to"), "https://localhost:" + std::to_string(secure.port()) + "/landing", 0, "secure" + dropped },
        { "https down to http", secure.url("/to"), plain.url("/landing"), NSURLErrorAppTransportSecurityRequiresSecureConnection, "" },
        { "http up to https", plain.url("/to"), secure.url("/landing"), 0, "secure" + dropped },
    };
    for (const Case& c : cases) {
        {
            std::lock_guard lock(mutex);
            seen.clear();
        }
        URLRequest request = requestFor(c.from + "?u=" + c.to);
        request.setValueForHTTPHeaderField("Basic YW5uOnNlY3JldA==", "Authorization");
        request.setValueForHTTPHeaderField("k3y", "MOVARA-API-KEY");
        request.setValueForHTTPHeaderField("application/json", "Accept");
        Session session;
        EXPECT_EQ(session.runWithHandler(request), c.error) << c.name;
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, c.arrival.empty() ? std::vector<std::string> {} : std::vector<std::string> { c.arrival }) << c.name;
    }
    security::Trust::setSystemRootsForTesting({});
}

TEST(URLSessionRedirects, ABodyIsNeverSentOnToAnotherOrigin)
{
    std::mutex mutex;
    std::vector<std::string> seen;
    auto recorder = [&](const std::string& name) {
        return [&, name](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            seen.push_back(name + " " + req.method + " " + req.body);
            res.set_content("landed", "text/plain");
        };
    };
    testsupport::LocalServer origin;
    testsupport::LocalServer elsewhere;
    for (auto* server : { &origin, &elsewhere }) {
        server->server().Post("/landing", recorder(server == &origin ? "origin" : "elsewhere"));
        server->server().Put("/landing", recorder(server == &origin ? "origin" : "elsewhere"));
    }
    auto redirect = [&](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.get_param_value("status"));
        res.set_header("Location", req.get_param_value("u"));
    };
    origin.server().Post("/to", redirect);
    origin.server().Put("/to", redirect);
    origin.start();
    elsewhere.start();

    struct Case {
        const char* method;
        int status;
        std::string to;
        long finalStatus;
        std::vector<std::string> arrivals;
    };
    const Case cases[] = {
        { "POST", 307, origin.url("/landing"), 200, { "origin POST password=s3cret" } },
        { "POST", 307, elsewhere.url("/landing"), 307, {} },
        { "POST", 308, elsewhere.url("/landing"), 308, {} },
        { "PUT", 302, elsewhere.url("/landing"), 302, {} },
    };
    for (const Case& c : cases) {
        {
            std::lock_guard lock(mutex);
            seen.clear();
        }
        URLRequest request = requestFor(origin.url("/to") + "?status=" + std::to_string(c.status) + "&u=" + c.to);
        request.setHTTPMethod(c.method);
        request.setHTTPBody(foundation::Data { 'p', 'a', 's', 's', 'w', 'o', 'r', 'd', '=', 's', '3', 'c', 'r', 'e', 't' });
        Session session;
        bool done = false;
        long status = 0;
        auto task = session.session->dataTaskWithRequest(
            request, [&](const foundation::Data&, const std::optional<HTTPURLResponse>& response, const foundation::ErrorPtr& error) {
                EXPECT_FALSE(error) << c.method << " " << c.status;
                status = response ? response->statusCode() : 0;
                done = true;
            });
        task->resume();
        ASSERT_TRUE(waitFor([&] { return done; }));
        EXPECT_EQ(status, c.finalStatus) << c.method << " " << c.status << " " << c.to;
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, c.arrivals) << c.method << " " << c.status << " " << c.to;
    }
}

TEST(URLSessionTrust, EveryRequestIsJudgedEvenOnAConnectionAnotherRequestOpened)
{
    const auto& pki = TestPKI::shared();
    testsupport::TempDir dir;
    testsupport::LocalServer server(dir.write("c.pem", pki.selfSigned.certificatePEM).string(), dir.write("k.pem", pki.selfSigned.keyPEM).string());
    server.keepConnectionsOpen();
    server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("private", "text/plain"); });
    server.start();
    security::Trust::setSystemRootsForTesting({});

    Session session;
    session.delegate->answersChallenges = true;
    ASSERT_EQ(session.runThroughDelegate(requestFor(server.url("/x")), "pinned"), 0);
    EXPECT_EQ(session.runThroughDelegate(requestFor(server.url("/x")), "default"), NSURLErrorServerCertificateUntrusted)
        << "the second request rode on the first one's trust";
    EXPECT_EQ(session.runThroughDelegate(requestFor(server.url("/x")), "pinned"), 0);
}

TEST(URLSessionTrust, UsingACredentialWithoutTrustStillChecksTheCertificate)
{
    const auto& pki = TestPKI::shared();
    testsupport::TempDir dir;
    testsupport::LocalServer server(dir.write("c.pem", pki.selfSigned.certificatePEM).string(), dir.write("k.pem", pki.selfSigned.keyPEM).string());
    server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("private", "text/plain"); });
    server.start();
    security::Trust::setSystemRootsForTesting({});

    Session session;
    session.delegate->answersChallenges = true;
    session.delegate->credentialCarriesTrust = false;
    EXPECT_EQ(session.runThroughDelegate(requestFor(server.url("/x")), "pinned"), NSURLErrorServerCertificateUntrusted);
    EXPECT_EQ(session.delegate->received, 0u);
}

TEST(URLSessionLimits, ABodyLengthThatCannotBeTrustedFailsTheAnswer)
{
    // A length past what any body can have, or two lengths that disagree, leave the end of the
    // body to guesswork (and let a server or a proxy in between smuggle an answer): the answer
    // is refused rather than delivered cut short or overlong as a success.
    struct Case {
        const char* name;
        const char* reply;
        long code;
        const char* body;
    };
    const Case cases[] = {
        { "length past 2^63", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc", NSURLErrorBadServerResponse, "" },
        { "two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 5\r\n\r\nhello", NSURLErrorBadServerResponse, "" },
        { "two lengths in one field", "HTTP/1.1 200 OK\r\nContent-Length: 5, 2\r\n\r\nhello", NSURLErrorBadServerResponse, "" },
        { "a length with letters", "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello", NSURLErrorBadServerResponse, "" },
        { "the same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello", 0, "hello" },
        { "a body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this", NSURLErrorNetworkConnectionLost, "" },
        { "a chunk cut short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", NSURLErrorNetworkConnectionLost, "" },
        { "a body that is not gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n\r\n0123456789",
          NSURLErrorCannotDecodeRawData, "" },
        { "a redirect to a file", "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n",
          NSURLErrorUnsupportedURL, "" },
    };
    for (const Case& c : cases) {
        const std::string reply = c.reply;
        RawServer server([reply](RawServer& s, int fd, const std::string&) { s.send(fd, reply); });
        runBothWays(requestFor(server.url("/")), [&c](const Outcome& o) {
            EXPECT_EQ(o.code, c.code) << c.name << o.way();
            if (o.handler) {
                EXPECT_EQ(o.body, c.body) << c.name;
            }
        });
    }
}


TEST(URLSessionDownloads, AResumedDownloadTakesOnlyThePartItAskedFor)
{
    const std::string content = std::string(30000, 'x') + std::string(30000, 'y');
    struct Case {
        const char* name;
        long first;
        long code;
    };
    const Case cases[] = {
        { "the part asked for", 30000, 0 },
        { "the whole body again as a part", 0, 0 },
        { "another part", 100, NSURLErrorBadServerResponse },
    };
    for (const Case& c : cases) {
        std::atomic<bool> release = false;
        RawServer server([&](RawServer& s, int fd, const std::string& head) {
            if (head.find("\r\nRange: ") == std::string::npos) {
                if (s.send(fd, "HTTP/1.1 200 OK\r\nETag: \"e1\"\r\nContent-Length: 60000\r\n\r\n") && s.send(fd, content.substr(0, 30000))) {
                    while (!release && !s.stopping())
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                return;
            }
            const std::string part = content.substr(static_cast<std::size_t>(c.first));
            s.send(fd, "HTTP/1.1 206 Partial Content\r\nETag: \"e1\"\r\nContent-Range: bytes " + std::to_string(c.first)
                       + "-59999/60000\r\nContent-Length: " + std::to_string(part.size()) + "\r\nConnection: close\r\n\r\n" + part);
        });
        struct Progress : URLSessionDelegate {
            std::atomic<std::int64_t> written = 0;
            void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t, std::int64_t total, std::int64_t) override { written = total; }
        };
        auto delegate = std::make_shared<Progress>();
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration {}, delegate, dispatch::Queue::main());
        auto first = session->downloadTaskWithRequest(requestFor(server.url("/big")));
        first->resume();
        ASSERT_TRUE(waitFor([&] { return delegate->written >= 30000; })) << c.name;
        std::optional<foundation::Data> resumeData;
        bool cancelled = false;
        first->cancelByProducingResumeData([&](const std::optional<foundation::Data>& data) {
            resumeData = data;
            cancelled = true;
        });
        ASSERT_TRUE(waitFor([&] { return cancelled; })) << c.name;
        release = true;
        ASSERT_TRUE(resumeData) << c.name;
        bool done = false;
        long code = 0;
        std::string body;
        auto second = session->downloadTaskWithResumeData(
            *resumeData, [&](const std::optional<foundation::URL>& location, const std::optional<HTTPURLResponse>&, const foundation::ErrorPtr& error) {
                code = error ? error->code() : 0;
                if (location) {
                    std::ifstream in(location->path(), std::ios::binary);
                    body.assign(std::istreambuf_iterator<char>(in), {});
                }
                done = true;
            });
        ASSERT_TRUE(second) << c.name;
        second->resume();
        ASSERT_TRUE(waitFor([&] { return done; })) << c.name;
        EXPECT_EQ(code, c.code) << c.name;
        if (c.code == 0) {
            EXPECT_TRUE(body == content) << c.name << ": " << body.size() << " bytes";
        }
        session->invalidateAndCancel();
        dispatch::RunLoop::main().runUntil([] { return false; }, 0.02);
    }
}

TEST(URLSessionTimeOuts, AnAnswerThatNeverCompletesTimesOutOnce)
{
    // The session's time-out holds for requests that keep the default one, and a response head
    // dribbled out a line at a time, or interim answers without end, count as no answer.
    using Handler = RawServer::Handler;
    auto dribble = [](std::string first, std::string again) -> Handler {
        return [first, again](RawServer& s, int fd, const std::string&) {
            if (!s.send(fd, first))
                return;
            for (int i = 0; i < 50 && s.send(fd, again); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
    };
    Handler silence = [](RawServer& s, int, const std::string&) {
        while (!s.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    struct Case {
        const char* name;
        Handler handler;
        const char* scheme = "http";
    };
    const Case cases[] = {
        { "silence", silence },
        { "a TLS handshake that stalls", silence, "https" }, // the server never answers the client's hello
        { "a byte at a time", dribble("HTTP/1.1 200 OK\r\nX-Wait: ", "w") },
        { "a header line at a time", dribble("HTTP/1.1 200 OK\r\n", "X-Wait: 1\r\n") },
        { "interim answers without end", dribble("", "HTTP/1.1 100 Continue\r\n\r\n") },
    };
    URLSessionConfiguration configuration;
    configuration.setTimeoutIntervalForRequest(0.5);
    for (const Case& c : cases) {
        RawServer server(c.handler);
        Session session(configuration);
        int calls = 0;
        long code = 0;
        auto task = session.session->dataTaskWithRequest(
            requestFor(c.scheme + server.url("/").substr(4)),
            [&](const foundation::Data&, const std::optional<HTTPURLResponse>&, const foundation::ErrorPtr& error) {
                ++calls;
                code = error ? error->code() : 0;
            });
        task->resume();
        EXPECT_TRUE(waitFor([&] { return calls > 0; }, 4)) << c.name;
        task->cancel();
        dispatch::RunLoop::main().runUntil([] { return false; }, 0.1);
        EXPECT_EQ(calls, 1) << c.name;
        EXPECT_EQ(code, NSURLErrorTimedOut) << c.name;
    }
}

TEST(URLSessionLimits, AnAnswerThatIsNotHTTPOrHasAnOversizedHeadIsABadServerResponse)
{
    struct Case {
        const char* name;
        std::string reply;
    };
    std::string manyFields = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 100000; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    const Case cases[] = {
        { "HTTP/0.9", "just some text\r\n\r\nmore" },
        { "binary", std::string("\x00\x01\x02\xff\xfe", 5) },
        { "an unknown version", "HTTP/9.9 200 OK\r\nContent-Length: 2\r\n\r\nhi" },
        { "a status of six digits", "HTTP/1.1 200000 OK\r\nContent-Length: 2\r\n\r\nhi" },
        { "a head cut short", "HTTP/1.1 200 OK\r\nContent-Le" },
        { "a status line of 10 MB", "HTTP/1.1 200 " + std::string(10 << 20, 'O') + "\r\nContent-Length: 2\r\n\r\nhi" },
        { "a field of 10 MB", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(10 << 20, 'a') + "\r\nContent-Length: 2\r\n\r\nhi" },
        { "100000 fields", manyFields + "Content-Length: 2\r\n\r\nhi" },
    };
    for (const Case& c : cases) {
        const std::string reply = c.reply;
        RawServer server([&reply](RawServer& s, int fd, const std::string&) { s.send(fd, reply); });
        Session session;
        EXPECT_EQ(session.runWithHandler(requestFor(server.url("/"))), NSURLErrorBadServerResponse) << c.name;
    }
}

TEST(URLSessionRedirects, ARedirectWithoutATargetIsTheAnswer)
{
    RawServer server([](RawServer& s, int fd, const std::string&) {
        s.send(fd, "HTTP/1.1 302 Found\r\nLocation: \r\nContent-Length: 4\r\n\r\nhere");
    });
    Session session;
    std::string body;
    EXPECT_EQ(session.runWithHandler(requestFor(server.url("/")), &body), 0);
    EXPECT_EQ(body, "here");
    EXPECT_EQ(server.heads().size(), 1u);
}

TEST(URLSessionLimits, ACompressedBodyIsDeliveredWholeOrNotAtAll)
{
    // The framing can be complete while the compressed stream inside it is not: a body cut
    // short, or spoiled, must fail rather than arrive shorter or wrong as a success.
    const std::string text = "a timelapse of clouds " + std::string(20000, 'c');
    const std::string gz = gzipped(text);
    auto deflated = [&](int windowBits) {
        z_stream stream {};
        deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&stream, text.size()), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream.avail_in = static_cast<uInt>(text.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FINISH);
        out.resize(stream.total_out);
        deflateEnd(&stream);
        return out;
    };
    std::string badCRC = gz;
    badCRC[badCRC.size() - 8] ^= 0x55;
    struct Case {
        const char* name;
        const char* coding;
        std::string body;
        long code;
        std::string delivered;
    };
    const Case cases[] = {
        { "gzip", "gzip", gz, 0, text },
        { "deflate", "deflate", deflated(15), 0, text },
        { "deflate without its wrapper", "deflate", deflated(-15), 0, text },
        { "two gzip members", "gzip", gzipped("one ") + gzipped("two"), 0, "one two" },
        { "an empty gzip body", "gzip", "", 0, "" },
        { "gzip cut in half", "gzip", gz.substr(0, gz.size() / 2), NSURLErrorCannotDecodeRawData, "" },
        { "gzip without its trailer", "gzip", gz.substr(0, gz.size() - 8), NSURLErrorCannotDecodeRawData, "" },
        { "gzip with a wrong checksum", "gzip", badCRC, NSURLErrorCannotDecodeRawData, "" },
        { "gzip and then garbage", "gzip", gz + "GARBAGE", NSURLErrorCannotDecodeRawData, "" },
        { "deflate cut in half", "deflate", deflated(15).substr(0, deflated(15).size() / 2), NSURLErrorCannotDecodeRawData, "" },
        { "a coding never asked for", "br", "ok", NSURLErrorCannotDecodeRawData, "" },
    };
    for (const Case& c : cases) {
        const std::string reply = std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") + c.coding + "\r\nContent-Length: "
            + std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
        RawServer server([&reply](RawServer& s, int fd, const std::string&) { s.send(fd, reply); });
        runBothWays(requestFor(server.url("/")), [&c](const Outcome& o) {
            EXPECT_EQ(o.code, c.code) << c.name << o.way();
            if (o.handler) {
                EXPECT_EQ(o.body, c.delivered) << c.name;
            } else {
                EXPECT_EQ(o.delegate.received, c.code ? o.delegate.received : c.delivered.size()) << c.name;
            }
        });
    }
}

TEST(URLSessionRedirects, APostIsSentOnAsTheStatusSays)
{
    // 307 and 308 repeat the method and body; 301, 302 and 303 turn a POST into a bodiless GET.
    // The target is named without a scheme ("//host:port/path"), as servers may.
    for (int status : { 301, 302, 303, 307, 308 }) {
        RawServer server([status](RawServer& s, int fd, const std::string& head) {
            if (pathOf(head) == "/from") {
                s.send(fd, "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: //127.0.0.1:" + std::to_string(s.port())
                           + "/to\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            // The body may come after the head in a packet of its own.
            std::string body = head.substr(head.find("\r\n\r\n") + 4);
            const auto lengthAt = head.find("Content-Length: ");
            const std::size_t length = lengthAt == std::string::npos ? 0 : std::stoul(head.substr(lengthAt + 16));
            char buffer[64];
            while (body.size() < length) {
                const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, length - body.size()), 0);
                if (n <= 0)
                    break;
                body.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string seen = head.substr(0, head.find(' ')) + " " + body;
            s.send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(seen.size()) + "\r\nConnection: close\r\n\r\n" + seen);
        });
        URLRequest request = requestFor(server.url("/from"));
        request.setHTTPMethod("POST");
        request.setHTTPBody(foundation::Data { 'a', '=', '1' });
        Session session;
        std::string body;
        EXPECT_EQ(session.runWithHandler(request, &body), 0) << status;
        EXPECT_EQ(body, status >= 307 ? "POST a=1" : "GET ") << status;
    }
}
