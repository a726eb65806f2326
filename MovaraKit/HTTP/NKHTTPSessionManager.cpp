#include "MovaraKit/HTTP/NKHTTPSessionManager.h"

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPlatformCoding.h"

#include <cstdio>
#include <mutex>

#include <utility>

namespace {

// The completion of a method's task: failure with the error, else success with the object.
// The blocks get the task, which the registry keeps until it completed.
NKURLSessionManager::CompletionHandler reportingTo(std::shared_ptr<std::shared_ptr<net::URLSessionDataTask>> holder,
                                                  NKHTTPSessionManager::Success success, NKHTTPSessionManager::Failure failure)
{
    return [holder, success, failure](const std::optional<net::HTTPURLResponse>&, const std::any& object, const foundation::ErrorPtr& error) {
        auto task = std::exchange(*holder, nullptr);
        if (error) {
            if (failure)
                failure(task, error);
        } else if (success) {
            success(task, object);
        }
    };
}

} // namespace

foundation::URL NKNormalizedBaseURL(const foundation::URL& url)
{
    const std::string& path = url.percentEncodedPath();
    if (path.empty() || path.ends_with("/"))
        return url;
    auto components = foundation::URLComponents::componentsWithURL(url);
    components.setPath(components.path() + "/");
    return components.url().value_or(url);
}

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::initWithBaseURL(std::optional<foundation::URL> baseURL,
                                                                            std::optional<net::URLSessionConfiguration> configuration)
{
    std::shared_ptr<NKHTTPSessionManager> manager(new NKHTTPSessionManager());
    manager->setUp(std::move(baseURL), std::move(configuration));
    return manager;
}

void NKHTTPSessionManager::setUp(std::optional<foundation::URL> baseURL, std::optional<net::URLSessionConfiguration> configuration)
{
    NKURLSessionManager::setUp(std::move(configuration));
    if (baseURL)
        m_baseURL = NKNormalizedBaseURL(*baseURL);
    m_requestSerializer = NKHTTPRequestSerializer::serializer();
    setResponseSerializer(NKJSONResponseSerializer::serializer());
}

std::string NKResolvedURLString(const std::optional<foundation::URL>& baseURL, const std::string& URLString)
{
    auto url = baseURL ? foundation::URL::URLWithString(URLString, *baseURL) : foundation::URL::URLWithString(URLString);
    return url ? url->absoluteString() : URLString;
}

std::string NKHTTPSessionManager::resolvedURLString(const std::string& URLString) const
{
    return NKResolvedURLString(m_baseURL, URLString);
}

void NKHTTPSessionManager::failLater(Failure failure, const foundation::ErrorPtr& error) const
{
    if (!failure)
        return;
    auto queue = completionQueue() ? completionQueue() : dispatch::Queue::main();
    queue->async([failure, error] { failure(nullptr, error); });
}

std::shared_ptr<net::URLSessionDataTask> NKHTTPSessionManager::dataTaskWithHTTPMethod(const std::string& method, const std::string& URLString,
                                                                                      const std::optional<foundation::Value>& parameters,
                                                                                      Success success, Failure failure)
{
    foundation::ErrorPtr error;
    auto request = m_requestSerializer->requestWithMethod(method, resolvedURLString(URLString), parameters, &error);
    if (!request) {
        failLater(std::move(failure), error);
        return nullptr;
    }
    auto holder = std::make_shared<std::shared_ptr<net::URLSessionDataTask>>();
    auto task = dataTaskWithRequest(*request, reportingTo(holder, std::move(success), std::move(failure)));
    *holder = task;
    return task;
}

#define NK_METHOD(name, verb)                                                                                                       \
    std::shared_ptr<net::URLSessionDataTask> NKHTTPSessionManager::name(const std::string& URLString,                               \
                                                                        const std::optional<foundation::Value>& parameters,        \
                                                                        Success success, Failure failure)                          \
    {                                                                                                                               \
        auto task = dataTaskWithHTTPMethod(verb, URLString, parameters, std::move(success), std::move(failure));                  \
        if (task)                                                                                                                   \
            task->resume();                                                                                                         \
        return task;                                                                                                                \
    }

NK_METHOD(GET, "GET")
NK_METHOD(POST, "POST")
NK_METHOD(PUT, "PUT")
NK_METHOD(PATCH, "PATCH")
NK_METHOD(DELETE, "DELETE")
#undef NK_METHOD

std::shared_ptr<net::URLSessionDataTask> NKHTTPSessionManager::HEAD(const std::string& URLString,
                                                                    const std::optional<foundation::Value>& parameters,
                                                                    std::function<void(const std::shared_ptr<net::URLSessionDataTask>&)> success,
                                                                    Failure failure)
{
    auto task = dataTaskWithHTTPMethod("HEAD", URLString, parameters,
                                       success ? Success([success](const auto& task, const std::any&) { success(task); }) : Success(),
                                       std::move(failure));
    if (task)
        task->resume();
    return task;
}

std::shared_ptr<net::URLSessionDataTask> NKHTTPSessionManager::POST(const std::string& URLString,
                                                                    const std::optional<foundation::Value>& parameters,
                                                                    const NKHTTPRequestSerializer::ConstructingBodyBlock& block,
                                                                    Success success, Failure failure)
{
    foundation::ErrorPtr error;
    auto request = m_requestSerializer->multipartFormRequestWithMethod("POST", resolvedURLString(URLString), parameters, block, &error);
    if (!request) {
        failLater(std::move(failure), error);
        return nullptr;
    }
    auto holder = std::make_shared<std::shared_ptr<net::URLSessionDataTask>>();
    std::shared_ptr<net::URLSessionDataTask> task = uploadTaskWithStreamedRequest(*request, nullptr,
                                                                                 reportingTo(holder, std::move(success), std::move(failure)));
    *holder = task;
    if (task)
        task->resume();
    return task;
}

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::makeManager(std::optional<foundation::URL> baseURL,
                                                                        std::optional<net::URLSessionConfiguration> configuration) const
{
    return initWithBaseURL(std::move(baseURL), std::move(configuration));
}

std::string NKHTTPSessionManager::description() const
{
    char text[160];
    std::snprintf(text, sizeof text, "<%s: %p, baseURL: %s, session: %p, operationQueue: %s>", className().c_str(),
                  static_cast<const void*>(this), m_baseURL ? m_baseURL->absoluteString().c_str() : "(null)",
                  static_cast<const void*>(session().get()), operationQueue()->label().c_str());
    return text;
}

void NKHTTPSessionManager::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    NKURLSessionManager::encodeWithCoder(coder);
    NKEncodeURL(coder, m_baseURL, "baseURL");
    // Every configuration here can be archived; the identifier alone is the fallback of
    // archives that hold none.
    NKEncodeSessionConfiguration(coder, sessionConfiguration(), "sessionConfiguration");
    if (m_requestSerializer)
        coder.encodeObject(m_requestSerializer, "requestSerializer");
    if (auto serializer = responseSerializer())
        coder.encodeObject(serializer, "responseSerializer");
}

bool NKHTTPSessionManager::decodeBaseState(foundation::KeyedUnarchiver& coder, std::optional<foundation::URL>& baseURL,
                                           std::optional<net::URLSessionConfiguration>& configuration)
{
    baseURL = NKDecodeURL(coder, "baseURL");
    configuration = NKDecodeSessionConfiguration(coder, "sessionConfiguration");
    if (!configuration && !coder.error()) {
        if (auto identifier = coder.decodeString("identifier"))
            configuration = net::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(*identifier);
    }
    return !coder.error();
}

void NKHTTPSessionManager::restoreSerializersWithCoder(foundation::KeyedUnarchiver& coder)
{
    auto request = coder.decodeObjectOfClass<NKHTTPRequestSerializer>("NKHTTPRequestSerializer", "requestSerializer");
    auto response = coder.decodeObjectOfClass<NKHTTPResponseSerializer>("NKHTTPResponseSerializer", "responseSerializer");
    if (coder.error())
        return;
    // A manager without a serializer would fail every request: a missing one keeps the default.
    if (request)
        setRequestSerializer(std::move(request));
    if (response)
        setResponseSerializer(std::move(response));
}

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    std::optional<foundation::URL> baseURL;
    std::optional<net::URLSessionConfiguration> configuration;
    if (!decodeBaseState(coder, baseURL, configuration))
        return nullptr;
    auto manager = initWithBaseURL(std::move(baseURL), std::move(configuration));
    manager->restoreSerializersWithCoder(coder);
    if (coder.error()) {
        manager->invalidateSessionCancelingTasks(true);
        return nullptr;
    }
    return manager;
}

namespace {

void registerManagerClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        foundation::KeyedArchiver::registerClass({ "NKURLSessionManager", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            return NKURLSessionManager::initWithCoder(coder);
        } });
        foundation::KeyedArchiver::registerClass({ "NKHTTPSessionManager", { "NKURLSessionManager" }, true, 0,
                                                   [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                                                       return NKHTTPSessionManager::initWithCoder(coder);
                                                   } });
    });
}

const bool registered = (registerManagerClasses(), true);

} // namespace

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::copy() const
{
    auto other = makeManager(m_baseURL, sessionConfiguration());
    other->setRequestSerializer(m_requestSerializer->copy());
    if (auto serializer = responseSerializer())
        other->setResponseSerializer(serializer->copy());
    return other;
}
