#pragma once
// The one client of the maker's web service. It sends every command that announces itself,
// finishes it with the answer, stores or drops the login credential as commands finish, keeps
// the Authorization header in step with the stored credential, verifies a stored credential
// when the service's host becomes reachable, and logs out. Main thread.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Net/URLRequest.h"

class MVRCommand;
class MVRCredential;
class MVRCredentialStorage;
class NKNetworkReachabilityManager;
class MVRAPISessionManager;

extern const std::string MVRAPIServiceWillLogOutNotification; // object: the service
extern const std::string MVRAPIServiceDidLogOutNotification;  // object: the service
// Exported for the applications; nothing in the frameworks posts or reads them.
extern const std::string MVRAuthenticationRequiredNotification;
extern const std::string MVRBaseURLKey;

class MVRAPIService : public std::enable_shared_from_this<MVRAPIService> {
public:
    // Reports no failure: a service that can't reach its host fails its commands instead.
    static std::shared_ptr<MVRAPIService> initWithBaseURL(const foundation::URL& baseURL, const std::string& APIKey);
    ~MVRAPIService();

    // The base URL with a path that ends in "/".
    const foundation::URL& baseURL() const;
    // The headers every request of the service carries ("MOVARA-API-KEY", "Accept" and,
    // while a credential is stored, "Authorization", besides the HTTP layer's own).
    net::HTTPHeaderFields HTTPRequestHeaders() const;
    const std::shared_ptr<MVRAPISessionManager>& sessionManager() const { return m_sessionManager; }
    const std::shared_ptr<MVRCredentialStorage>& credentialStorage() const { return m_credentialStorage; }
    const std::shared_ptr<NKNetworkReachabilityManager>& reachabilityManager() const { return m_reachabilityManager; }

    // None when the command's path doesn't make a URL. Parameters that hold file URLs ("file:"
    // strings) travel as file parts of a multipart body for "POST" and "PUT".
    std::optional<net::URLRequest> requestForCommand(const MVRCommand& command) const;
    void sendCommand(const std::shared_ptr<MVRCommand>& command);
    void attemptVerifyCredentials();
    void applicationDidBecomeActive();
    void logout();

    // Replaces the Authorization header by the credential's (none: removes it).
    void applyHTTPHeadersFromCredential(const std::shared_ptr<MVRCredential>& credential);

private:
    MVRAPIService(foundation::URL baseURL, const std::string& APIKey);
    void commandWillFinish(const foundation::Notification& notification);
    void loginCredentialDidChange();

    std::shared_ptr<MVRAPISessionManager> m_sessionManager;
    std::shared_ptr<MVRCredentialStorage> m_credentialStorage;
    std::shared_ptr<NKNetworkReachabilityManager> m_reachabilityManager;
    bool m_onceUponATimeThereWasACredential = false;
    foundation::Observable::Token m_credentialObservation;
    std::vector<foundation::NotificationCenter::Token> m_observers;
};
