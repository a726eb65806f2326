#pragma once
// The account window's form for the web-service account: three panes, one shown at a time,
// to sign in, create an account or ask for a password reset. Field values, the buttons'
// enabled states and the panes' hidden states are observable properties the views bind to;
// the enabling rules are re-evaluated on every keystroke by the edited field's tag (FieldTag). Outcomes are shown as sheet alerts. Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Switch.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/ViewController.h"

class MovaraPlanSignInCreateViewController : public ui::ViewController,
                                             public foundation::Observable,
                                             public ui::ControlTextEditingDelegate {
public:
    // The tags of the text fields, named for the properties they are bound to.
    enum class FieldTag : long {
        signInUsernameOrEmail = 101,
        signInPassword = 102,
        createUsername = 201,
        createEmail = 202,
        createPassword = 203,
        forgotUsernameOrEmail = 301,
    };

    static std::shared_ptr<MovaraPlanSignInCreateViewController> init();

    void loadView() override;
    void controlTextDidChange(ui::TextField& field) override;

    // Actions.
    void signInWithMovara(ui::Object* sender);
    void createMovaraPlanAccount(ui::Object* sender);
    void resetPassword(ui::Object* sender);
    void showSignInView(ui::Object* sender);
    virtual void showCreateAccountView(ui::Object* sender);
    void showResetPasswordView(ui::Object* sender);
    void launchOnePasswordSearch(ui::Object* sender);

#define MVR_STRING_PROPERTY(name, setter)                                                                                          \
    const std::string& name() const { return m_##name; }                                                                            \
    void setter(std::string value) { setValueAndNotify(#name, m_##name, std::move(value)); }
#define MVR_BOOL_PROPERTY(name, setter)                                                                                            \
    bool name() const { return m_##name; }                                                                                          \
    void setter(bool value) { setValueAndNotify(#name, m_##name, value); }
    MVR_STRING_PROPERTY(signInUsernameOrEmail, setSignInUsernameOrEmail)
    MVR_STRING_PROPERTY(signInPassword, setSignInPassword)
    MVR_BOOL_PROPERTY(enableSignInButton, setEnableSignInButton)
    MVR_STRING_PROPERTY(createUsername, setCreateUsername)
    MVR_STRING_PROPERTY(createEmail, setCreateEmail)
    MVR_STRING_PROPERTY(createPassword, setCreatePassword)
    MVR_BOOL_PROPERTY(createMarketingConsent, setCreateMarketingConsent)
    MVR_BOOL_PROPERTY(createTrackingConsent, setCreateTrackingConsent)
    MVR_BOOL_PROPERTY(enableCreateButton, setEnableCreateButton)
    MVR_STRING_PROPERTY(forgotUsernameOrEmail, setForgotUsernameOrEmail)
    MVR_BOOL_PROPERTY(enableResetPasswordButton, setEnableResetPasswordButton)
    MVR_BOOL_PROPERTY(hideSignin, setHideSignin)
    MVR_BOOL_PROPERTY(hideCreateAccount, setHideCreateAccount)
    MVR_BOOL_PROPERTY(hideResetPassword, setHideResetPassword)
#undef MVR_STRING_PROPERTY
#undef MVR_BOOL_PROPERTY

    // The password manager is offered when the desktop names an application for its search
    // URL's scheme; the icon is that application's (none without one). Asked afresh each time.
    bool onePasswordAvailable() const;
    ui::ImagePtr onePasswordIcon() const;
    static std::string onePasswordSearchURL();
    // The button that opens the search; present only when the form was made while a password
    // manager was available.
    const std::shared_ptr<ui::Button>& onePasswordButton() const { return m_onePasswordButton; }

    // The controls, for tests and subclasses.
    std::shared_ptr<ui::TextField> fieldWithTag(FieldTag tag) const;
    const std::shared_ptr<ui::Button>& signInButton() const { return m_signInButton; }
    const std::shared_ptr<ui::Button>& createButton() const { return m_createButton; }
    const std::shared_ptr<ui::Button>& resetButton() const { return m_resetButton; }
    const std::shared_ptr<ui::Switch>& marketingConsentSwitch() const { return m_marketingSwitch; }
    const std::shared_ptr<ui::Switch>& trackingConsentSwitch() const { return m_trackingSwitch; }
    const std::shared_ptr<ui::TextField>& createUsernameTextField() const { return m_createUsernameTextField; }
    const std::shared_ptr<ui::TextField>& forgotUsernameOrEmailTextField() const { return m_forgotUsernameOrEmailTextField; }

    const foundation::KeyTable& observableKeys() const override;

protected:
    MovaraPlanSignInCreateViewController();
    // Runs an alert as a sheet on the view's window; `then` runs when it ends.
    void presentAlert(const std::shared_ptr<ui::Alert>& alert, std::function<void()> then = nullptr);

private:
    template <class T> void setValueAndNotify(const char* key, T& member, T value)
    {
        willChange(key);
        member = std::move(value);
        didChange(key);
    }
    void showPane(int pane);

    std::string m_signInUsernameOrEmail;
    std::string m_signInPassword;
    bool m_enableSignInButton = false;
    std::string m_createUsername;
    std::string m_createEmail;
    std::string m_createPassword;
    bool m_createMarketingConsent = false;
    bool m_createTrackingConsent = false;
    bool m_enableCreateButton = false;
    std::string m_forgotUsernameOrEmail;
    bool m_enableResetPasswordButton = false;
    bool m_hideSignin = false;
    bool m_hideCreateAccount = true;
    bool m_hideResetPassword = true;

    std::map<FieldTag, std::shared_ptr<ui::TextField>> m_fields;
    std::shared_ptr<ui::Button> m_signInButton;
    std::shared_ptr<ui::Button> m_createButton;
    std::shared_ptr<ui::Button> m_resetButton;
    std::shared_ptr<ui::Button> m_onePasswordButton;
    std::shared_ptr<ui::Switch> m_marketingSwitch;
    std::shared_ptr<ui::Switch> m_trackingSwitch;
    std::shared_ptr<ui::TextField> m_createUsernameTextField;
    std::shared_ptr<ui::TextField> m_forgotUsernameOrEmailTextField;
};
