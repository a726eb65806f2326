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

void MVRAPISessionManager::applyHTTPHeadersFromCredential(const std::shared_ptr<MVRCredential>& credential)
{
    requestSerializer()->clearAuthorizationHeader();
    if (!credential)
        return;
    for (const auto& [name, value] : credential->HTTPHeaders())
        requestSerializer()->setValue(value, name);
}
