#include "MovaraKit/Service/MVRAPIUser.h"

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "MovaraKit/Service/MVRAPIService.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "MovaraKit/Service/MVRFileWriting.h"
#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/NotificationCenter.h"

#include <mutex>

const std::string MVRAPICurrentUserDidChangeNotification = "MVRAPICurrentUserDidChangeNotification";

namespace {

std::shared_ptr<MVRAPIUser>& currentUserStorage()
{
    static std::shared_ptr<MVRAPIUser> user;
    return user;
}

struct ClassState {
    bool loaded = false;
    foundation::NotificationCenter::Token willFinish;
    foundation::NotificationCenter::Token didLogOut;
    foundation::NotificationCenter::Token userDidChange;
    unsigned archiveGeneration = 0;
};

ClassState& classState()
{
    static ClassState state;
    return state;
}

void registerCodingClass()
{
    static std::once_flag once;
    std::call_once(once, [] {
        foundation::KeyedArchiver::registerClass({ "MVRAPIUser", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            return MVRAPIUser::initWithJSON(coder.decodeValue("JSON"));
        } });
    });
}

// A second after the last of a burst of changes, the current user is written once.
void userDidUpdate(const foundation::Notification&)
{
    const unsigned generation = ++classState().archiveGeneration;
    dispatch::Queue::main()->asyncAfter(1.0, [generation] {
        if (generation != classState().archiveGeneration)
            return;
        if (auto user = currentUserStorage())
            MVRAPIUser::archiveUser(user);
    });
}

void observeCurrentUser(const std::shared_ptr<MVRAPIUser>& user)
{
    auto& state = classState();
    state.userDidChange = {};
    ++state.archiveGeneration; // a pending write of the former user is dropped
    if (user)
        state.userDidChange = foundation::NotificationCenter::defaultCenter().addObserver(
            MVRAPIObjectDidChangeNotification, foundation::identityOf(user.get()), nullptr, userDidUpdate);
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

const MVRAPIObject::KeyMapping& MVRAPIUser::customKeyMapping()
{
    static const KeyMapping mapping {
        { "id", "user_id" },
        { "description", "bio" },
        { "avatar", "avatarURLString" },
        { "num_movaras", "movaraCount" },
        { "num_followers", "followerCount" },
        { "num_friends", "friendCount" },
        { "num_loved", "lovedCount" },
        { "private", "privateValue" },
        { "push_allowed", "pushAllowed" },
        { "push_comments_allowed", "pushCommentsAllowed" },
        { "push_follows_allowed", "pushFollowsAllowed" },
        { "push_friend_posts_allowed", "pushFriendPostsAllowed" },
        { "push_loves_allowed", "pushLovesAllowed" },
        { "push_processing_allowed", "pushProcessedAllowed" },
        { "push_subscription_allowed", "pushMovaraCloudAllowed" },
        { "marketing_consent", "marketingConsent" },
        { "tracking_consent", "trackingConsent" },
    };
    return mapping;
}

std::shared_ptr<MVRAPIUser> MVRAPIUser::initWithJSON(const foundation::Value& JSON)
{
    if (!JSON.isDictionary() || JSON.size() == 0)
        return nullptr;
    struct Enabler : MVRAPIUser { };
    auto user = std::make_shared<Enabler>();
    user->setValuesForKeysWithJSONDictionary(JSON);
    return user;
}

foundation::URL MVRAPIUser::currentUserURL()
{
    auto& files = foundation::FileManager::defaultManager();
    auto support = files.URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, false)
                       .value_or(foundation::URL::fileURLWithPath("/tmp", true));
    std::string executable;
    if (auto bundle = foundation::Bundle::main())
        executable = bundle->objectForInfoDictionaryKey("CFBundleExecutable").asString();
    if (executable.empty())
        executable = "Movara";
    return support.URLByAppendingPathComponent(executable, true).URLByAppendingPathComponent("currentUser.plist");
}

void MVRAPIUser::archiveUser(const std::shared_ptr<MVRAPIUser>& user)
{
    registerCodingClass();
    const foundation::URL url = currentUserURL();
    auto& files = foundation::FileManager::defaultManager();
    files.createDirectoryAtURL(url.URLByDeletingLastPathComponent(), true);
    foundation::ErrorPtr error;
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(user, false, &error);
    if (error || !mvr_writeDataAtomically(data, url, &error))
        mvr_frameworkLog().error("error writing current user", nullptr);
}

void MVRAPIUser::load()
{
    auto& state = classState();
    if (state.loaded)
        return;
    state.loaded = true;
    registerCodingClass();

    const foundation::URL url = currentUserURL();
    auto& files = foundation::FileManager::defaultManager();
    std::shared_ptr<MVRAPIUser> stored;
    // The signed-in user's archive is a few kilobytes; a file far larger is refused unread.
    foundation::ErrorPtr readError;
    auto data = files.contentsAtPath(url.path(), &readError, 1 << 20);
    if (!data && readError && readError->code() == foundation::NSFileReadTooLargeError)
        mvr_frameworkLog().error("Caught bad currentUser.plist exception: %{public}s", nullptr, readError->localizedDescription());
    if (data) {
        foundation::ErrorPtr error;
        stored = std::dynamic_pointer_cast<MVRAPIUser>(foundation::KeyedUnarchiver::unarchivedObjectOfClasses({ "MVRAPIUser" }, *data, &error));
        if (error)
            mvr_frameworkLog().error("Caught bad currentUser.plist exception: %{public}s", nullptr, error->localizedDescription());
    }
    // The archive is trusted only while somebody is signed in.
    if (stored && MVRCredentialStorage::sharedCredentialStorage()->loginCredential()) {
        currentUserStorage() = stored;
        observeCurrentUser(stored);
    } else {
        files.removeItemAtURL(url);
    }

    auto& center = foundation::NotificationCenter::defaultCenter();
    state.willFinish = center.addObserver(MVRCommandWillFinishNotification, nullptr, dispatch::Queue::main(), commandWillFinish);
    state.didLogOut = center.addObserver(MVRAPIServiceDidLogOutNotification, nullptr, dispatch::Queue::main(),
                                         [](const foundation::Notification&) { setCurrentUser(nullptr); });
}

void MVRAPIUser::resetForTesting()
{
    auto& state = classState();
    state.willFinish = {};
    state.didLogOut = {};
    state.userDidChange = {};
    ++state.archiveGeneration;
    state.loaded = false;
    currentUserStorage() = nullptr;
}

std::shared_ptr<MVRAPIUser> MVRAPIUser::currentUser()
{
    load();
    return currentUserStorage();
}

void MVRAPIUser::setCurrentUser(const std::shared_ptr<MVRAPIUser>& user)
{
    load();
    auto& current = currentUserStorage();
    if (current == user)
        return;
    current = user;
    observeCurrentUser(user);
    if (user)
        archiveUser(user);
    else
        foundation::FileManager::defaultManager().removeItemAtURL(currentUserURL());
    // On a later turn, after the code that changed the user has finished.
    dispatch::RunLoop::current().perform([] { postCurrentUserDidChangeNotification(); });
}

std::optional<foundation::URL> MVRAPIUser::avatarURL() const
{
    auto text = avatarURLString();
    return text ? foundation::URL::URLWithString(*text) : std::nullopt;
}

std::optional<std::int64_t> MVRAPIUser::number(const char* key) const
{
    const auto& value = JSON()[key];
    if (value.isBool() || !value.isNumber())
        return std::nullopt;
    return value.integerValue();
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
    if (value.isBool())
        return value.boolValue();
    if (value.isNumber())
        return value.asDouble() != 0;
    // "true"/"false" as text, as some answers spell them.
    if (value.isString() && (value.asString() == "true" || value.asString() == "false"))
        return value.asString() == "true";
    return std::nullopt;
}

std::shared_ptr<MVRAPIUser> MVRAPIUser::copy()
{
    return std::static_pointer_cast<MVRAPIUser>(shared_from_this());
}

std::shared_ptr<MVRAPIMutableUser> MVRAPIUser::mutableCopy() const
{
    return MVRAPIMutableUser::initWithJSON(JSON());
}

bool MVRIsSignedIn()
{
    return MVRCredentialStorage::sharedCredentialStorage()->loginCredential() != nullptr;
}

std::optional<std::string> MVRCurrentAccount()
{
    auto credential = MVRCredentialStorage::sharedCredentialStorage()->loginCredential();
    return credential ? std::optional<std::string>(credential->username()) : std::nullopt;
}

std::optional<std::string> MVRCurrentPassword()
{
    auto credential = MVRCredentialStorage::sharedCredentialStorage()->loginCredential();
    return credential ? credential->password() : std::nullopt;
}
