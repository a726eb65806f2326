#include "MovaraKit/HTTP/NKHTTPRequestOperationManager.h"

#include "MovaraKit/HTTP/NKHTTPSessionManager.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPlatformCoding.h"

#include <cstdio>

std::shared_ptr<NKHTTPRequestOperationManager> NKHTTPRequestOperationManager::initWithBaseURL(std::optional<foundation::URL> baseURL)
{
    std::shared_ptr<NKHTTPRequestOperationManager> manager(new NKHTTPRequestOperationManager());
    if (baseURL)
        manager->m_baseURL = NKNormalizedBaseURL(*baseURL);
    manager->m_requestSerializer = NKHTTPRequestSerializer::serializer();
    manager->m_responseSerializer = NKJSONResponseSerializer::serializer();
    manager->m_operationQueue = foundation::OperationQueue::init();
    manager->m_securityPolicy = NKSecurityPolicy::defaultPolicy();
    manager->m_reachabilityManager = NKNetworkReachabilityManager::sharedManager();
    return manager;
}

std::string NKHTTPRequestOperationManager::resolved(const std::string& URLString) const
{
    return NKResolvedURLString(m_baseURL, URLString);
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperationManager::HTTPRequestOperationWithRequest(const net::URLRequest& request,
                                                                                                      Success success, Failure failure)
{
    auto operation = NKHTTPRequestOperation::initWithRequest(request);
    operation->setResponseSerializer(m_responseSerializer);
    operation->setShouldUseCredentialStorage(m_shouldUseCredentialStorage);
    operation->setCredential(m_credential);
    operation->setSecurityPolicy(m_securityPolicy);
    operation->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
    operation->setCompletionQueue(m_completionQueue);
    operation->setCompletionGroup(m_completionGroup);
    return operation;
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperationManager::queued(std::optional<net::URLRequest> request,
                                                                              const foundation::ErrorPtr& error, Success success,
                                                                              Failure failure)
{
    if (!request) {
        if (failure) {
            auto queue = m_completionQueue ? m_completionQueue : dispatch::Queue::main();
            queue->async([failure, error] { failure(nullptr, error); });
        }
        return nullptr;
    }
    auto operation = HTTPRequestOperationWithRequest(*request, std::move(success), std::move(failure));
    m_operationQueue->addOperation(operation);
    return operation;
}

#define NK_METHOD(name, verb)                                                                                                       \
    std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperationManager::name(const std::string& URLString,                       \
                                                                                const std::optional<foundation::Value>& parameters, \
                                                                                Success success, Failure failure)                  \
    {                                                                                                                               \
        foundation::ErrorPtr error;                                                                                                 \
        auto request = m_requestSerializer->requestWithMethod(verb, resolved(URLString), parameters, &error);                      \
        return queued(std::move(request), error, std::move(success), std::move(failure));                                          \
    }

NK_METHOD(GET, "GET")
NK_METHOD(POST, "POST")
NK_METHOD(PUT, "PUT")
NK_METHOD(PATCH, "PATCH")
NK_METHOD(DELETE, "DELETE")
#undef NK_METHOD

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperationManager::HEAD(
    const std::string& URLString, const std::optional<foundation::Value>& parameters,
    std::function<void(const std::shared_ptr<NKHTTPRequestOperation>&)> success, Failure failure)
{
    foundation::ErrorPtr error;
    auto request = m_requestSerializer->requestWithMethod("HEAD", resolved(URLString), parameters, &error);
    return queued(std::move(request), error,
                  success ? Success([success](const auto& operation, const std::any&) { success(operation); }) : Success(),
                  std::move(failure));
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperationManager::POST(const std::string& URLString,
                                                                            const std::optional<foundation::Value>& parameters,
                                                                            const NKHTTPRequestSerializer::ConstructingBodyBlock& block,
                                                                            Success success, Failure failure)
{
    foundation::ErrorPtr error;
    auto request = m_requestSerializer->multipartFormRequestWithMethod("POST", resolved(URLString), parameters, block, &error);
    return queued(std::move(request), error, std::move(success), std::move(failure));
}

void NKHTTPRequestOperationManager::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    NKEncodeURL(coder, m_baseURL, "baseURL");
    if (m_requestSerializer)
        coder.encodeObject(m_requestSerializer, "requestSerializer");
    if (m_responseSerializer)
        coder.encodeObject(m_responseSerializer, "responseSerializer");
}

std::shared_ptr<NKHTTPRequestOperationManager> NKHTTPRequestOperationManager::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    auto baseURL = NKDecodeURL(coder, "baseURL");
    auto request = coder.decodeObjectOfClass<NKHTTPRequestSerializer>("NKHTTPRequestSerializer", "requestSerializer");
    auto response = coder.decodeObjectOfClass<NKHTTPResponseSerializer>("NKHTTPResponseSerializer", "responseSerializer");
    if (coder.error())
        return nullptr;
    auto manager = initWithBaseURL(std::move(baseURL));
    // A manager without a serializer would fail every request: a missing one keeps the default.
    if (request)
        manager->m_requestSerializer = std::move(request);
    if (response)
        manager->m_responseSerializer = std::move(response);
    return manager;
}

std::string NKHTTPRequestOperationManager::description() const
{
    char text[160];
    std::snprintf(text, sizeof text, "<NKHTTPRequestOperationManager: %p, baseURL: %s, operationQueue: %p>", static_cast<const void*>(this),
                  m_baseURL ? m_baseURL->absoluteString().c_str() : "(null)", static_cast<const void*>(m_operationQueue.get()));
    return text;
}

namespace {

const bool registered = [] {
    foundation::KeyedArchiver::registerClass({ "NKHTTPRequestOperationManager", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
        return NKHTTPRequestOperationManager::initWithCoder(coder);
    } });
    return true;
}();

} // namespace

std::shared_ptr<NKHTTPRequestOperationManager> NKHTTPRequestOperationManager::copy() const
{
    auto other = initWithBaseURL(m_baseURL);
    other->m_requestSerializer = m_requestSerializer->copy();
    other->m_responseSerializer = m_responseSerializer->copy();
    return other;
}
