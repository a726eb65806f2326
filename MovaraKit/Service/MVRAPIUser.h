#pragma once
// The web service's user record, and the current user: the one record that stands for the
// signed-in account for the whole process. Properties read the record's JSON through their
// wire keys with type checks (a value of another type reads as none; a missing or null
// Boolean as false). The current user is archived in the application-support folder when it
// is set and a second after each change, and read back at the first use of the class while a
// credential is stored. Replacing it posts MVRAPICurrentUserDidChangeNotification one
// run-loop turn later, carrying whoever is current by then. Main thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRAPIObject.h"
#include "Platform/Foundation/URL.h"

class MVRAPIMutableUser;

extern const std::string MVRAPICurrentUserDidChangeNotification; // object: the new current user, or none

class MVRAPIUser : public MVRAPIObject {
public:
    // None for anything but a non-empty JSON object.
    static std::shared_ptr<MVRAPIUser> initWithJSON(const foundation::Value& JSON);
    // The 17 wire keys that differ from their properties' names ("id" -> "user_id", ...).
    static const KeyMapping& customKeyMapping();

    static std::shared_ptr<MVRAPIUser> currentUser();
    static void setCurrentUser(const std::shared_ptr<MVRAPIUser>& user);
    static void postCurrentUserDidChangeNotification();
    // "<application support>/<executable>/currentUser.plist".
    static foundation::URL currentUserURL();
    static void archiveUser(const std::shared_ptr<MVRAPIUser>& user);
    // Reads the archive and registers the class's observers (a sign-in's or verification's
    // answer becomes the current user; a log-out clears it). Runs once per process.
    static void load();
    // Forgets the current user and the class's state without touching the archive, as a new
    // process would start; the next use of the class loads again.
    static void resetForTesting();

    std::optional<std::uint64_t> user_id() const;
    std::optional<std::string> username() const { return string("username"); }
    std::optional<std::string> realname() const { return string("realname"); }
    std::optional<std::string> email() const { return string("email"); }
    std::optional<std::string> url() const { return string("url"); }
    std::optional<std::string> bio() const { return string("description"); }
    std::optional<std::string> avatarURLString() const { return string("avatar"); }
    std::optional<foundation::URL> avatarURL() const;
    foundation::Value date_created() const { return JSON()["date_created"]; }
    foundation::Value birthdate() const { return JSON()["birthdate"]; }
    std::optional<std::int64_t> movaraCount() const { return number("num_movaras"); }
    std::optional<std::int64_t> followerCount() const { return number("num_followers"); }
    std::optional<std::int64_t> friendCount() const { return number("num_friends"); }
    std::optional<std::int64_t> lovedCount() const { return number("num_loved"); }
    std::optional<std::int64_t> privateValue() const { return number("private"); }
    std::optional<std::int64_t> is_follower() const { return number("is_follower"); }
    std::optional<std::int64_t> is_friend() const { return number("is_friend"); }
    std::optional<std::int64_t> social_friends() const { return number("social_friends"); }
    bool isPushAllowed() const { return flag("push_allowed"); }
    bool isPushCommentsAllowed() const { return flag("push_comments_allowed"); }
    bool isPushFollowsAllowed() const { return flag("push_follows_allowed"); }
    bool isPushFriendPostsAllowed() const { return flag("push_friend_posts_allowed"); }
    bool isPushLovesAllowed() const { return flag("push_loves_allowed"); }
    bool isPushProcessedAllowed() const { return flag("push_processing_allowed"); }
    bool isPushMovaraCloudAllowed() const { return flag("push_subscription_allowed"); }
    // The user's answers, none when the record holds none.
    std::optional<bool> marketingConsent() const { return boolean("marketing_consent"); }
    std::optional<bool> trackingConsent() const { return boolean("tracking_consent"); }

    // A plain user is its own copy; an editable one copies into a plain user.
    virtual std::shared_ptr<MVRAPIUser> copy();
    std::shared_ptr<MVRAPIMutableUser> mutableCopy() const;

    std::string className() const override { return "MVRAPIUser"; }

protected:
    MVRAPIUser() = default;
    const KeyMapping& classKeyMapping() const override { return customKeyMapping(); }
    std::optional<std::string> string(const char* key) const;
    std::optional<bool> boolean(const char* key) const;
    std::optional<std::int64_t> number(const char* key) const;
    bool flag(const char* key) const { return boolean(key).value_or(false); }
};

// Whether a login is stored, and its user name and password; each asks the keychain.
bool MVRIsSignedIn();
std::optional<std::string> MVRCurrentAccount();
std::optional<std::string> MVRCurrentPassword();
