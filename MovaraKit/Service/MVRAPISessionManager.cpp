#include "MovaraKit/Service/MVRAPISessionManager.h"

#include "MovaraKit/Service/MVRCredential.h"
#include "MovaraKit/Service/MVRJSONResponseSerializer.h"

std::shared_ptr<MVRAPISessionManager> MVRAPISessionManager::initWithBaseURL(const foundation::URL& baseURL,
                                                                            std::optional<net::URLSessionConfiguration> configuration)
{
    std::shared_ptr<MVRAPISessionManager> manager(new MVRAPISessionManager());
    // Our sessions keep no URL cache, so the default configuration is the cache-less one.
    manager->setUp(baseURL, configuration.value_or(net::URLSessionConfiguration::defaultSessionConfiguration()));
    manager->requestSerializer()->setValue("application/json", "Accept");
    manager->setResponseSerializer(MVRJSONResponseSerializer::serializer());
    return manager;
}

std::shared_ptr<NKHTTPSessionManager> MVRAPISessionManager::makeManager(std::optional<foundation::URL> baseURL,
                                                                        std::optional<net::URLSessionConfiguration> configuration) const
{
    if (!baseURL)
        return NKHTTPSessionManager::makeManager(std::nullopt, std::move(configuration));
    return initWithBaseURL(*baseURL, std::move(configuration));
}

std::shared_ptr<MVRAPISessionManager> MVRAPISessionManager::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    std::optional<foundation::URL> baseURL;
    std::optional<net::URLSessionConfiguration> configuration;
    if (!decodeBaseState(coder, baseURL, configuration))
        return nullptr;
    if (!baseURL) {
        coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderValueNotFoundError,
                                                    "The archived API session has no base URL."));
        return nullptr;
    }
    auto manager = initWithBaseURL(*baseURL, std::move(configuration));
    manager->restoreSerializersWithCoder(coder);
    if (coder.error()) {
        manager->invalidateSessionCancelingTasks(true);
        return nullptr;
    }
    return manager;
}

namespace {

const bool registered = [] {
    foundation::KeyedArchiver::registerClass({ "MVRAPISessionManager", { "NKHTTPSessionManager", "NKURLSessionManager" }, true, 0,
                                               [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                                                   return MVRAPISessionManager::initWithCoder(coder);
                                               } });
    foundation::KeyedArchiver::registerClass({ "MVRJSONResponseSerializer", { "NKJSONResponseSerializer", "NKHTTPResponseSerializer" }, true, 0,
                                               [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                                                   return NKHTTPResponseSerializer::initWithCoder<MVRJSONResponseSerializer>(coder);
                                               } });
    return true;
}();

} // namespace

void MVRAPISessionManager::applyHTTPHeadersFromCredential(const std::shared_ptr<MVRCredential>& credential)
{
    requestSerializer()->clearAuthorizationHeader();
    if (!credential)
        return;
    for (const auto& [name, value] : credential->HTTPHeaders())
        requestSerializer()->setValue(value, name);
}
