#pragma once
// The account commands of the web service that this build sends.

#include <memory>

#include "MovaraKit/Service/MVRCommand.h"

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
