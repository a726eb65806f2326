#include "MovaraKit/Service/MVRAPIMutableUser.h"

#include "MovaraKit/Support/FrameworkLog.h"

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

std::shared_ptr<MVRAPIUser> MVRAPIMutableUser::copy()
{
    return MVRAPIUser::initWithJSON(JSON());
}

void MVRAPIMutableUser::setProperty(const char* wireKey, const char* property, std::optional<bool> value)
{
    foundation::Value JSON = this->JSON();
    foundation::Value newValue = value ? foundation::Value(*value) : foundation::Value();
    JSON.set(wireKey, newValue);
    setJSON(JSON);
    noteChangedValue(newValue, property);
}

void MVRAPIMutableUser::setMarketingConsent(std::optional<bool> consent)
{
    setProperty("marketing_consent", "marketingConsent", consent);
}

void MVRAPIMutableUser::setTrackingConsent(std::optional<bool> consent)
{
    setProperty("tracking_consent", "trackingConsent", consent);
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
            handler(nullptr, foundation::Error::make(foundation::CocoaErrorDomain, 0, "The user record has no identifier."));
        return;
    }
    auto command = MVRCommand::initWithURLString("users/" + std::to_string(*id), "PUT", updateParameters());
    std::weak_ptr<MVRAPIMutableUser> weak = std::static_pointer_cast<MVRAPIMutableUser>(shared_from_this());
    command->sendWithCompletionHandler([weak, handler](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        if (!error && response && !response->JSONObject().isNull()) {
            if (auto current = MVRAPIUser::currentUser())
                current->setValuesForKeysWithJSONDictionary(response->JSONObject());
            if (auto self = weak.lock())
                self->m_changes = foundation::Value::dictionary();
        }
        if (handler)
            handler(response, error);
    });
}
