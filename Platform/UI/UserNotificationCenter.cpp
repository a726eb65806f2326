#include "Platform/UI/UserNotificationCenter.h"

#include <algorithm>
#include <cstdlib>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Spawn.h"

namespace ui {

const std::string UserNotificationDefaultSoundName = "DefaultSoundName";

UserNotification::UserNotification()
    : m_identifier(foundation::UUID::random().UUIDString())
{
}

std::shared_ptr<UserNotification> UserNotification::init()
{
    return std::shared_ptr<UserNotification>(new UserNotification());
}

UserNotificationCenter& UserNotificationCenter::defaultUserNotificationCenter()
{
    static UserNotificationCenter center;
    return center;
}

void UserNotificationCenter::deliverNotification(const UserNotificationPtr& notification)
{
    if (!notification)
        return;
    // Delivering the same notification again replaces it in the list.
    removeDeliveredNotification(notification);
    auto d = delegate();
    bool present = true;
    if (Application::shared()->isActive())
        present = d && d->userNotificationCenterShouldPresent(*this, notification);
    notification->m_presented = present;
    m_delivered.push_back(notification);
    if (present) {
        const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (bus && *bus) {
            std::string appName = "Quintor";
            if (auto bundle = foundation::Bundle::main()) {
                const auto& name = bundle->objectForInfoDictionaryKey("CFBundleName");
                if (name.isString() && !name.asString().empty())
                    appName = name.asString();
            }
            // "--" ends the options: a title that starts with "-" is still a title.
            if (detail::spawnDetached({"notify-send", "--app-name=" + appName, "--", notification->title(),
                                       notification->informativeText()}))
                ++m_desktopDeliveries;
        }
    }
    if (d)
        d->userNotificationCenterDidDeliver(*this, notification);
}

void UserNotificationCenter::removeDeliveredNotification(const UserNotificationPtr& notification)
{
    m_delivered.erase(std::remove_if(m_delivered.begin(), m_delivered.end(),
                                     [&](const UserNotificationPtr& n) {
                                         return n == notification || n->identifier() == notification->identifier();
                                     }),
                      m_delivered.end());
}

void UserNotificationCenter::activateNotification(const UserNotificationPtr& notification)
{
    if (!notification)
        return;
    if (auto d = delegate())
        d->userNotificationCenterDidActivate(*this, notification);
}

} // namespace ui
