#pragma once
// The account window's settings tabs for the signed-in user: Password, Consent and Profile.
// Each edits the editable copy `user` (the password tab builds its own) and saves it with the
// user's commit; while a save runs the tab's controls are off ("enableEditControls"), and the
// update button ("enableUpdateButton") follows the tab's own rule. Failures are sheet alerts.
// Main thread only.

#include <memory>
#include <string>

#include "MovaraAppKit/Account/MovaraPlanViewController.h"
#include "MovaraAppKit/Controls/RoundAvatarView.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Switch.h"
#include "Platform/UI/TabViewController.h"
#include "Platform/UI/TextField.h"

class MovaraPlanAccountSettingsViewController : public MovaraPlanViewController {
public:
    bool enableUpdateButton() const { return m_enableUpdateButton; }
    void setEnableUpdateButton(bool value);
    bool enableEditControls() const { return m_enableEditControls; }
    void setEnableEditControls(bool value);

    void viewWillAppear() override;
    const std::shared_ptr<ui::Button>& updateButton() const { return m_updateButton; }
    // For the tabs' factories: starts following the current user.
    void observeCurrentUserFromFactory() { observeCurrentUser(); }

    const foundation::KeyTable& observableKeys() const override;

protected:
    MovaraPlanAccountSettingsViewController() = default;
    void presentAlert(const std::shared_ptr<ui::Alert>& alert, std::function<void()> then);
    // A titled pane with the update button bound to the two flags.
    std::shared_ptr<ui::View> makePane(const std::string& title, const std::string& buttonTitle, const char* action);
    std::shared_ptr<ui::TextField> makeField(long tag, const std::string& placeholder, const char* key, double y, bool secure);

    std::shared_ptr<ui::Button> m_updateButton;

private:
    bool m_enableUpdateButton = false;
    bool m_enableEditControls = false;
};

class MovaraPlanAccountSettingsPasswordViewController : public MovaraPlanAccountSettingsViewController, public ui::ControlTextEditingDelegate {
public:
    // The tags of the text fields, named for the properties they are bound to.
    enum class FieldTag : long { passwordOld = 201, passwordNew1 = 202, passwordNew2 = 203 };

    static std::shared_ptr<MovaraPlanAccountSettingsPasswordViewController> init();

    const std::string& passwordOld() const { return m_passwordOld; }
    void setPasswordOld(std::string value);
    const std::string& passwordNew1() const { return m_passwordNew1; }
    void setPasswordNew1(std::string value);
    const std::string& passwordNew2() const { return m_passwordNew2; }
    void setPasswordNew2(std::string value);

    void loadView() override;
    void viewWillAppear() override;
    void controlTextDidChange(ui::TextField& field) override;
    void changeMovaraPassword(ui::Object* sender);
    std::shared_ptr<ui::TextField> fieldWithTag(FieldTag tag) const;

    const foundation::KeyTable& observableKeys() const override;

private:
    MovaraPlanAccountSettingsPasswordViewController();
    std::string m_passwordOld;
    std::string m_passwordNew1;
    std::string m_passwordNew2;
    std::map<FieldTag, std::shared_ptr<ui::TextField>> m_fields;
};

class MovaraPlanAccountSettingsConsentViewController : public MovaraPlanAccountSettingsViewController {
public:
    static std::shared_ptr<MovaraPlanAccountSettingsConsentViewController> init();

    // The user's consents, as the switches show them.
    bool userMarketingConsent() const;
    void setUserMarketingConsent(bool value);
    bool userTrackingConsent() const;
    void setUserTrackingConsent(bool value);

    void loadView() override;
    void fieldDidChange(ui::Object* sender);
    void updateConsent(ui::Object* sender);
    const std::shared_ptr<ui::Switch>& marketingSwitch() const { return m_marketingSwitch; }
    const std::shared_ptr<ui::Switch>& trackingSwitch() const { return m_trackingSwitch; }

    const foundation::KeyTable& observableKeys() const override;

private:
    MovaraPlanAccountSettingsConsentViewController();
    std::shared_ptr<ui::Switch> m_marketingSwitch;
    std::shared_ptr<ui::Switch> m_trackingSwitch;
};

class MovaraPlanAccountSettingsProfileViewController : public MovaraPlanAccountSettingsViewController, public ui::ControlTextEditingDelegate {
public:
    // The tags of the text fields, named for the user's properties they are bound to.
    enum class FieldTag : long { userRealname = 101, userEmail = 102, userURL = 103, userBio = 104 };

    static std::shared_ptr<MovaraPlanAccountSettingsProfileViewController> init();

    // The user's fields, as the text fields show them.
    std::string userRealname() const;
    void setUserRealname(std::string value);
    std::string userEmail() const;
    void setUserEmail(std::string value);
    std::string userURL() const;
    void setUserURL(std::string value);
    std::string userBio() const;
    void setUserBio(std::string value);
    bool didChangeAvatar() const { return m_didChangeAvatar; }

    void loadView() override;
    void awakeFromNib() override;
    void viewWillAppear() override;
    void controlTextDidChange(ui::TextField& field) override;
    void updateProfile(ui::Object* sender);
    const std::shared_ptr<RoundAvatarView>& avatarView() const { return m_avatarView; }
    std::shared_ptr<ui::TextField> fieldWithTag(FieldTag tag) const;

    const foundation::KeyTable& observableKeys() const override;

private:
    MovaraPlanAccountSettingsProfileViewController();
    void userFieldChanged(const char* key);

    std::shared_ptr<RoundAvatarView> m_avatarView;
    bool m_didChangeAvatar = false;
    std::map<FieldTag, std::shared_ptr<ui::TextField>> m_fields;
};

// The three tabs, Profile first.
std::shared_ptr<ui::TabViewController> MovaraPlanAccountSettingsTabViewController();
