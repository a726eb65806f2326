#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/URLSession.h"
#include "Tests/Platform/Net/LocalServer.h"

using namespace net;
using foundation::URL;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

std::string md5Hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// The value of `name` in a Digest "Authorization" field, quoted or not.
std::string digestField(const std::string& header, const std::string& name)
{
    for (std::size_t at = header.find(name + "="); at != std::string::npos; at = header.find(name + "=", at + 1)) {
        if (at > 0 && header[at - 1] != ' ' && header[at - 1] != ',')
            continue;
        std::size_t begin = at + name.size() + 1;
        if (header[begin] == '"')
            return header.substr(begin + 1, header.find('"', begin + 1) - begin - 1);
        return header.substr(begin, header.find_first_of(", ", begin) - begin);
    }
    return {};
}

// Answers HTTP challenges with the credentials of a list, one per challenge, and records them.
struct ChallengeDelegate : URLSessionDelegate {
    bool answersTaskChallenges = true;
    bool respondsTo(Hook hook) const override { return hook == Hook::TaskChallenge ? answersTaskChallenges : hook == Hook::DidReceiveResponse; }

    std::vector<std::pair<URLSessionAuthChallengeDisposition, URLCredentialPtr>> answers;
    std::vector<URLAuthenticationChallenge> challenges;
    URLSessionResponseDisposition responseDisposition = URLSessionResponseDisposition::Allow;

    foundation::Data received;
    std::optional<HTTPURLResponse> response;
    foundation::ErrorPtr error;
    int completions = 0;
    std::uint64_t completedTask = 0;
    std::uint64_t becameDownload = 0;
    std::string downloaded;
    bool invalid = false;

    void taskDidReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge& challenge, ChallengeCompletion completion) override
    {
        challenges.push_back(challenge);
        if (challenges.size() <= answers.size())
            completion(answers[challenges.size() - 1].first, answers[challenges.size() - 1].second);
        else
            completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    void didReceiveResponse(URLSession&, URLSessionDataTask&, const HTTPURLResponse& r, std::function<void(URLSessionResponseDisposition)> completion) override
    {
        response = r;
        completion(responseDisposition);
    }
    void didReceiveData(URLSession&, URLSessionDataTask&, const foundation::Data& data) override
    {
        received.insert(received.end(), data.begin(), data.end());
    }
    void didBecomeDownloadTask(URLSession&, URLSessionDataTask& dataTask, URLSessionDownloadTask& downloadTask) override
    {
        EXPECT_NE(dataTask.taskIdentifier(), downloadTask.taskIdentifier());
        EXPECT_EQ(downloadTask.taskDescription(), dataTask.taskDescription());
        becameDownload = downloadTask.taskIdentifier();
    }
    void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const URL& location) override
    {
        std::ifstream in(location.path(), std::ios::binary);
        downloaded.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void didCompleteWithError(URLSession&, URLSessionTask& task, const foundation::ErrorPtr& e) override
    {
        error = e;
        response = task.response();
        completedTask = task.taskIdentifier();
        ++completions;
    }
    void didBecomeInvalidWithError(URLSession&, const foundation::ErrorPtr&) override { invalid = true; }
};

// A server whose "/basic" and "/digest" pages want the user "ann" with the password "s3cret".
struct ProtectedServer {
    ProtectedServer()
    {
        server.server().Get("/basic", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            authorizations.push_back(request.get_header_value("Authorization"));
            // "ann:s3cret" in Base64.
            if (request.get_header_value("Authorization") == "Basic YW5uOnMzY3JldA==") {
                response.set_content("welcome", "text/plain");
                return;
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"Members\"");
            response.set_content("denied", "text/plain");
        });
        server.server().Get("/digest", [this](const httplib::Request& request, httplib::Response& response) {
            const std::string header = request.get_header_value("Authorization");
            {
                std::lock_guard lock(mutex);
                authorizations.push_back(header);
            }
            const std::string nonce = "b7e1f0c2d3";
            if (header.rfind("Digest ", 0) == 0 && digestField(header, "nonce") == nonce) {
                const std::string ha1 = md5Hex("ann:Vault:s3cret");
                const std::string ha2 = md5Hex("GET:" + digestField(header, "uri"));
                std::string expected;
                if (digestField(header, "qop").empty())
                    expected = md5Hex(ha1 + ":" + nonce + ":" + ha2);
                else
                    expected = md5Hex(ha1 + ":" + nonce + ":" + digestField(header, "nc") + ":" + digestField(header, "cnonce") + ":"
                                      + digestField(header, "qop") + ":" + ha2);
                if (digestField(header, "username") == "ann" && digestField(header, "response") == expected) {
                    response.set_content("digest welcome", "text/plain");
                    return;
                }
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Digest realm=\"Vault\", qop=\"auth\", nonce=\"" + nonce + "\", algorithm=MD5");
            response.set_content("denied", "text/plain");
        });
        server.start();
    }
    std::vector<std::string> seen()
    {
        std::lock_guard lock(mutex);
        return authorizations;
    }

    std::mutex mutex;
    std::vector<std::string> authorizations;
    testsupport::LocalServer server;
};

struct Session {
    explicit Session(URLSessionConfiguration configuration = {})
        : delegate(std::make_shared<ChallengeDelegate>())
        , session(URLSession::sessionWithConfiguration(configuration, delegate, dispatch::Queue::main()))
    {
    }
    ~Session()
    {
        session->invalidateAndCancel();
        waitFor([&] { return delegate->invalid; });
    }
    void run(const std::string& url)
    {
        auto task = session->dataTaskWithRequest(URLRequest(*URL::URLWithString(url)));
        ASSERT_TRUE(task);
        task->resume();
        ASSERT_TRUE(waitFor([&] { return delegate->completions > 0; }));
    }
    std::string body() const { return std::string(delegate->received.begin(), delegate->received.end()); }

    std::shared_ptr<ChallengeDelegate> delegate;
    std::shared_ptr<URLSession> session;
};

URLCredentialPtr ann(const std::string& password, URLCredentialPersistence persistence = URLCredentialPersistence::None)
{
    return URLCredential::credentialWithUser("ann", password, persistence);
}

constexpr auto Use = URLSessionAuthChallengeDisposition::UseCredential;

} // namespace

TEST(URLSessionAuthentication, ChallengesAreAnsweredWithUserAndPasswordAndCountFailures)
{
    struct Case {
        const char* name;
        const char* path;
        std::vector<std::pair<URLSessionAuthChallengeDisposition, URLCredentialPtr>> answers;
        long status;
        std::string body;
        std::vector<long> failureCounts;
        std::string method;
    };
    const std::vector<Case> cases = {
        { "basic, right at once", "/basic", { { Use, ann("s3cret") } }, 200, "welcome", { 0 }, URLAuthenticationMethodHTTPBasic },
        { "basic, wrong then right", "/basic", { { Use, ann("wrong") }, { Use, ann("s3cret") } }, 200, "welcome", { 0, 1 },
          URLAuthenticationMethodHTTPBasic },
        { "basic, wrong then give up", "/basic", { { Use, ann("wrong") } }, 401, "denied", { 0, 1 }, URLAuthenticationMethodHTTPBasic },
        { "digest through libcurl", "/digest", { { Use, ann("s3cret") } }, 200, "digest welcome", { 0 }, URLAuthenticationMethodHTTPDigest },
        { "digest, wrong then right", "/digest", { { Use, ann("nope") }, { Use, ann("s3cret") } }, 200, "digest welcome", { 0, 1 },
          URLAuthenticationMethodHTTPDigest },
        { "default handling delivers the 401", "/basic", {}, 401, "denied", { 0 }, URLAuthenticationMethodHTTPBasic },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProtectedServer server;
        URLSessionConfiguration configuration;
        configuration.setCredentialStorage(nullptr);
        Session session(configuration);
        session.delegate->answers = c.answers;
        session.run(server.server.url(c.path));
        EXPECT_FALSE(session.delegate->error);
        ASSERT_TRUE(session.delegate->response);
        EXPECT_EQ(session.delegate->response->statusCode(), c.status);
        // Only the final answer's body reaches the delegate: a refused attempt leaves nothing.
        EXPECT_EQ(session.body(), c.body);
        std::vector<long> counts;
        for (const auto& challenge : session.delegate->challenges) {
            counts.push_back(challenge.previousFailureCount);
            EXPECT_EQ(challenge.protectionSpace.authenticationMethod, c.method);
            EXPECT_EQ(challenge.protectionSpace.host, "127.0.0.1");
            EXPECT_EQ(challenge.protectionSpace.realm, std::string(c.path) == "/basic" ? "Members" : "Vault");
            ASSERT_TRUE(challenge.failureResponse);
            EXPECT_EQ(challenge.failureResponse->statusCode(), 401);
        }
        EXPECT_EQ(counts, c.failureCounts);
    }
}

TEST(URLSessionAuthentication, CancellingEndsTheTaskAndEndlessCredentialsStop)
{
    ProtectedServer server;
    {
        Session session;
        session.delegate->answers = { { URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr } };
        session.run(server.server.url("/basic"));
        ASSERT_TRUE(session.delegate->error);
        EXPECT_EQ(session.delegate->error->code(), NSURLErrorCancelled);
    }
    {
        // A delegate that never looks at the failure count must not keep the task asking for ever.
        Session session;
        for (int i = 0; i < 100; ++i)
            session.delegate->answers.push_back({ Use, ann("wrong") });
        session.run(server.server.url("/basic"));
        EXPECT_FALSE(session.delegate->error);
        ASSERT_TRUE(session.delegate->response);
        EXPECT_EQ(session.delegate->response->statusCode(), 401);
        EXPECT_LT(session.delegate->challenges.size(), 20u);
    }
}

TEST(URLSessionAuthentication, KeptCredentialsAnswerLaterChallengesByDefault)
{
    ProtectedServer server;
    auto storage = std::make_shared<URLCredentialStorage>();
    URLSessionConfiguration configuration;
    configuration.setCredentialStorage(storage);
    {
        // A credential kept for the session goes into the storage once the server took it.
        Session session(configuration);
        session.delegate->answers = { { Use, ann("s3cret", URLCredentialPersistence::ForSession) } };
        session.run(server.server.url("/basic"));
        ASSERT_TRUE(session.delegate->response);
        EXPECT_EQ(session.delegate->response->statusCode(), 200);
    }
    URLProtectionSpace space;
    space.host = "127.0.0.1";
    space.port = server.server.port();
    space.protocol = "http";
    space.realm = "Members";
    ASSERT_TRUE(storage->defaultCredentialForProtectionSpace(space));
    {
        Session session(configuration);
        session.run(server.server.url("/basic"));
        ASSERT_TRUE(session.delegate->response);
        EXPECT_EQ(session.delegate->response->statusCode(), 200);
        EXPECT_EQ(session.body(), "welcome");
    }
    {
        // A delegate that takes the challenges itself no longer reaches the stored credential
        // once it refused.
        Session session(configuration);
        session.delegate->answers = { { URLSessionAuthChallengeDisposition::RejectProtectionSpace, nullptr } };
        session.run(server.server.url("/basic"));
        EXPECT_EQ(session.delegate->response->statusCode(), 401);
    }
}

TEST(URLSessionResponses, ADataTaskBecomesADownloadThatGetsTheWholeBody)
{
    testsupport::LocalServer server;
    const std::string payload(300000, 'q');
    server.server().Get("/big", [&](const httplib::Request&, httplib::Response& response) { response.set_content(payload, "application/octet-stream"); });
    server.start();
    Session session;
    session.delegate->responseDisposition = URLSessionResponseDisposition::BecomeDownload;
    auto task = session.session->dataTaskWithRequest(URLRequest(*URL::URLWithString(server.url("/big"))));
    task->setTaskDescription("mine");
    task->resume();
    ASSERT_TRUE(waitFor([&] { return session.delegate->completions > 0; }));
    EXPECT_FALSE(session.delegate->error);
    EXPECT_NE(session.delegate->becameDownload, 0u);
    EXPECT_EQ(session.delegate->completedTask, session.delegate->becameDownload);
    EXPECT_TRUE(session.delegate->received.empty());
    EXPECT_EQ(session.delegate->downloaded.size(), payload.size());
    EXPECT_EQ(session.delegate->downloaded, payload);
    EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
}
