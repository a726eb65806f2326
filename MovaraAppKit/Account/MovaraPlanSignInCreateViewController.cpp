#include "MovaraAppKit/Account/MovaraPlanSignInCreateViewController.h"

#include "MovaraKit/Support/String+Validation.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

MovaraPlanSignInCreateViewController::MovaraPlanSignInCreateViewController()
{
    registerAction("showCreateAccountView:", [this](ui::Object* sender) { showCreateAccountView(sender); });
}

std::shared_ptr<MovaraPlanSignInCreateViewController> MovaraPlanSignInCreateViewController::init()
{
    return std::shared_ptr<MovaraPlanSignInCreateViewController>(new MovaraPlanSignInCreateViewController());
}

void MovaraPlanSignInCreateViewController::loadView()
{
    auto view = ui::View::initWithFrame(Rect::make(0, 0, 400, 200));
    auto self = std::static_pointer_cast<MovaraPlanSignInCreateViewController>(shared_from_this());

    auto signIn = ui::View::initWithFrame(Rect::make(0, 0, 400, 200));
    m_signInField = ui::TextField::textFieldWithString("");
    m_signInField->setPlaceholderString("E-mail or user name");
    m_signInField->setFrame(Rect::make(40, 120, 320, 24));
    signIn->addSubview(m_signInField);
    signIn->bind(ui::HiddenBinding, self, "hideSignInView");

    auto create = ui::View::initWithFrame(Rect::make(0, 0, 400, 200));
    m_createEmailField = ui::TextField::textFieldWithString("");
    m_createEmailField->setPlaceholderString("E-mail");
    m_createEmailField->setFrame(Rect::make(40, 120, 320, 24));
    m_createUsernameField = ui::TextField::textFieldWithString("");
    m_createUsernameField->setPlaceholderString("User name");
    m_createUsernameField->setFrame(Rect::make(40, 84, 320, 24));
    m_createEmailField->setNextKeyView(m_createUsernameField);
    create->addSubview(m_createEmailField);
    create->addSubview(m_createUsernameField);
    create->bind(ui::HiddenBinding, self, "hideCreateAccountView");

    view->addSubview(signIn);
    view->addSubview(create);
    setView(view);
}

void MovaraPlanSignInCreateViewController::showCreateAccountView(ui::Object*)
{
    view();
    const std::string typed = m_signInField->currentText();
    if (mvr_isValidEmail(typed))
        m_createEmailField->setStringValue(typed);
    else if (mvr_isValidUsername(typed))
        m_createUsernameField->setStringValue(typed);
    setHideSignInView(true);
    setHideCreateAccountView(false);
    if (auto* window = view()->window())
        window->makeFirstResponder(m_createEmailField);
}

void MovaraPlanSignInCreateViewController::setHideSignInView(bool value)
{
    willChange("hideSignInView");
    m_hideSignInView = value;
    didChange("hideSignInView");
}

void MovaraPlanSignInCreateViewController::setHideCreateAccountView(bool value)
{
    willChange("hideCreateAccountView");
    m_hideCreateAccountView = value;
    didChange("hideCreateAccountView");
}

const foundation::KeyTable& MovaraPlanSignInCreateViewController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("hideSignInView", &MovaraPlanSignInCreateViewController::hideSignInView, &MovaraPlanSignInCreateViewController::setHideSignInView)
            .key("hideCreateAccountView", &MovaraPlanSignInCreateViewController::hideCreateAccountView,
                 &MovaraPlanSignInCreateViewController::setHideCreateAccountView);
        return t;
    }();
    return table;
}
