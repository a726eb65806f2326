#pragma once
// The base of the account screens that show or edit the signed-in user: an editable copy of
// the current user (none while signed out), refreshed whenever the web-service client reports
// a new current user and each time the screen appears, and the avatar picture the screens
// show. Both are observable ("user", "avatarImage"). Main thread only.

#include <memory>

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/ViewController.h"

class MovaraPlanViewController : public ui::ViewController, public foundation::Observable {
public:
    const std::shared_ptr<MVRAPIMutableUser>& user() const { return m_user; }
    void setUser(std::shared_ptr<MVRAPIMutableUser> user);
    const ui::ImagePtr& avatarImage() const { return m_avatarImage; }
    void setAvatarImage(ui::ImagePtr image);

    // Replaces `user` by a fresh copy of the current user; unsaved edits go.
    virtual void currentUserDidChange(const foundation::Notification* notification);
    void viewWillAppear() override;

    const foundation::KeyTable& observableKeys() const override;

protected:
    MovaraPlanViewController();
    // Starts following the current user; called once the controller is owned.
    void observeCurrentUser();

private:
    std::shared_ptr<MVRAPIMutableUser> m_user;
    ui::ImagePtr m_avatarImage;
    foundation::NotificationCenter::Token m_currentUserObservation;
};
