#include <gtest/gtest.h>

#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"

using foundation::Data;

namespace {

struct Result {
    bool done = false;
    bool succeeded = false;
    bool onMainThread = false;
    Data body;
    foundation::ErrorPtr error;
};

net::URLRequest requestFor(const std::string& url)
{
    return net::URLRequest(*foundation::URL::URLWithString(url));
}

std::shared_ptr<NKHTTPRequestOperation> operationReportingTo(Result& result, const std::string& url)
{
    auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(url));
    operation->setCompletionBlockWithSuccess(
        [&result](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any& object) {
            result.done = result.succeeded = true;
            result.onMainThread = dispatch::RunLoop::isMainThread();
            result.body = std::any_cast<Data>(object);
        },
        [&result](const std::shared_ptr<NKHTTPRequestOperation>&, const foundation::ErrorPtr& error) {
            result.done = true;
            result.onMainThread = dispatch::RunLoop::isMainThread();
            result.error = error;
        });
    return operation;
}

bool runUntilDone(const Result& result)
{
    return dispatch::RunLoop::main().runUntil([&] { return result.done; }, 10);
}

class NKHTTPRequestOperationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_server.server().Get("/avatar.png", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string("\x89PNG\r\n", 6), "image/png");
        });
        m_server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("nope", "text/plain");
        });
        m_server.start();
    }

    testsupport::LocalServer m_server;
};

} // namespace

TEST_F(NKHTTPRequestOperationTest, SuccessHandsTheBodyToTheSuccessBlockOnTheMainQueue)
{
    Result result;
    int started = 0;
    int finished = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto startToken = center.addObserver(NetKitOperationDidStartNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++started; });
    auto finishToken = center.addObserver(NetKitOperationDidFinishNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++finished; });

    auto operation = operationReportingTo(result, m_server.url("/avatar.png"));
    operation->start();
    ASSERT_TRUE(runUntilDone(result));
    dispatch::RunLoop::main().runUntil([&] { return finished == 1; }, 5);

    EXPECT_TRUE(result.succeeded);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.body, Data({ 0x89, 'P', 'N', 'G', '\r', '\n' }));
    EXPECT_TRUE(operation->isFinished());
    EXPECT_EQ(operation->response()->statusCode(), 200);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(finished, 1);
}

TEST_F(NKHTTPRequestOperationTest, FailuresReachOnlyTheFailureBlock)
{
    struct Case {
        std::string url;
        std::string domain;
        long code;
    };
    const Case cases[] = {
        { m_server.url("/missing"), "com.wirefern.error.serialization.response", -1011 },
        { "http://127.0.0.1:1/unreachable", "NSURLErrorDomain", net::NSURLErrorCannotConnectToHost },
    };
    for (const Case& c : cases) {
        Result result;
        auto operation = operationReportingTo(result, c.url);
        operation->start();
        ASSERT_TRUE(runUntilDone(result)) << c.url;
        EXPECT_FALSE(result.succeeded) << c.url;
        ASSERT_NE(result.error, nullptr) << c.url;
        EXPECT_EQ(result.error->domain(), c.domain) << c.url;
        EXPECT_EQ(result.error->code(), c.code) << c.url;
        // The operation's error is that error from now on.
        EXPECT_EQ(operation->error(), result.error) << c.url;
    }
}

TEST_F(NKHTTPRequestOperationTest, ReplacingTheSerializerSerializesAgain)
{
    Result result;
    auto operation = operationReportingTo(result, m_server.url("/avatar.png"));
    operation->start();
    ASSERT_TRUE(runUntilDone(result));
    ASSERT_EQ(operation->error(), nullptr);

    auto strict = NKHTTPResponseSerializer::serializer();
    strict->setAcceptableContentTypes(std::set<std::string> { "application/json" });
    operation->setResponseSerializer(strict);
    operation->responseObject();
    ASSERT_NE(operation->error(), nullptr);
    EXPECT_EQ(operation->error()->code(), -1016);

    operation->setResponseSerializer(NKHTTPResponseSerializer::serializer());
    EXPECT_EQ(operation->error(), nullptr);
    EXPECT_EQ(std::any_cast<Data>(operation->responseObject()).size(), 6u);
}

TEST_F(NKHTTPRequestOperationTest, CancelBeforeStartFinishesWithTheCancelledError)
{
    Result result;
    auto operation = operationReportingTo(result, m_server.url("/avatar.png"));
    operation->cancel();
    EXPECT_TRUE(operation->isReady()) << "a cancelled operation is ready to finish";
    operation->start();
    ASSERT_TRUE(runUntilDone(result));
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->code(), net::NSURLErrorCancelled);
    EXPECT_EQ(result.error->stringForKey(net::NSURLErrorFailingURLErrorKey), m_server.url("/avatar.png"));
    EXPECT_TRUE(operation->isFinished());
    operation->cancel(); // finished: nothing happens
}

TEST_F(NKHTTPRequestOperationTest, CancellingAPausedOperationFinishesItOnceWithTheCancelledError)
{
    // Paused while its server keeps it waiting, then cancelled: nothing would ever start it
    // again, so the cancellation ends it there and then.
    m_server.server().Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
        m_server.holdRequest();
        res.set_content("late", "text/plain");
    });
    int completions = 0;
    foundation::ErrorPtr error;
    auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(m_server.url("/slow")));
    operation->setCompletionBlockWithSuccess([&](const auto&, const std::any&) { ++completions; },
                                             [&](const auto&, const foundation::ErrorPtr& e) {
                                                 ++completions;
                                                 error = e;
                                             });
    operation->start();
    ASSERT_TRUE(m_server.waitForHeldRequest());
    operation->pause();
    ASSERT_TRUE(operation->isPaused());
    operation->cancel();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return completions > 0; }, 10));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.1);
    EXPECT_EQ(completions, 1);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), net::NSURLErrorCancelled);
    EXPECT_TRUE(operation->isFinished());
    m_server.releaseHeldRequests();
}

TEST_F(NKHTTPRequestOperationTest, StateChangesFollowTheTransitionRule)
{
    auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(m_server.url("/avatar.png")));
    operation->setState(NKOperationFinishedState);
    EXPECT_EQ(operation->state(), NKOperationReadyState) << "ready to finished needs a cancellation";
    operation->setState(NKOperationExecutingState);
    operation->setState(NKOperationReadyState);
    EXPECT_EQ(operation->state(), NKOperationExecutingState);
    operation->setState(NKOperationFinishedState);
    operation->setState(NKOperationExecutingState);
    EXPECT_EQ(operation->state(), NKOperationFinishedState) << "finished is final";
}

TEST_F(NKHTTPRequestOperationTest, CompletionGroupAndQueueAreHonouredEvenWithoutBlocks)
{
    auto group = dispatch::Group::make();
    auto queue = dispatch::Queue::serial("test.completion");
    auto operation = NKHTTPRequestOperation::initWithRequest(requestFor(m_server.url("/avatar.png")));
    operation->setCompletionGroup(group);
    operation->setCompletionQueue(queue);
    std::atomic<bool> onQueue = false;
    std::atomic<bool> called = false;
    operation->setCompletionBlockWithSuccess(
        [&](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any&) {
            onQueue = queue->isCurrent();
            called = true;
        },
        nullptr);
    operation->start();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return called.load(); }, 10));
    EXPECT_TRUE(group->wait(5));
    EXPECT_TRUE(onQueue);

    // No blocks at all: the group is still entered and left.
    auto silent = NKHTTPRequestOperation::initWithRequest(requestFor(m_server.url("/missing")));
    silent->setCompletionGroup(group);
    silent->setCompletionBlockWithSuccess(nullptr, nullptr);
    silent->start();
    // Its completion runs on the main queue, so the main loop turns while the group drains.
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return silent->isFinished() && group->wait(0); }, 10));
}
