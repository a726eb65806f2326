#include "MovaraKit/Service/MVRAPIService.h"

#include <algorithm>
#include <any>
#include <cmath>

#include "MovaraKit/Service/MVRAPISessionManager.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Progress.h"
#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "MovaraKit/Service/MVRFileWriting.h"
#include "MovaraKit/Service/MVRJSONResponseSerializer.h"
#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Net/URLError.h"

const std::string MVRAPIServiceWillLogOutNotification = "MVRAPIServiceWillLogOutNotification";
const std::string MVRAPIServiceDidLogOutNotification = "MVRAPIServiceDidLogOutNotification";
const std::string MVRAuthenticationRequiredNotification = "MVRAuthenticationRequiredNotification";
const std::string MVRBaseURLKey = "MVRBaseURLKey";

namespace {

// The application's did-become-active notification, by its platform name.
const std::string kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";

// A parameter that names a file to upload: a string holding a file URL.
std::optional<foundation::URL> fileURLOf(const foundation::Value& value)
{
    if (!value.isString() || !value.asString().starts_with("file://"))
        return std::nullopt;
    auto url = foundation::URL::URLWithString(value.asString());
    if (!url || !url->isFileURL())
        return std::nullopt;
    return url;
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
    : m_sessionManager(MVRAPISessionManager::initWithBaseURL(baseURL))
    , m_credentialStorage(MVRCredentialStorage::sharedCredentialStorage())
{
    m_sessionManager->requestSerializer()->setValue(APIKey, "MOVARA-API-KEY");
}

MVRAPIService::~MVRAPIService()
{
    // The session holds its manager until it has become invalid.
    m_sessionManager->invalidateSessionCancelingTasks(true);
}

const foundation::URL& MVRAPIService::baseURL() const
{
    return *m_sessionManager->baseURL();
}

net::HTTPHeaderFields MVRAPIService::HTTPRequestHeaders() const
{
    net::HTTPHeaderFields headers;
    for (const auto& [name, value] : m_sessionManager->requestSerializer()->HTTPRequestHeaders())
        headers[name] = value;
    return headers;
}

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

    service->m_reachabilityManager = NKNetworkReachabilityManager::managerForDomain(service->baseURL().host());
    service->m_sessionManager->setReachabilityManager(service->m_reachabilityManager);
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
    m_sessionManager->applyHTTPHeadersFromCredential(credential);
}

std::optional<net::URLRequest> MVRAPIService::requestForCommand(const MVRCommand& command) const
{
    const std::string URLString = m_sessionManager->resolvedURLString(command.URLString());
    const std::string& method = command.method();
    auto serializer = m_sessionManager->requestSerializer();

    foundation::Value form = foundation::Value::dictionary();
    std::vector<std::pair<std::string, foundation::URL>> files;
    if (const auto* parameters = command.parameters().dictionaryValue()) {
        for (const auto& [name, value] : *parameters) {
            if (auto file = fileURLOf(value))
                files.emplace_back(name, *file);
            else
                form.set(name, value);
        }
    }

    foundation::ErrorPtr error;
    std::optional<net::URLRequest> request;
    if (!files.empty() && (method == "PUT" || method == "POST")) {
        request = serializer->multipartFormRequestWithMethod(
            method, URLString, form, [&files](NKMultipartFormData& formData) {
                for (const auto& [name, url] : files) {
                    foundation::ErrorPtr appendError;
                    if (!formData.appendPartWithFileURL(url, name, &appendError))
                        mvr_frameworkLog().error("error appending file: %{public}s", nullptr,
                                                 appendError ? appendError->localizedDescription() : std::string());
                }
            },
            &error);
        if (request)
            request->setTimeoutInterval(3600);
    } else {
        std::optional<foundation::Value> parameters;
        if (!command.parameters().isNull())
            parameters = command.parameters();
        request = serializer->requestWithMethod(method, URLString, parameters, &error);
    }
    if (!request || !request->URL()) {
        mvr_frameworkLog().error("serializing request for command %{public}s failed with error %{public}s", nullptr,
                                 command.description(), error ? error->localizedDescription() : std::string("no URL"));
        return std::nullopt;
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
            command->finishWithResponse(nullptr, net::makeURLError(net::NSURLErrorBadURL, command->URLString()));
        });
        return;
    }

    const net::URLRequest sent = *request;
    auto completion = [command, sent](const std::optional<net::HTTPURLResponse>& response, const std::any& object,
                                      const foundation::ErrorPtr& error) {
        const auto* JSON = std::any_cast<foundation::Value>(&object);
        command->finishWithResponse(MVRAPIResponse::initWithRequest(sent, response, JSON ? *JSON : foundation::Value()), error);
    };

    if (!sent.HTTPBodyStream()) {
        if (auto task = m_sessionManager->dataTaskWithRequest(sent, completion))
            task->resume();
        else
            completion(std::nullopt, {}, net::makeURLError(net::NSURLErrorCancelled, command->URLString()));
        return;
    }

    // A multipart body is staged in a file and uploaded from there: a private file of its own,
    // since the body holds the user's data.
    auto progress = foundation::Progress::currentProgress();
    foundation::ErrorPtr stageError;
    const auto privateFile = mvr_createPrivateFile(foundation::FileManager::defaultManager().temporaryDirectory().path(), "multi-part",
                                                   ".tmp", &stageError);
    if (!privateFile) {
        completion(std::nullopt, {}, stageError);
        return;
    }
    const foundation::URL staged = *privateFile;
    std::weak_ptr<MVRAPIService> weak = weak_from_this();
    net::URLRequest bodyless = sent;
    bodyless.setHTTPBodyStream(nullptr);
    m_sessionManager->requestSerializer()->requestWithMultipartFormRequest(
        sent, staged, [weak, staged, bodyless, progress, completion](const foundation::ErrorPtr& writeError) {
            auto self = weak.lock();
            if (writeError || !self) {
                // A body that could not be written whole is no use to anybody.
                foundation::FileManager::defaultManager().removeItemAtURL(staged);
                completion(std::nullopt, {}, writeError ? writeError : net::makeURLError(net::NSURLErrorCancelled, staged.path()));
                return;
            }
            if (progress) {
                progress->setTotalUnitCount(1);
                progress->becomeCurrentWithPendingUnitCount(1);
            }
            auto task = self->m_sessionManager->uploadTaskWithRequest(
                bodyless, staged, nullptr,
                [staged, completion](const std::optional<net::HTTPURLResponse>& response, const std::any& object, const foundation::ErrorPtr& error) {
                    foundation::FileManager::defaultManager().removeItemAtURL(staged);
                    completion(response, object, error);
                });
            if (task)
                task->resume();
            if (progress)
                progress->resignCurrent();
        });
}

void MVRAPIService::commandWillFinish(const foundation::Notification& notification)
{
    auto command = notification.objectAs<MVRCommand>();
    if (!command)
        return;
    const auto status = statusOf(notification);

    // A sign-in whose answer could not be used (no user record in it) leaves no credential
    // behind: the user would be signed in as nobody.
    const bool failed = notification.userInfo.contains(MVRCommandErrorKey);
    // Any success counts (a sign-up is answered 201 Created): the current user is set for
    // every 2xx, and a user without a credential is signed out at the next activation.
    if (auto credential = command->credential(); credential && status >= 200 && status < 300 && !failed)
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
