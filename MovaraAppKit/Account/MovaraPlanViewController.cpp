#include "MovaraAppKit/Account/MovaraPlanViewController.h"

#include "MovaraAppKit/Controls/RoundAvatarView.h"

MovaraPlanViewController::MovaraPlanViewController()
    : m_avatarImage(RoundAvatarView::defaultAvatarImage())
{
}

void MovaraPlanViewController::observeCurrentUser()
{
    std::weak_ptr<MovaraPlanViewController> weak = std::static_pointer_cast<MovaraPlanViewController>(shared_from_this());
    m_currentUserObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRAPICurrentUserDidChangeNotification, nullptr, nullptr, [weak](const foundation::Notification& notification) {
            if (auto self = weak.lock())
                self->currentUserDidChange(&notification);
        });
}

void MovaraPlanViewController::setUser(std::shared_ptr<MVRAPIMutableUser> user)
{
    willChange("user");
    m_user = std::move(user);
    didChange("user");
}

void MovaraPlanViewController::setAvatarImage(ui::ImagePtr image)
{
    willChange("avatarImage");
    m_avatarImage = std::move(image);
    didChange("avatarImage");
}

void MovaraPlanViewController::currentUserDidChange(const foundation::Notification*)
{
    auto current = MVRAPIUser::currentUser();
    setUser(current ? current->mutableCopy() : nullptr);
}

void MovaraPlanViewController::viewWillAppear()
{
    ui::ViewController::viewWillAppear();
    currentUserDidChange(nullptr);
}

const foundation::KeyTable& MovaraPlanViewController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("user", [](const foundation::Observable& o) -> std::any { return static_cast<const MovaraPlanViewController&>(o).user(); })
            .key("avatarImage", [](const foundation::Observable& o) -> std::any {
                return static_cast<const MovaraPlanViewController&>(o).avatarImage();
            });
        return t;
    }();
    return table;
}
