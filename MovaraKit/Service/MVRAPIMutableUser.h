#pragma once
// The editable copy of a user: records each change of an editable field in the form the web
// service expects (Booleans as "true"/"false", a cleared field as null) and commits them in one
// "PUT" of the user record; a new avatar is staged as a PNG file in the temporary folder and
// travels as a file part. After a successful commit the current user takes the service's
// answer, and the staged file is removed. A failed commit keeps the changes for another try.
// Main thread.

#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCommand.h"

extern const std::string MVRUserAvatarUpdatedNotification; // object: the editable user

class MVRAPIMutableUser : public MVRAPIUser {
public:
    static std::shared_ptr<MVRAPIMutableUser> initWithJSON(const foundation::Value& JSON);
    ~MVRAPIMutableUser() override;

    void setRealname(const std::optional<std::string>& value) { setString("realname", "realname", value); }
    void setUrl(const std::optional<std::string>& value) { setString("url", "url", value); }
    void setBio(const std::optional<std::string>& value) { setString("description", "bio", value); }
    void setEmail(const std::optional<std::string>& value) { setString("email", "email", value); }
    void setPushAllowed(bool value) { setFlag("push_allowed", "pushAllowed", value); }
    void setPushCommentsAllowed(bool value) { setFlag("push_comments_allowed", "pushCommentsAllowed", value); }
    void setPushFollowsAllowed(bool value) { setFlag("push_follows_allowed", "pushFollowsAllowed", value); }
    void setPushFriendPostsAllowed(bool value) { setFlag("push_friend_posts_allowed", "pushFriendPostsAllowed", value); }
    void setPushLovesAllowed(bool value) { setFlag("push_loves_allowed", "pushLovesAllowed", value); }
    void setPushProcessedAllowed(bool value) { setFlag("push_processing_allowed", "pushProcessedAllowed", value); }
    void setPushMovaraCloudAllowed(bool value) { setFlag("push_subscription_allowed", "pushMovaraCloudAllowed", value); }
    void setMarketingConsent(std::optional<bool> consent);
    void setTrackingConsent(std::optional<bool> consent);

    // Not part of the record: what the server sends never sets them.
    const std::optional<std::string>& password() const { return m_password; }
    void setPassword(const std::optional<std::string>& password);
    const std::optional<std::string>& deviceToken() const { return m_deviceToken; }
    void setDeviceToken(const std::optional<std::string>& token);

    const std::optional<foundation::URL>& avatarPNGFileURL() const { return m_avatarPNGFileURL; }
    std::optional<foundation::Data> avatarPNGData() const;
    // Stages the PNG as "avatar.png" (or "avatar 2.png"...) in the temporary folder; none
    // drops the staged file. A failed write changes nothing that was recorded before.
    bool setAvatarPNGData(const std::optional<foundation::Data>& data, foundation::ErrorPtr* error = nullptr);
    // The avatar goes: "avatar" is sent as "false".
    void removeAvatar();

    // Records one change of property `key` (booleans become "true"/"false", none null).
    void noteChangedValue(const foundation::Value& value, const std::string& key);
    bool hasChanges() const { return m_changes.size() > 0; }
    const foundation::Value& changes() const { return m_changes; }
    // The changes under their wire names.
    foundation::Value updateParameters() const;
    // Without changes calls `handler` at once with nothing; otherwise sends the changes.
    void commitChangesWithCompletionHandler(MVRCommand::CompletionHandler handler);

    std::shared_ptr<MVRAPIUser> copy() override;

private:
    MVRAPIMutableUser() = default;
    void setString(const char* wireKey, const char* property, const std::optional<std::string>& value);
    void setFlag(const char* wireKey, const char* property, bool value);
    void setOptionalFlag(const char* wireKey, const char* property, std::optional<bool> value);
    void setAvatarPNGFileURL(std::optional<foundation::URL> url);
    void dropStagedAvatar();

    foundation::Value m_changes = foundation::Value::dictionary();
    std::optional<std::string> m_password;
    std::optional<std::string> m_deviceToken;
    std::optional<foundation::URL> m_avatarPNGFileURL;
};
