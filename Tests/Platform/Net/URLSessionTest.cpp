#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/URLSession.h"
#include "Tests/Platform/Net/LocalServer.h"

using namespace net;
using foundation::URL;

namespace {

struct Outcome {
    std::string body;
    std::optional<HTTPURLResponse> response;
    foundation::ErrorPtr error;
    bool onDelegateQueue = false;
};

URLRequest requestFor(const std::string& url)
{
    return URLRequest(*URL::URLWithString(url));
}

Outcome run(const std::shared_ptr<URLSession>& session, const URLRequest& request,
            const std::function<void(URLSessionTask&)>& afterResume = nullptr)
{
    std::promise<Outcome> promise;
    auto future = promise.get_future();
    auto queue = session->delegateQueue();
    auto task = session->dataTaskWithRequest(request, [&promise, queue](const foundation::Data& data,
                                                                       const std::optional<HTTPURLResponse>& response,
                                                                       const foundation::ErrorPtr& error) {
        promise.set_value({ std::string(data.begin(), data.end()), response, error, queue->isCurrent() });
    });
    task->resume();
    if (afterResume)
        afterResume(*task);
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        ADD_FAILURE() << "the task never completed";
    return future.get();
}

// A port on which nothing listens: bound, then closed again.
int closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

TEST(URLSession, GetDeliversBodyStatusAndHeadersOnTheDelegateQueue)
{
    testsupport::LocalServer server;
    server.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Thing", "one");
        res.set_content("hi there", "text/plain; charset=ISO-8859-1");
    });
    server.start();

    auto session = URLSession::sessionWithDelegateQueue(nullptr);
    Outcome outcome = run(session, requestFor(server.url("/hello")));
    ASSERT_EQ(outcome.error, nullptr);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.body, "hi there");
    EXPECT_EQ(outcome.response->statusCode(), 200);
    EXPECT_EQ(outcome.response->valueForHTTPHeaderField("x-thing"), "one");
    EXPECT_EQ(outcome.response->MIMEType(), "text/plain");
    EXPECT_EQ(outcome.response->textEncodingName(), "iso-8859-1");
    EXPECT_TRUE(outcome.onDelegateQueue);
}

TEST(URLSession, HTTPErrorStatusIsAResponseNotATransferError)
{
    testsupport::LocalServer server;
    server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("{\"error\":1}", "application/json");
    });
    server.start();

    Outcome outcome = run(URLSession::sharedSession(), requestFor(server.url("/missing")));
    EXPECT_EQ(outcome.error, nullptr);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode(), 404);
    EXPECT_EQ(outcome.body, "{\"error\":1}");
}

TEST(URLSession, MethodBodyAndHeadersReachTheServer)
{
    testsupport::LocalServer server;
    std::mutex mutex;
    std::vector<std::string> seen;
    auto echo = [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        seen.push_back(req.method + " " + req.body + " " + req.get_header_value("MOVARA-API-KEY") + " "
                       + (req.has_header("X-Evil") ? "injected" : "clean"));
        res.set_content("ok", "text/plain");
    };
    server.server().Post("/echo", echo);
    server.server().Put("/echo", echo);
    server.server().Delete("/echo", echo);
    server.start();

    auto session = URLSession::sessionWithDelegateQueue(nullptr);
    for (const std::string method : { "POST", "PUT", "DELETE" }) {
        URLRequest request = requestFor(server.url("/echo"));
        request.setHTTPMethod(method);
        request.setHTTPBody(foundation::Data { 'a', '=', '1' });
        request.setValueForHTTPHeaderField("abc", "movara-api-key");
        // A value that tries to smuggle a second header is not sent at all.
        request.setValueForHTTPHeaderField("x\r\nX-Evil: 1", "X-Note");
        Outcome outcome = run(session, request);
        EXPECT_EQ(outcome.error, nullptr) << method;
    }
    EXPECT_EQ(seen, (std::vector<std::string> { "POST a=1 abc clean", "PUT a=1 abc clean", "DELETE a=1 abc clean" }));
}

TEST(URLSession, RedirectsAreFollowedAndTheResponseNamesTheFinalURL)
{
    testsupport::LocalServer server;
    server.server().Get("/old", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/new"); });
    server.server().Get("/new", [](const httplib::Request&, httplib::Response& res) { res.set_content("moved", "text/plain"); });
    server.start();

    Outcome outcome = run(URLSession::sharedSession(), requestFor(server.url("/old")));
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.body, "moved");
    EXPECT_EQ(outcome.response->URL().absoluteString(), server.url("/new"));
}

TEST(URLSession, FailuresCarryTheURLDomainCodesAndTheFailingURL)
{
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x";
    struct Case {
        std::string url;
        long code;
    };
    for (const Case& c : { Case { refused, NSURLErrorCannotConnectToHost }, Case { "file:///etc/hostname", NSURLErrorUnsupportedURL },
                           Case { "ftp://127.0.0.1/x", NSURLErrorUnsupportedURL } }) {
        Outcome outcome = run(URLSession::sharedSession(), requestFor(c.url));
        ASSERT_NE(outcome.error, nullptr) << c.url;
        EXPECT_EQ(outcome.error->domain(), "NSURLErrorDomain") << c.url;
        EXPECT_EQ(outcome.error->code(), c.code) << c.url;
        EXPECT_EQ(outcome.error->stringForKey(NSURLErrorFailingURLErrorKey), c.url);
        EXPECT_FALSE(outcome.response);
    }
}

TEST(URLSession, ASilentServerTimesOutAfterTheRequestsInterval)
{
    testsupport::LocalServer server;
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        server.holdRequest();
        res.set_content("late", "text/plain");
    });
    server.start();

    URLRequest request = requestFor(server.url("/slow"));
    request.setTimeoutInterval(0.2);
    Outcome outcome = run(URLSession::sharedSession(), request);
    server.releaseHeldRequests();
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), NSURLErrorTimedOut);
}

TEST(URLSession, CancelEndsTheTaskOnceWithTheCancelledError)
{
    testsupport::LocalServer server;
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        server.holdRequest();
        res.set_content("late", "text/plain");
    });
    server.start();
    auto session = URLSession::sessionWithDelegateQueue(nullptr);

    // Cancelled while the server holds the request.
    Outcome running = run(session, requestFor(server.url("/slow")), [&](URLSessionTask& task) {
        ASSERT_TRUE(server.waitForHeldRequest());
        task.cancel();
        task.cancel();
    });
    ASSERT_NE(running.error, nullptr);
    EXPECT_EQ(running.error->code(), NSURLErrorCancelled);

    // Cancelled before it was ever resumed: completes all the same, exactly once.
    std::atomic<int> calls = 0;
    std::promise<long> code;
    auto task = session->dataTaskWithRequest(requestFor(server.url("/slow")),
                                             [&](const foundation::Data&, const std::optional<HTTPURLResponse>&, const foundation::ErrorPtr& error) {
                                                 if (calls++ == 0)
                                                     code.set_value(error ? error->code() : 0);
                                             });
    task->cancel();
    task->resume();
    auto future = code.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), NSURLErrorCancelled);
    EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
    session->delegateQueue()->sync([] { });
    EXPECT_EQ(calls.load(), 1);
}

TEST(HTTPURLResponse, DerivesTypeEncodingAndLengthFromHeaders)
{
    struct Case {
        HTTPHeaderFields headers;
        std::optional<std::string> mime;
        std::optional<std::string> encoding;
        std::int64_t length;
    };
    const Case cases[] = {
        { {}, std::nullopt, std::nullopt, -1 },
        { { { "content-type", "Application/JSON" }, { "Content-Length", "12" } }, "application/json", std::nullopt, 12 },
        { { { "Content-Type", "text/html; charset=\"UTF-8\"" } }, "text/html", "utf-8", -1 },
        { { { "Content-Type", "text/plain;format=flowed; Charset=latin1" }, { "Content-Length", "-3" } }, "text/plain", "latin1", -1 },
        { { { "Content-Type", ";charset=" }, { "Content-Length", "12abc" } }, std::nullopt, std::nullopt, -1 },
    };
    for (const Case& c : cases) {
        HTTPURLResponse response(*URL::URLWithString("http://h/"), 200, c.headers);
        EXPECT_EQ(response.MIMEType(), c.mime);
        EXPECT_EQ(response.textEncodingName(), c.encoding);
        EXPECT_EQ(response.expectedContentLength(), c.length);
    }
    EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(404), "not found");
    EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(599), "server error");
}

TEST(URLRequest, HeaderNamesIgnoreCaseAndAddedValuesJoinWithCommas)
{
    URLRequest request;
    EXPECT_EQ(request.HTTPMethod(), "GET");
    request.setValueForHTTPHeaderField("a", "Accept");
    request.addValueForHTTPHeaderField("b", "ACCEPT");
    EXPECT_EQ(request.valueForHTTPHeaderField("accept"), "a,b");
    request.setValueForHTTPHeaderField("c", "accept");
    EXPECT_EQ(request.allHTTPHeaderFields().size(), 1u);
    EXPECT_EQ(request.allHTTPHeaderFields().begin()->first, "accept");
    request.setValueForHTTPHeaderField(std::nullopt, "Accept");
    EXPECT_TRUE(request.allHTTPHeaderFields().empty());
}
