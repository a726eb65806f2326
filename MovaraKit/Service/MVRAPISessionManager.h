#pragma once
// The API service's HTTP session: JSON accepted, the service's response serializer, and the
// credential's headers copied into every later request.

#include <memory>

#include "MovaraKit/HTTP/NKHTTPSessionManager.h"

class MVRCredential;

class MVRAPISessionManager : public NKHTTPSessionManager {
public:
    static std::shared_ptr<MVRAPISessionManager> initWithBaseURL(const foundation::URL& baseURL,
                                                                 std::optional<net::URLSessionConfiguration> configuration = {});

    // Clears the Authorization header, then sets the credential's headers (none: only clears).
    void applyHTTPHeadersFromCredential(const std::shared_ptr<MVRCredential>& credential);

    std::string className() const override { return "MVRAPISessionManager"; }
    // None when the archive holds no base URL: the service's session always has one.
    static std::shared_ptr<MVRAPISessionManager> initWithCoder(foundation::KeyedUnarchiver& coder);

protected:
    MVRAPISessionManager() = default;
    std::shared_ptr<NKHTTPSessionManager> makeManager(std::optional<foundation::URL> baseURL,
                                                      std::optional<net::URLSessionConfiguration> configuration) const override;
};
