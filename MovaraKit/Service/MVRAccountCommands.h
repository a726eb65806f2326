#pragma once
// The account commands of the web service: signing in, creating an account, asking for a
// password-reset message, and checking the stored credential. Sign-in and sign-up carry the
// credential the service stores when the answer is 200 without an error; their answers, and a
// verification's, carry the user record that becomes the current user.

#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRCommand.h"

class MVRCredential;

// "GET" "verify_credentials" signed with its own credential, not the stored one.
class MVRLoginCommand : public MVRCommand {
public:
    // None unless both are non-empty.
    static std::shared_ptr<MVRLoginCommand> initWithUsername(const std::string& username, const std::string& password);

    std::shared_ptr<MVRCredential> credential() const override { return m_credential; }
    net::URLRequest service(MVRAPIService& service, const net::URLRequest& request) override;
    // The answer's user record becomes the response's API object; an answer without one
    // finishes with MVRErrorDomain 1234 "Error parsing JSON".
    std::shared_ptr<MVRAPIResponse> processResponse(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr* error) override;

protected:
    explicit MVRLoginCommand(std::shared_ptr<MVRCredential> credential);

private:
    std::shared_ptr<MVRCredential> m_credential;
};

// "POST" "users" with the user name, e-mail address, password and the two consents as
// "true"/"false".
class MVRSignUpCommand : public MVRCommand {
public:
    // None unless the user name and password are non-empty and the address is valid.
    static std::shared_ptr<MVRSignUpCommand> initWithUsername(const std::string& username, const std::string& email,
                                                              const std::string& password, bool marketingConsent,
                                                              bool trackingConsent = true);

    std::shared_ptr<MVRCredential> credential() const override { return m_credential; }
    std::shared_ptr<MVRAPIResponse> processResponse(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr* error) override;

protected:
    MVRSignUpCommand(foundation::Value parameters, std::shared_ptr<MVRCredential> credential);

private:
    std::shared_ptr<MVRCredential> m_credential;
};

// "POST" "forgot_password" with whichever of the user name and e-mail address is given.
class MVRForgotPasswordCommand : public MVRCommand {
public:
    // None when both are missing or empty; a missing one is left out, an empty one sent empty.
    static std::shared_ptr<MVRForgotPasswordCommand> initWithUsername(const std::optional<std::string>& username,
                                                                      const std::optional<std::string>& email);
    // Whether the answer is the service's 204.
    static bool processResponse(const std::optional<net::HTTPURLResponse>& response);

protected:
    explicit MVRForgotPasswordCommand(foundation::Value parameters);
};

// "GET" "verify_credentials" with the session's stored credential; a 200 answer's user record
// becomes the response's API object.
class MVRVerifyCredentialsCommand : public MVRCommand {
public:
    static std::shared_ptr<MVRVerifyCredentialsCommand> command();

    std::shared_ptr<MVRAPIResponse> processResponse(const std::shared_ptr<MVRAPIResponse>& response,
                                                    foundation::ErrorPtr* error) override;

protected:
    MVRVerifyCredentialsCommand();
};
