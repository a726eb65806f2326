#pragma once
// User notifications: delivered to the desktop's notification service (through notify-send
// when a session bus is running, never under tests) and always kept in the list of
// delivered notifications. A delegate decides whether to present one while the application
// is active and hears when the user activates (clicks) one. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"
#include "Platform/UI/Object.h"

namespace ui {

extern const std::string UserNotificationDefaultSoundName; // "DefaultSoundName"

class UserNotificationCenter;

class UserNotification : public Object {
public:
    static std::shared_ptr<UserNotification> init();

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }
    const std::string& subtitle() const { return m_subtitle; }
    void setSubtitle(std::string subtitle) { m_subtitle = std::move(subtitle); }
    const std::string& informativeText() const { return m_informativeText; }
    void setInformativeText(std::string text) { m_informativeText = std::move(text); }
    const std::string& soundName() const { return m_soundName; }
    void setSoundName(std::string name) { m_soundName = std::move(name); }
    // A dictionary (or null).
    const foundation::Value& userInfo() const { return m_userInfo; }
    void setUserInfo(foundation::Value info) { m_userInfo = std::move(info); }
    const std::string& identifier() const { return m_identifier; }
    void setIdentifier(std::string identifier) { m_identifier = std::move(identifier); }
    // Whether it was shown to the user when delivered.
    bool isPresented() const { return m_presented; }

protected:
    UserNotification();

private:
    friend class UserNotificationCenter;
    std::string m_title;
    std::string m_subtitle;
    std::string m_informativeText;
    std::string m_soundName;
    foundation::Value m_userInfo;
    std::string m_identifier;
    bool m_presented = false;
};

using UserNotificationPtr = std::shared_ptr<UserNotification>;

class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;
    // Asked only while the application is active; by default such notifications stay quiet.
    virtual bool userNotificationCenterShouldPresent(UserNotificationCenter& center, const UserNotificationPtr& notification)
    {
        (void)center;
        (void)notification;
        return false;
    }
    virtual void userNotificationCenterDidDeliver(UserNotificationCenter& center, const UserNotificationPtr& notification)
    {
        (void)center;
        (void)notification;
    }
    virtual void userNotificationCenterDidActivate(UserNotificationCenter& center, const UserNotificationPtr& notification)
    {
        (void)center;
        (void)notification;
    }
};

class UserNotificationCenter {
public:
    static UserNotificationCenter& defaultUserNotificationCenter();

    std::shared_ptr<UserNotificationCenterDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<UserNotificationCenterDelegate>& delegate) { m_delegate = delegate; }

    void deliverNotification(const UserNotificationPtr& notification);
    const std::vector<UserNotificationPtr>& deliveredNotifications() const { return m_delivered; }
    void removeDeliveredNotification(const UserNotificationPtr& notification);
    void removeAllDeliveredNotifications() { m_delivered.clear(); }
    // The user clicked the notification: tells the delegate.
    void activateNotification(const UserNotificationPtr& notification);

    // How many notifications were handed to the desktop's service.
    long desktopDeliveries() const { return m_desktopDeliveries; }

private:
    UserNotificationCenter() = default;

    std::weak_ptr<UserNotificationCenterDelegate> m_delegate;
    std::vector<UserNotificationPtr> m_delivered;
    long m_desktopDeliveries = 0;
};

} // namespace ui
