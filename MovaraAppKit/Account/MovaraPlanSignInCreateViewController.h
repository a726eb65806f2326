#pragma once
// The sign-in / create-account form of the account screens: one field for an e-mail address
// or user name, shown in either of two states whose visibility flags the form binds.
// Main thread only.

#include <memory>
#include <string>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/ViewController.h"

class MovaraPlanSignInCreateViewController : public ui::ViewController, public foundation::Observable {
public:
    static std::shared_ptr<MovaraPlanSignInCreateViewController> init();

    void loadView() override;

    // Switches the form to account creation: a valid e-mail address or user name typed into
    // the sign-in field is carried over, the sign-in part is hidden, and the first field of
    // the creation part gets the focus.
    virtual void showCreateAccountView(ui::Object* sender);

    bool hideSignInView() const { return m_hideSignInView; }
    void setHideSignInView(bool value);
    bool hideCreateAccountView() const { return m_hideCreateAccountView; }
    void setHideCreateAccountView(bool value);

    std::shared_ptr<ui::TextField> signInField() const { return m_signInField; }
    std::shared_ptr<ui::TextField> createEmailField() const { return m_createEmailField; }
    std::shared_ptr<ui::TextField> createUsernameField() const { return m_createUsernameField; }

    const foundation::KeyTable& observableKeys() const override;

protected:
    MovaraPlanSignInCreateViewController();

private:
    bool m_hideSignInView = false;
    bool m_hideCreateAccountView = true;
    std::shared_ptr<ui::TextField> m_signInField;
    std::shared_ptr<ui::TextField> m_createEmailField;
    std::shared_ptr<ui::TextField> m_createUsernameField;
};
