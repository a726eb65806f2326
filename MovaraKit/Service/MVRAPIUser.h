#pragma once
// The web service's user record, and the current user: the one record that stands for the
// signed-in account for the whole process. Replacing the current user posts
// MVRAPICurrentUserDidChangeNotification one run-loop turn later, carrying whoever is current
// by then. Main thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRAPIObject.h"

class MVRAPIMutableUser;

extern const std::string MVRAPICurrentUserDidChangeNotification; // object: the new current user, or none

class MVRAPIUser : public MVRAPIObject {
public:
    // None for anything but a non-empty JSON object.
    static std::shared_ptr<MVRAPIUser> initWithJSON(const foundation::Value& JSON);

    static std::shared_ptr<MVRAPIUser> currentUser();
    static void setCurrentUser(const std::shared_ptr<MVRAPIUser>& user);
    static void postCurrentUserDidChangeNotification();
    // Registers the class's observers (a sign-in's or verification's answer becomes the
    // current user; a log-out clears it). Runs once; the API service calls it when it is made.
    static void load();

    std::optional<std::uint64_t> user_id() const;
    std::optional<std::string> username() const { return string("username"); }
    std::optional<std::string> email() const { return string("email"); }
    std::optional<std::string> realname() const { return string("realname"); }
    std::optional<std::string> avatarURLString() const { return string("avatar"); }
    // The user's answers, none when the record holds none.
    std::optional<bool> marketingConsent() const { return boolean("marketing_consent"); }
    std::optional<bool> trackingConsent() const { return boolean("tracking_consent"); }

    // A plain user is its own copy; an editable one copies into a plain user.
    virtual std::shared_ptr<MVRAPIUser> copy();
    std::shared_ptr<MVRAPIMutableUser> mutableCopy() const;

protected:
    MVRAPIUser() = default;
    std::optional<std::string> string(const char* key) const;
    std::optional<bool> boolean(const char* key) const;
};
