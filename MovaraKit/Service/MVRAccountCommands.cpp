#include "MovaraKit/Service/MVRAccountCommands.h"

#include "MovaraKit/Service/MVRAPIUser.h"

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
