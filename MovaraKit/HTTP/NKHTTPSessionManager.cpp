#include "MovaraKit/HTTP/NKHTTPSessionManager.h"

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

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

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::copy() const
{
    auto other = initWithBaseURL(m_baseURL, sessionConfiguration());
    other->setRequestSerializer(m_requestSerializer->copy());
    if (auto serializer = responseSerializer())
        other->setResponseSerializer(serializer->copy());
    return other;
}
