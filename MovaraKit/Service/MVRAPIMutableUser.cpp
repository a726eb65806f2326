#include "MovaraKit/Service/MVRAPIMutableUser.h"

#include "MovaraKit/Service/MVRFileWriting.h"
#include "MovaraKit/Support/FileManager+Movara.h"
#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/NotificationCenter.h"

const std::string MVRUserAvatarUpdatedNotification = "MVRUserAvatarUpdatedNotification";

namespace {

// Editable properties and the names the web service takes them under.
const std::pair<const char*, const char*> kTrackedKeys[] = {
    { "realname", "realname" },
    { "url", "url" },
    { "bio", "description" },
    { "email", "email" },
    { "password", "password" },
    { "deviceToken", "push_device_token" },
    { "avatarPNGFileURL", "avatar" },
    { "pushAllowed", "push_allowed" },
    { "pushCommentsAllowed", "push_comments_allowed" },
    { "pushFollowsAllowed", "push_follows_allowed" },
    { "pushFriendPostsAllowed", "push_friend_posts_allowed" },
    { "pushLovesAllowed", "push_loves_allowed" },
    { "pushProcessedAllowed", "push_processing_allowed" },
    { "pushMovaraCloudAllowed", "push_subscription_allowed" },
    { "marketingConsent", "marketing_consent" },
    { "trackingConsent", "tracking_consent" },
};

foundation::Value optionalText(const std::optional<std::string>& value)
{
    return value ? foundation::Value(*value) : foundation::Value();
}

} // namespace

std::shared_ptr<MVRAPIMutableUser> MVRAPIMutableUser::initWithJSON(const foundation::Value& JSON)
{
    if (!JSON.isDictionary() || JSON.size() == 0)
        return nullptr;
    struct Enabler : MVRAPIMutableUser { };
    auto user = std::make_shared<Enabler>();
    user->setValuesForKeysWithJSONDictionary(JSON);
    return user;
}

MVRAPIMutableUser::~MVRAPIMutableUser()
{
    // A staged avatar that was never committed is of no use to anybody.
    dropStagedAvatar();
}

std::shared_ptr<MVRAPIUser> MVRAPIMutableUser::copy()
{
    return MVRAPIUser::initWithJSON(JSON());
}

void MVRAPIMutableUser::setString(const char* wireKey, const char* property, const std::optional<std::string>& value)
{
    foundation::Value JSON = this->JSON();
    JSON.set(wireKey, optionalText(value));
    setJSON(JSON);
    noteChangedValue(optionalText(value), property);
}

void MVRAPIMutableUser::setFlag(const char* wireKey, const char* property, bool value)
{
    setOptionalFlag(wireKey, property, value);
}

void MVRAPIMutableUser::setOptionalFlag(const char* wireKey, const char* property, std::optional<bool> value)
{
    foundation::Value JSON = this->JSON();
    foundation::Value newValue = value ? foundation::Value(*value) : foundation::Value();
    JSON.set(wireKey, newValue);
    setJSON(JSON);
    noteChangedValue(newValue, property);
}

void MVRAPIMutableUser::setMarketingConsent(std::optional<bool> consent)
{
    setOptionalFlag("marketing_consent", "marketingConsent", consent);
}

void MVRAPIMutableUser::setTrackingConsent(std::optional<bool> consent)
{
    setOptionalFlag("tracking_consent", "trackingConsent", consent);
}

void MVRAPIMutableUser::setPassword(const std::optional<std::string>& password)
{
    m_password = password;
    noteChangedValue(optionalText(password), "password");
}

void MVRAPIMutableUser::setDeviceToken(const std::optional<std::string>& token)
{
    m_deviceToken = token;
    noteChangedValue(optionalText(token), "deviceToken");
}

void MVRAPIMutableUser::setAvatarPNGFileURL(std::optional<foundation::URL> url)
{
    m_avatarPNGFileURL = std::move(url);
    noteChangedValue(m_avatarPNGFileURL ? foundation::Value(m_avatarPNGFileURL->absoluteString()) : foundation::Value(), "avatarPNGFileURL");
}

std::optional<foundation::Data> MVRAPIMutableUser::avatarPNGData() const
{
    if (!m_avatarPNGFileURL)
        return std::nullopt;
    // A staged avatar is a small picture; a file far larger is not sent.
    foundation::ErrorPtr error;
    auto data = foundation::FileManager::defaultManager().contentsAtPath(m_avatarPNGFileURL->path(), &error, 16 << 20);
    if (!data && error && error->code() == foundation::NSFileReadTooLargeError)
        mvr_frameworkLog().error("Not sending the avatar: %{public}s", nullptr, error->localizedDescription());
    return data;
}

void MVRAPIMutableUser::dropStagedAvatar()
{
    if (m_avatarPNGFileURL)
        foundation::FileManager::defaultManager().removeItemAtURL(*m_avatarPNGFileURL);
    m_avatarPNGFileURL.reset();
}

bool MVRAPIMutableUser::setAvatarPNGData(const std::optional<foundation::Data>& data, foundation::ErrorPtr* error)
{
    if (!data) {
        m_avatarPNGFileURL.reset();
        return true;
    }
    // Replacing a staged avatar must not record its removal on the way: if the new file can't
    // be written, the commit would otherwise delete the avatar on the server.
    const foundation::Value* previous = m_changes.find("avatarPNGFileURL");
    const bool hadChange = previous != nullptr;
    const foundation::Value recorded = previous ? *previous : foundation::Value();
    dropStagedAvatar();
    const auto& files = foundation::FileManager::defaultManager();
    const foundation::URL url = mvr_uniqueFileURLInDirectory(files.temporaryDirectory().path(), "avatar", "png");
    if (!mvr_writeDataAtomically(*data, url, error)) {
        if (hadChange && recorded.isString() && recorded.asString() != "false")
            m_changes.erase("avatarPNGFileURL"); // the file it named is gone
        else if (hadChange)
            m_changes.set("avatarPNGFileURL", recorded);
        return false;
    }
    setAvatarPNGFileURL(url);
    return true;
}

void MVRAPIMutableUser::removeAvatar()
{
    dropStagedAvatar();
    setAvatarPNGFileURL(std::nullopt);
    foundation::Value JSON = this->JSON();
    JSON.set("avatar", foundation::Value());
    setJSON(JSON);
}

void MVRAPIMutableUser::noteChangedValue(const foundation::Value& value, const std::string& key)
{
    foundation::Value recorded = value;
    if (value.isBool() || ((value.isInteger() || value.isReal()) && (value.asDouble() == 0 || value.asDouble() == 1)))
        recorded = value.asDouble() != 0 ? "true" : "false";
    if (recorded.isNull() && key == "avatarPNGFileURL")
        recorded = "false";
    m_changes.set(key, recorded);
}

foundation::Value MVRAPIMutableUser::updateParameters() const
{
    foundation::Value parameters = foundation::Value::dictionary();
    for (const auto& [property, value] : m_changes.asDictionary()) {
        std::string wire = property;
        for (const auto& [name, wireName] : kTrackedKeys)
            if (property == name)
                wire = wireName;
        parameters.set(wire, value);
    }
    return parameters;
}

void MVRAPIMutableUser::commitChangesWithCompletionHandler(MVRCommand::CompletionHandler handler)
{
    if (!hasChanges()) {
        mvr_frameworkLog().info("%{public}s has no changes, running completion block with nil arguments!", nullptr, description());
        if (handler)
            handler(nullptr, nullptr);
        return;
    }
    const auto id = user_id();
    if (!id) {
        // Without its identifier the record can't be addressed; sending "users/0" would
        // change somebody else's record or fail obscurely.
        if (handler)
            handler(nullptr, foundation::Error::make(foundation::NSCocoaErrorDomain, 0, "The user record has no identifier."));
        return;
    }
    auto command = MVRCommand::initWithURLString("users/" + std::to_string(*id), "PUT", updateParameters());
    std::weak_ptr<MVRAPIMutableUser> weak = std::static_pointer_cast<MVRAPIMutableUser>(shared_from_this());
    command->sendWithCompletionHandler([weak, handler](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        if (!error && response && !response->JSONObject().isNull()) {
            if (auto current = MVRAPIUser::currentUser())
                current->setValuesForKeysWithJSONDictionary(response->JSONObject());
            if (auto self = weak.lock()) {
                if (self->m_changes.contains("avatarPNGFileURL"))
                    foundation::NotificationCenter::defaultCenter().post(MVRUserAvatarUpdatedNotification, self);
                self->dropStagedAvatar();
                self->m_changes = foundation::Value::dictionary();
            }
        }
        if (handler)
            handler(response, error);
    });
}
