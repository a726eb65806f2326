#include <gtest/gtest.h>

#include <functional>

#include "MovaraKit/HTTP/NKHTTPRequestOperationManager.h"
#include "MovaraKit/HTTP/NKHTTPSessionManager.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPlatformCoding.h"
#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"
#include "MovaraKit/Service/MVRAPISessionManager.h"
#include "MovaraKit/Service/MVRJSONResponseSerializer.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Net/URLError.h"
#include "Tests/Platform/Net/LocalServer.h"

using foundation::CodingPtr;
using foundation::Data;
using foundation::ErrorPtr;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::URL;

namespace {

bool waitFor(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

Data archive(const std::shared_ptr<const foundation::Coding>& object)
{
    ErrorPtr error;
    Data data = KeyedArchiver::archivedDataWithRootObject(object, true, &error);
    EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
    return data;
}

// Decodes under secure coding, allowing only `className`.
template <class T>
std::shared_ptr<T> decode(const std::string& className, const Data& data, ErrorPtr* error = nullptr)
{
    ErrorPtr own;
    CodingPtr decoded = KeyedUnarchiver::unarchivedObjectOfClasses({ className }, data, error ? error : &own);
    return std::dynamic_pointer_cast<T>(decoded);
}

// Writes whatever a test asks under a class name of its choosing, to make hostile archives.
class ForgedObject : public foundation::Coding {
public:
    ForgedObject(std::string name, std::function<void(KeyedArchiver&)> encode) : m_name(std::move(name)), m_encode(std::move(encode)) { }
    std::string className() const override { return m_name; }
    void encodeWithCoder(KeyedArchiver& coder) const override { m_encode(coder); }

private:
    std::string m_name;
    std::function<void(KeyedArchiver&)> m_encode;
};

// Session managers hold their session until it is invalidated.
void release(const std::shared_ptr<NKURLSessionManager>& manager)
{
    if (manager)
        manager->invalidateSessionCancelingTasks(true);
}

} // namespace

TEST(NKSessionManagerArchiving, ManagersComeBackWithTheirConfigurationBaseURLAndSerializers)
{
    auto configuration = net::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.setHTTPAdditionalHeaders({ { "X-Client", "quintor" } });
    configuration.setTimeoutIntervalForRequest(12.5);
    configuration.setHTTPMaximumConnectionsPerHost(2);
    auto manager = NKHTTPSessionManager::initWithBaseURL(*URL::URLWithString("https://api.example.com/v2"), configuration);
    manager->requestSerializer()->setValue("k-123", "MOVARA-API-KEY");
    manager->setResponseSerializer(NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(4));

    auto decoded = decode<NKHTTPSessionManager>("NKHTTPSessionManager", archive(manager));
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(decoded->baseURL());
    EXPECT_EQ(decoded->baseURL()->absoluteString(), "https://api.example.com/v2/");
    EXPECT_EQ(decoded->sessionConfiguration(), configuration);
    EXPECT_EQ(decoded->session()->configuration(), configuration);
    EXPECT_NE(decoded->session(), manager->session());
    EXPECT_EQ(decoded->requestSerializer()->valueForHTTPHeaderField("MOVARA-API-KEY"), "k-123");
    auto xml = std::dynamic_pointer_cast<NKXMLDocumentResponseSerializer>(decoded->responseSerializer());
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->options(), 4u);

    // The plain session manager keeps only its configuration.
    auto plain = NKURLSessionManager::initWithSessionConfiguration(configuration);
    auto decodedPlain = decode<NKURLSessionManager>("NKURLSessionManager", archive(plain));
    ASSERT_TRUE(decodedPlain);
    EXPECT_EQ(decodedPlain->sessionConfiguration(), configuration);

    // The web service's session decodes as itself, with the service's serializer.
    auto api = MVRAPISessionManager::initWithBaseURL(*URL::URLWithString("https://api.example.com/"));
    auto decodedAPI = decode<MVRAPISessionManager>("NKHTTPSessionManager", archive(api));
    ASSERT_TRUE(decodedAPI);
    EXPECT_TRUE(std::dynamic_pointer_cast<MVRJSONResponseSerializer>(decodedAPI->responseSerializer()));
    EXPECT_EQ(decodedAPI->requestSerializer()->valueForHTTPHeaderField("Accept"), "application/json");

    for (const auto& m : std::vector<std::shared_ptr<NKURLSessionManager>> { manager, decoded, plain, decodedPlain, api, decodedAPI })
        release(m);
}

TEST(NKSessionManagerArchiving, ForgedArchivesAreRefusedOrTamed)
{
    auto forged = [](std::function<void(KeyedArchiver&)> encode) {
        return archive(std::make_shared<ForgedObject>("NKHTTPSessionManager", std::move(encode)));
    };
    auto withConfiguration = [](std::function<void(KeyedArchiver&)> encode) {
        return std::make_shared<ForgedObject>("NSURLSessionConfiguration", std::move(encode));
    };

    // An identifier without a configuration gives a background configuration.
    {
        auto decoded = decode<NKHTTPSessionManager>("NKHTTPSessionManager", forged([](KeyedArchiver& coder) { coder.encodeString("com.q.bg", "identifier"); }));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->sessionConfiguration().identifier(), "com.q.bg");
        EXPECT_FALSE(decoded->baseURL());
        // Nothing archived for the serializers: the defaults, never none.
        EXPECT_TRUE(decoded->requestSerializer());
        EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(decoded->responseSerializer()));
        release(decoded);
    }
    // Time-outs and connection counts that make no sense fall back to the defaults.
    {
        auto decoded = decode<NKHTTPSessionManager>("NKHTTPSessionManager", forged([&](KeyedArchiver& coder) {
            coder.encodeObject(withConfiguration([](KeyedArchiver& c) {
                c.encodeDouble(-5, "timeoutIntervalForRequest");
                c.encodeDouble(std::numeric_limits<double>::infinity(), "timeoutIntervalForResource");
                c.encodeInteger(-1, "HTTPMaximumConnectionsPerHost");
            }),
                               "sessionConfiguration");
        }));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->sessionConfiguration().timeoutIntervalForRequest(), 60);
        EXPECT_EQ(decoded->sessionConfiguration().timeoutIntervalForResource(), 7 * 24 * 3600);
        EXPECT_EQ(decoded->sessionConfiguration().HTTPMaximumConnectionsPerHost(), 6);
        release(decoded);
    }
    struct Refused {
        const char* name;
        Data data;
    };
    const std::vector<Refused> refused = {
        { "a header that would inject a line", forged([&](KeyedArchiver& coder) {
              coder.encodeObject(withConfiguration([](KeyedArchiver& c) {
                  c.encodeValue(foundation::Value::dictionary({ { "X-A", "1\r\nX-Injected: yes" } }), "HTTPAdditionalHeaders");
              }),
                                 "sessionConfiguration");
          }) },
        { "headers that are not a dictionary", forged([&](KeyedArchiver& coder) {
              coder.encodeObject(withConfiguration([](KeyedArchiver& c) { c.encodeValue(foundation::Value::array({ "x" }), "HTTPAdditionalHeaders"); }),
                                 "sessionConfiguration");
          }) },
        { "a base URL that is no URL", forged([](KeyedArchiver& coder) {
              coder.encodeObject(std::make_shared<ForgedObject>("NSURL", [](KeyedArchiver& c) { c.encodeString("", "NS.relative"); }), "baseURL");
          }) },
        { "a response serializer where the request serializer goes", forged([](KeyedArchiver& coder) {
              coder.encodeObject(NKJSONResponseSerializer::serializer(), "requestSerializer");
          }) },
        { "a configuration of another class", forged([](KeyedArchiver& coder) {
              coder.encodeObject(NKJSONResponseSerializer::serializer(), "sessionConfiguration");
          }) },
    };
    for (const auto& c : refused) {
        ErrorPtr error;
        EXPECT_FALSE(decode<NKHTTPSessionManager>("NKHTTPSessionManager", c.data, &error)) << c.name;
        ASSERT_TRUE(error) << c.name;
        EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain) << c.name;
    }
    // The API session refuses an archive without a base URL.
    ErrorPtr error;
    EXPECT_FALSE(decode<MVRAPISessionManager>("MVRAPISessionManager",
                                              archive(std::make_shared<ForgedObject>("MVRAPISessionManager", [](KeyedArchiver&) {})), &error));
    EXPECT_TRUE(error);
}

TEST(NKSessionManagerCopying, CopiesShareTheConfigurationButNotTheSessionOrHooks)
{
    auto configuration = net::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.setTimeoutIntervalForRequest(9);
    auto manager = NKURLSessionManager::initWithSessionConfiguration(configuration);
    manager->setResponseSerializer(NKHTTPResponseSerializer::serializer());
    auto copy = manager->copy();
    EXPECT_EQ(copy->sessionConfiguration(), configuration);
    EXPECT_NE(copy->session(), manager->session());
    EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(copy->responseSerializer()));

    // Through the base class too, a copy is of the receiver's class.
    std::shared_ptr<NKURLSessionManager> api = MVRAPISessionManager::initWithBaseURL(*URL::URLWithString("https://api.example.com/"));
    auto apiCopy = api->copy();
    auto typed = std::dynamic_pointer_cast<MVRAPISessionManager>(apiCopy);
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->baseURL()->absoluteString(), "https://api.example.com/");
    EXPECT_TRUE(std::dynamic_pointer_cast<MVRJSONResponseSerializer>(typed->responseSerializer()));
    for (const auto& m : { manager, copy, api, apiCopy })
        release(m);
}

TEST(NKOperationArchiving, FinishedOperationsKeepTheirAnswerAndRunningOnesArePausedFirst)
{
    testsupport::LocalServer server;
    server.server().Get("/doc", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("ETag", "\"v1\"");
        response.set_content("{\"ok\":true}", "application/json");
    });
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        server.holdRequest();
        response.set_content("late", "text/plain");
    });
    server.start();

    auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*URL::URLWithString(server.url("/doc"))));
    operation->setResponseSerializer(NKJSONResponseSerializer::serializer());
    operation->start();
    ASSERT_TRUE(waitFor([&] { return operation->isFinished(); }));

    auto decoded = decode<NKHTTPRequestOperation>("NKHTTPRequestOperation", archive(operation));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->request().URL()->absoluteString(), server.url("/doc"));
    ASSERT_TRUE(decoded->response());
    EXPECT_EQ(decoded->response()->statusCode(), 200);
    EXPECT_EQ(decoded->response()->valueForHTTPHeaderField("ETag"), "\"v1\"");
    EXPECT_EQ(decoded->responseData(), operation->responseData());
    EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(decoded->responseSerializer()));
    // Finished is archived as it is, but a fresh operation can only become finished by
    // cancellation: it comes back ready, to be run again.
    EXPECT_EQ(decoded->state(), NKOperationReadyState);
    EXPECT_EQ(decoded->totalBytesRead(), operation->totalBytesRead());

    // A failed operation keeps its error, underlying errors included.
    auto failing = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*URL::URLWithString("http://127.0.0.1:1/none")));
    failing->start();
    ASSERT_TRUE(waitFor([&] { return failing->isFinished(); }));
    auto decodedFailure = decode<NKHTTPRequestOperation>("NKHTTPRequestOperation", archive(failing));
    ASSERT_TRUE(decodedFailure && decodedFailure->error() && failing->error());
    EXPECT_EQ(decodedFailure->error()->domain(), failing->error()->domain());
    EXPECT_EQ(decodedFailure->error()->code(), failing->error()->code());
    EXPECT_EQ(decodedFailure->error()->localizedDescription(), failing->error()->localizedDescription());

    auto running = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*URL::URLWithString(server.url("/slow"))));
    running->start();
    ASSERT_TRUE(server.waitForHeldRequest());
    auto decodedRunning = decode<NKHTTPRequestOperation>("NKHTTPRequestOperation", archive(running));
    EXPECT_TRUE(running->isPaused());
    ASSERT_TRUE(decodedRunning);
    EXPECT_EQ(decodedRunning->state(), NKOperationReadyState);
    EXPECT_EQ(decodedRunning->request().valueForHTTPHeaderField("Range"), "bytes=0-");
    server.releaseHeldRequests();

    ErrorPtr error;
    EXPECT_FALSE(decode<NKHTTPRequestOperation>("NKHTTPRequestOperation",
                                                archive(std::make_shared<ForgedObject>("NKHTTPRequestOperation", [](KeyedArchiver&) {})), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(decode<NKHTTPRequestOperation>("NKHTTPRequestOperation",
                                                archive(std::make_shared<ForgedObject>("NKHTTPRequestOperation", [&](KeyedArchiver& coder) {
                                                    NKEncodeRequest(coder, net::URLRequest(*URL::URLWithString(server.url("/doc"))), "request");
                                                    coder.encodeObject(std::make_shared<ForgedObject>("NSHTTPURLResponse", [](KeyedArchiver& c) {
                                                        c.encodeInteger(-3, "statusCode");
                                                    }),
                                                                       "response");
                                                })),
                                                &error));
}

TEST(NKOperationCopying, CopiesCarryTheBlocksAndQueuesButNotTheOutcomeOrCredential)
{
    testsupport::LocalServer server;
    server.server().Get("/from", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/to"); });
    server.server().Get("/to", [](const httplib::Request&, httplib::Response& response) { response.set_content("there", "text/plain"); });
    server.start();

    auto queue = dispatch::Queue::serial("com.quintor.test.completion");
    auto operation = NKHTTPRequestOperation::initWithRequest(net::URLRequest(*URL::URLWithString(server.url("/from"))));
    int redirects = 0;
    operation->setRedirectResponseBlock([&](const net::URLRequest& request, const net::HTTPURLResponse&) {
        ++redirects;
        return std::optional<net::URLRequest>(request);
    });
    operation->setCompletionQueue(queue);
    operation->setCredential(net::URLCredential::credentialWithUser("ann", "pw", net::URLCredentialPersistence::None));
    operation->setResponseSerializer(NKJSONResponseSerializer::serializer());
    operation->start();
    ASSERT_TRUE(waitFor([&] { return operation->isFinished(); }));
    ASSERT_EQ(redirects, 1);

    auto copy = operation->copy();
    EXPECT_EQ(copy->state(), NKOperationReadyState);
    EXPECT_FALSE(copy->response());
    EXPECT_FALSE(copy->credential());
    EXPECT_EQ(copy->completionQueue(), queue);
    EXPECT_NE(copy->responseSerializer(), operation->responseSerializer());
    EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(copy->responseSerializer()));
    copy->start();
    ASSERT_TRUE(waitFor([&] { return copy->isFinished(); }));
    EXPECT_EQ(redirects, 2);
    EXPECT_EQ(copy->response()->statusCode(), 200);
}

TEST(NKOperationManagerArchiving, TheBaseURLAndSerializersComeBack)
{
    auto manager = NKHTTPRequestOperationManager::initWithBaseURL(*URL::URLWithString("https://api.example.com/a"));
    manager->requestSerializer()->setValue("v", "X-Thing");
    manager->setResponseSerializer(NKHTTPResponseSerializer::serializer());
    auto decoded = decode<NKHTTPRequestOperationManager>("NKHTTPRequestOperationManager", archive(manager));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->baseURL()->absoluteString(), "https://api.example.com/a/");
    EXPECT_EQ(decoded->requestSerializer()->valueForHTTPHeaderField("X-Thing"), "v");
    EXPECT_FALSE(std::dynamic_pointer_cast<NKJSONResponseSerializer>(decoded->responseSerializer()));
    EXPECT_NE(decoded->operationQueue(), manager->operationQueue());
}
