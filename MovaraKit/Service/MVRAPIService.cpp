#include "MovaraKit/Service/MVRAPIService.h"

#include <algorithm>
#include <any>
#include <cmath>

#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "MovaraKit/Service/MVRJSONResponseSerializer.h"
#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Net/URLError.h"

const std::string MVRAPIServiceWillLogOutNotification = "MVRAPIServiceWillLogOutNotification";
const std::string MVRAPIServiceDidLogOutNotification = "MVRAPIServiceDidLogOutNotification";

namespace {

// The application's did-become-active notification, by its platform name.
const std::string kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";

foundation::URL withDirectoryPath(const foundation::URL& url)
{
    if (url.hasDirectoryPath())
        return url;
    auto components = foundation::URLComponents::componentsWithURL(url);
    components.setPercentEncodedPath(components.percentEncodedPath() + "/");
    return components.url().value_or(url);
}

std::string textOf(const foundation::Value& value)
{
    if (value.isString())
        return value.asString();
    if (value.isBool())
        return value.asBool() ? "1" : "0";
    if (value.isInteger())
        return std::to_string(value.asInteger());
    if (value.isReal()) {
        const double d = value.asDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            return std::to_string(static_cast<long long>(d));
        return foundation::toJSON(value);
    }
    return {};
}

// "name=value&..." with names in ascending order, each part percent-encoded; a null value
// sends its name alone.
std::string formEncoded(const foundation::Value& parameters)
{
    if (!parameters.isDictionary())
        return {};
    std::vector<std::pair<std::string, const foundation::Value*>> entries;
    for (const auto& [key, value] : parameters.asDictionary())
        entries.emplace_back(key, &value);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out;
    for (const auto& [key, value] : entries) {
        if (!out.empty())
            out += '&';
        out += foundation::percentEncode(key, foundation::URLCharacterSet::Unreserved);
        if (!value->isNull())
            out += '=' + foundation::percentEncode(textOf(*value), foundation::URLCharacterSet::Unreserved);
    }
    return out;
}

std::optional<long> statusOf(const foundation::Notification& notification)
{
    const auto* response = notification.userInfoValue<std::shared_ptr<MVRAPIResponse>>(MVRCommandAPIResponseKey);
    if (!response || !*response)
        return std::nullopt;
    return (*response)->HTTPURLResponse().statusCode();
}

} // namespace

MVRAPIService::MVRAPIService(foundation::URL baseURL, const std::string& APIKey)
    : m_baseURL(withDirectoryPath(baseURL))
    , m_credentialStorage(MVRCredentialStorage::sharedCredentialStorage())
{
    m_headers.emplace("MOVARA-API-KEY", APIKey);
    m_headers.emplace("Accept", "application/json");
}

MVRAPIService::~MVRAPIService() = default;

std::shared_ptr<MVRAPIService> MVRAPIService::initWithBaseURL(const foundation::URL& baseURL, const std::string& APIKey)
{
    MVRAPIUser::load();
    std::shared_ptr<MVRAPIService> service(new MVRAPIService(baseURL, APIKey));
    std::weak_ptr<MVRAPIService> weak = service;

    auto& center = foundation::NotificationCenter::defaultCenter();
    service->m_observers.push_back(center.addObserver(MVRCommandSendNotification, nullptr, nullptr, [weak](const foundation::Notification& n) {
        if (auto self = weak.lock())
            self->sendCommand(n.objectAs<MVRCommand>());
    }));
    service->m_observers.push_back(center.addObserver(MVRCommandWillFinishNotification, nullptr, nullptr, [weak](const foundation::Notification& n) {
        if (auto self = weak.lock())
            self->commandWillFinish(n);
    }));
    service->m_observers.push_back(center.addObserver(kApplicationDidBecomeActiveNotification, nullptr, nullptr, [weak](const foundation::Notification&) {
        if (auto self = weak.lock())
            self->applicationDidBecomeActive();
    }));

    // The initial value runs the handler once now, before the service is handed out; the
    // command observers are in place by then, so a verification it sends is not lost.
    service->m_credentialObservation = service->m_credentialStorage->addObserver(
        "loginCredential", foundation::KeyValueObservingOptionInitial, [weak](const foundation::KeyValueChange&) {
            if (auto self = weak.lock())
                self->loginCredentialDidChange();
        });

    service->m_reachabilityManager = NKNetworkReachabilityManager::managerForDomain(service->m_baseURL.host());
    service->m_reachabilityManager->setReachabilityStatusChangeBlock([weak](NKNetworkReachabilityStatus status) {
        if (status != NKNetworkReachabilityStatusReachableViaWWAN && status != NKNetworkReachabilityStatusReachableViaWiFi)
            return;
        if (auto self = weak.lock())
            self->attemptVerifyCredentials();
    });
    return service;
}

void MVRAPIService::applyHTTPHeadersFromCredential(const std::shared_ptr<MVRCredential>& credential)
{
    m_headers.erase("Authorization");
    if (!credential)
        return;
    for (const auto& [name, value] : credential->HTTPHeaders())
        m_headers[name] = value;
}

std::optional<net::URLRequest> MVRAPIService::requestForCommand(const MVRCommand& command) const
{
    auto url = foundation::URL::URLWithString(command.URLString(), m_baseURL);
    if (!url || (url->scheme() != "http" && url->scheme() != "https")) {
        mvr_frameworkLog().error("serializing request for command %{public}s failed with error %{public}s", nullptr,
                                 command.description(), std::string("unsupported URL"));
        return std::nullopt;
    }
    const std::string& method = command.method();
    const std::string form = formEncoded(command.parameters());
    if (!form.empty() && (method == "GET" || method == "HEAD" || method == "DELETE")) {
        auto components = foundation::URLComponents::componentsWithURL(*url);
        auto query = components.percentEncodedQuery();
        components.setPercentEncodedQuery(query && !query->empty() ? *query + "&" + form : form);
        if (auto withQuery = components.url())
            url = withQuery;
    }
    net::URLRequest request(*url);
    request.setHTTPMethod(method);
    request.setAllHTTPHeaderFields(m_headers);
    if (method != "GET" && method != "HEAD" && method != "DELETE") {
        request.setValueForHTTPHeaderField("application/x-www-form-urlencoded; charset=utf-8", "Content-Type");
        request.setHTTPBody(foundation::Data(form.begin(), form.end()));
    }
    return request;
}

void MVRAPIService::sendCommand(const std::shared_ptr<MVRCommand>& command)
{
    if (!command)
        return;
    std::optional<net::URLRequest> request = command->request();
    if (!request) {
        request = requestForCommand(*command);
        if (request)
            request = command->service(*this, *request);
    }
    if (!request) {
        // Still finishes once, with an error, like any failed transfer.
        dispatch::Queue::main()->async([command] {
            command->finishWithResponse(nullptr, net::makeURLError(net::URLErrorBadURL, command->URLString()));
        });
        return;
    }

    auto operation = NKHTTPRequestOperation::initWithRequest(*request);
    operation->setResponseSerializer(MVRJSONResponseSerializer::serializer());
    const net::URLRequest sent = *request;
    operation->setCompletionBlockWithSuccess(
        [command, sent](const std::shared_ptr<NKHTTPRequestOperation>& op, const std::any& object) {
            const auto* JSON = std::any_cast<foundation::Value>(&object);
            auto response = MVRAPIResponse::initWithRequest(sent, op->response(), JSON ? *JSON : foundation::Value());
            command->finishWithResponse(response, nullptr);
        },
        [command, sent](const std::shared_ptr<NKHTTPRequestOperation>& op, const foundation::ErrorPtr& error) {
            auto response = MVRAPIResponse::initWithRequest(sent, op->response(), foundation::Value());
            command->finishWithResponse(response, error);
        });
    operation->start();
}

void MVRAPIService::commandWillFinish(const foundation::Notification& notification)
{
    auto command = notification.objectAs<MVRCommand>();
    if (!command)
        return;
    const auto status = statusOf(notification);

    if (auto credential = command->credential(); credential && status == 200)
        m_credentialStorage->setLoginCredential(credential);

    if (std::dynamic_pointer_cast<MVRVerifyCredentialsCommand>(command) && status == 401)
        logout();

    if (command->URLString().starts_with("users/") && command->method() == "PUT" && status == 200) {
        auto stored = m_credentialStorage->loginCredential();
        if (!stored)
            return;
        const auto& parameters = command->parameters();
        const std::string password = parameters["password"].asString();
        const std::string email = parameters["email"].asString();
        auto user = MVRAPIUser::currentUser();
        std::string username = stored->username();
        std::optional<std::string> newPassword;
        bool changed = false;
        if (user && user->email() == stored->username() && !email.empty() && email != stored->username()) {
            username = email;
            changed = true;
        }
        if (!password.empty()) {
            newPassword = password;
            changed = true;
        }
        if (!changed)
            return;
        if (!newPassword)
            newPassword = stored->password();
        if (auto credential = MVRCredential::initWithUsername(username, newPassword.value_or("")))
            m_credentialStorage->setLoginCredential(credential);
    }
}

void MVRAPIService::loginCredentialDidChange()
{
    auto credential = m_credentialStorage->loginCredential();
    applyHTTPHeadersFromCredential(credential);
    if (credential && !MVRAPIUser::currentUser())
        attemptVerifyCredentials();
    if (!credential && m_onceUponATimeThereWasACredential) {
        auto& center = foundation::NotificationCenter::defaultCenter();
        auto self = shared_from_this();
        center.post(MVRAPIServiceWillLogOutNotification, self);
        center.post(MVRAPIServiceDidLogOutNotification, self);
    }
    if (credential)
        m_onceUponATimeThereWasACredential = true;
}

void MVRAPIService::attemptVerifyCredentials()
{
    auto credential = m_credentialStorage->loginCredential();
    if (!credential)
        return;
    if (!m_onceUponATimeThereWasACredential)
        applyHTTPHeadersFromCredential(credential);
    MVRVerifyCredentialsCommand::command()->sendWithCompletionHandler(nullptr);
}

void MVRAPIService::applicationDidBecomeActive()
{
    if (MVRAPIUser::currentUser() && !m_credentialStorage->loginCredential())
        logout();
    m_reachabilityManager->startMonitoring();
}

void MVRAPIService::logout()
{
    m_onceUponATimeThereWasACredential = false;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto self = shared_from_this();
    center.post(MVRAPIServiceWillLogOutNotification, self);
    m_credentialStorage->setLoginCredential(nullptr);
    center.post(MVRAPIServiceDidLogOutNotification, self);
}
