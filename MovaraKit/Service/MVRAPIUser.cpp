#include "MovaraKit/Service/MVRAPIUser.h"

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "MovaraKit/Service/MVRAPIService.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"

const std::string MVRAPICurrentUserDidChangeNotification = "MVRAPICurrentUserDidChangeNotification";

namespace {

std::shared_ptr<MVRAPIUser>& currentUserStorage()
{
    static std::shared_ptr<MVRAPIUser> user;
    return user;
}

void commandWillFinish(const foundation::Notification& notification)
{
    auto command = notification.objectAs<MVRCommand>();
    const auto* response = notification.userInfoValue<std::shared_ptr<MVRAPIResponse>>(MVRCommandAPIResponseKey);
    if (!command || !response || !*response)
        return;
    if (command->credential()) {
        // Sign-in and sign-up: the answer's user is the new current user.
        if (auto user = std::dynamic_pointer_cast<MVRAPIUser>((*response)->APIObject()))
            MVRAPIUser::setCurrentUser(user);
        return;
    }
    if (std::dynamic_pointer_cast<MVRVerifyCredentialsCommand>(command) && MVRCredentialStorage::sharedCredentialStorage()->loginCredential()
        && (*response)->JSONObject().isDictionary()) {
        if (auto current = MVRAPIUser::currentUser())
            current->setValuesForKeysWithJSONDictionary((*response)->JSONObject());
        else if (auto user = MVRAPIUser::initWithJSON((*response)->JSONObject()))
            MVRAPIUser::setCurrentUser(user);
    }
}

} // namespace

std::shared_ptr<MVRAPIUser> MVRAPIUser::initWithJSON(const foundation::Value& JSON)
{
    if (!JSON.isDictionary() || JSON.size() == 0)
        return nullptr;
    struct Enabler : MVRAPIUser { };
    auto user = std::make_shared<Enabler>();
    user->setValuesForKeysWithJSONDictionary(JSON);
    return user;
}

void MVRAPIUser::load()
{
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    auto& center = foundation::NotificationCenter::defaultCenter();
    static auto willFinish = center.addObserver(MVRCommandWillFinishNotification, nullptr, dispatch::Queue::main(), commandWillFinish);
    static auto didLogOut = center.addObserver(MVRAPIServiceDidLogOutNotification, nullptr, dispatch::Queue::main(),
                                               [](const foundation::Notification&) { setCurrentUser(nullptr); });
}

std::shared_ptr<MVRAPIUser> MVRAPIUser::currentUser()
{
    return currentUserStorage();
}

void MVRAPIUser::setCurrentUser(const std::shared_ptr<MVRAPIUser>& user)
{
    load();
    auto& current = currentUserStorage();
    if (current == user)
        return;
    current = user;
    // On a later turn, after the code that changed the user has finished.
    dispatch::RunLoop::current().perform([] { postCurrentUserDidChangeNotification(); });
}

void MVRAPIUser::postCurrentUserDidChangeNotification()
{
    auto user = currentUserStorage();
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (user)
        center.post(MVRAPICurrentUserDidChangeNotification, user);
    else
        center.post(MVRAPICurrentUserDidChangeNotification, nullptr);
}

std::optional<std::uint64_t> MVRAPIUser::user_id() const
{
    const auto& value = JSON()["id"];
    if (value.isBool() || !value.isNumber())
        return std::nullopt;
    auto id = value.integerValue();
    if (!id || *id < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(*id);
}

std::optional<std::string> MVRAPIUser::string(const char* key) const
{
    return JSON()[key].stringValue();
}

std::optional<bool> MVRAPIUser::boolean(const char* key) const
{
    const auto& value = JSON()[key];
    if (!value.isNumber())
        return std::nullopt;
    return value.boolValue();
}

std::shared_ptr<MVRAPIUser> MVRAPIUser::copy()
{
    return std::static_pointer_cast<MVRAPIUser>(shared_from_this());
}

std::shared_ptr<MVRAPIMutableUser> MVRAPIUser::mutableCopy() const
{
    return MVRAPIMutableUser::initWithJSON(JSON());
}
