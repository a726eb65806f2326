#include "MovaraKit/Service/MVRAccountCommands.h"

#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "MovaraKit/Service/MVRError.h"
#include "MovaraKit/Support/Bundle+Movara.h"
#include "MovaraKit/Support/String+Validation.h"
#include "Platform/Foundation/Bundle.h"

namespace {

// The answer's user record as the response's API object, or the parsing error.
std::shared_ptr<MVRAPIResponse> takeUser(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr* error)
{
    if (!response)
        return nullptr;
    if (auto user = MVRAPIUser::initWithJSON(response->JSONObject())) {
        response->setAPIObject(user);
        return response;
    }
    if (error) {
        auto bundle = mvr_movaraKitBundle();
        const std::string text = bundle ? bundle->localizedStringForKey("Error parsing JSON", {}, "Localizable") : "Error parsing JSON";
        *error = foundation::Error::make(MVRErrorDomain, MVRErrorCodeJSONParsing, text);
    }
    return response;
}

} // namespace

MVRLoginCommand::MVRLoginCommand(std::shared_ptr<MVRCredential> credential)
    : MVRCommand("verify_credentials", "GET", foundation::Value())
    , m_credential(std::move(credential))
{
}

std::shared_ptr<MVRLoginCommand> MVRLoginCommand::initWithUsername(const std::string& username, const std::string& password)
{
    if (username.empty() || password.empty())
        return nullptr;
    auto credential = MVRCredential::initWithUsername(username, password);
    if (!credential)
        return nullptr;
    return std::shared_ptr<MVRLoginCommand>(new MVRLoginCommand(std::move(credential)));
}

net::URLRequest MVRLoginCommand::service(MVRAPIService&, const net::URLRequest& request)
{
    return m_credential->requestByApplyingHTTPHeadersToRequest(request);
}

std::shared_ptr<MVRAPIResponse> MVRLoginCommand::processResponse(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr* error)
{
    return takeUser(response, error);
}

MVRSignUpCommand::MVRSignUpCommand(foundation::Value parameters, std::shared_ptr<MVRCredential> credential)
    : MVRCommand("users", "POST", std::move(parameters))
    , m_credential(std::move(credential))
{
}

std::shared_ptr<MVRSignUpCommand> MVRSignUpCommand::initWithUsername(const std::string& username, const std::string& email,
                                                                     const std::string& password, bool marketingConsent,
                                                                     bool trackingConsent)
{
    if (username.empty() || !mvr_isValidEmail(email) || password.empty())
        return nullptr;
    auto credential = MVRCredential::initWithUsername(username, password);
    if (!credential)
        return nullptr;
    foundation::Value parameters = foundation::Value::dictionary({
        { "username", username },
        { "email", email },
        { "password", password },
        { "marketing_consent", marketingConsent ? "true" : "false" },
        { "tracking_consent", trackingConsent ? "true" : "false" },
    });
    return std::shared_ptr<MVRSignUpCommand>(new MVRSignUpCommand(std::move(parameters), std::move(credential)));
}

std::shared_ptr<MVRAPIResponse> MVRSignUpCommand::processResponse(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr* error)
{
    return takeUser(response, error);
}

MVRForgotPasswordCommand::MVRForgotPasswordCommand(foundation::Value parameters)
    : MVRCommand("forgot_password", "POST", std::move(parameters))
{
}

std::shared_ptr<MVRForgotPasswordCommand> MVRForgotPasswordCommand::initWithUsername(const std::optional<std::string>& username,
                                                                                     const std::optional<std::string>& email)
{
    if (username.value_or("").empty() && email.value_or("").empty())
        return nullptr;
    foundation::Value parameters = foundation::Value::dictionary();
    if (username)
        parameters.set("username", *username);
    if (email)
        parameters.set("email", *email);
    return std::shared_ptr<MVRForgotPasswordCommand>(new MVRForgotPasswordCommand(std::move(parameters)));
}

bool MVRForgotPasswordCommand::processResponse(const std::optional<net::HTTPURLResponse>& response)
{
    return response && response->statusCode() == 204;
}

MVRVerifyCredentialsCommand::MVRVerifyCredentialsCommand()
    : MVRCommand("verify_credentials", "GET", foundation::Value())
{
}

std::shared_ptr<MVRVerifyCredentialsCommand> MVRVerifyCredentialsCommand::command()
{
    return std::shared_ptr<MVRVerifyCredentialsCommand>(new MVRVerifyCredentialsCommand());
}

std::shared_ptr<MVRAPIResponse> MVRVerifyCredentialsCommand::processResponse(const std::shared_ptr<MVRAPIResponse>& response,
                                                                             foundation::ErrorPtr*)
{
    if (response && response->HTTPURLResponse().statusCode() == 200) {
        if (auto user = MVRAPIUser::initWithJSON(response->JSONObject()))
            response->setAPIObject(user);
    }
    return response;
}
