#pragma once
// The account window's main content: while signed out, buttons that lead to the sign-in and
// create-account form ("MovaraPlanSignInSegue", "MovaraPlanCreateSegue"); while signed in,
// the user's name and picture and the way to the settings tabs
// ("MovaraPlanAccountSettingsSegue"). Main thread only.

#include <memory>

#include "MovaraAppKit/Account/MovaraPlanViewController.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/StoryboardSegue.h"
#include "Platform/UI/TextField.h"

extern const std::string MovaraPlanWindowStoryboard; // "MovaraPlanWindow"

class MovaraPlanHomeViewController : public MovaraPlanViewController, public ui::SeguePreparing {
public:
    static std::shared_ptr<MovaraPlanHomeViewController> init();

    bool signedIn() const { return user() != nullptr; }
    std::string greeting() const;

    void loadView() override;
    void currentUserDidChange(const foundation::Notification* notification) override;
    void prepareForSegue(ui::StoryboardSegue& segue, ui::Object* sender) override;

    void showSignIn(ui::Object* sender);
    void showCreateAccount(ui::Object* sender);
    void showAccountSettings(ui::Object* sender);

    const foundation::KeyTable& observableKeys() const override;

private:
    MovaraPlanHomeViewController();
};
