#include "MovaraAppKit/Account/MovaraPlanSignInCreateViewController.h"

#include "MovaraAppKit/Account/SheetAlert.h"
#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRError.h"
#include "MovaraKit/Support/String+Validation.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

using graphics::Rect;

namespace {

enum Pane { SignIn = 0, Create = 1, Reset = 2 };

std::string text(const std::string& key)
{
    return foundation::localized(key, "alert message", mvr_movaraAppKitBundle());
}

bool isLoginValid(const std::string& value)
{
    return mvr_isValidUsername(value) || mvr_isValidEmail(value);
}

// The service's web domain, in which the password manager would search.
const char* const kWebDomain = "movara.com";

} // namespace

MovaraPlanSignInCreateViewController::MovaraPlanSignInCreateViewController()
{
    registerAction("signInWithMovara:", [this](ui::Object* s) { signInWithMovara(s); });
    registerAction("createMovaraPlanAccount:", [this](ui::Object* s) { createMovaraPlanAccount(s); });
    registerAction("resetPassword:", [this](ui::Object* s) { resetPassword(s); });
    registerAction("showSignInView:", [this](ui::Object* s) { showSignInView(s); });
    registerAction("showCreateAccountView:", [this](ui::Object* s) { showCreateAccountView(s); });
    registerAction("showResetPasswordView:", [this](ui::Object* s) { showResetPasswordView(s); });
    registerAction("launchOnePasswordSearch:", [this](ui::Object* s) { launchOnePasswordSearch(s); });
}

std::shared_ptr<MovaraPlanSignInCreateViewController> MovaraPlanSignInCreateViewController::init()
{
    return std::shared_ptr<MovaraPlanSignInCreateViewController>(new MovaraPlanSignInCreateViewController());
}

std::string MovaraPlanSignInCreateViewController::onePasswordSearchURL()
{
    return std::string("onepassword://search/") + kWebDomain;
}

namespace {

std::optional<std::string> onePasswordApplication()
{
    auto url = foundation::URL::URLWithString(MovaraPlanSignInCreateViewController::onePasswordSearchURL());
    return url ? ui::Workspace::shared().URLForApplicationToOpenURL(*url) : std::nullopt;
}

} // namespace

bool MovaraPlanSignInCreateViewController::onePasswordAvailable() const
{
    return onePasswordApplication().has_value();
}

ui::ImagePtr MovaraPlanSignInCreateViewController::onePasswordIcon() const
{
    auto application = onePasswordApplication();
    if (!application)
        return nullptr;
    // An application whose entry names no icon that loads still shows as a file would.
    auto icon = ui::Workspace::shared().iconForApplication(*application);
    return icon ? icon : ui::Workspace::shared().iconForFile(*application);
}

std::shared_ptr<ui::TextField> MovaraPlanSignInCreateViewController::fieldWithTag(FieldTag tag) const
{
    const_cast<MovaraPlanSignInCreateViewController*>(this)->view();
    auto it = m_fields.find(tag);
    return it == m_fields.end() ? nullptr : it->second;
}

void MovaraPlanSignInCreateViewController::loadView()
{
    auto self = std::static_pointer_cast<MovaraPlanSignInCreateViewController>(shared_from_this());
    std::shared_ptr<ui::ControlTextEditingDelegate> delegate = self;
    auto root = ui::View::initWithFrame(Rect::make(0, 0, 420, 330));

    auto title = [](const std::string& text, double y) {
        auto label = ui::TextField::labelWithString(text);
        label->setFont(ui::Font::boldSystemFontOfSize(17));
        label->sizeToFit();
        label->setFrame(Rect::make(40, y, 340, label->frame().size.height));
        return label;
    };
    auto field = [&](FieldTag tag, const std::string& placeholder, const char* key, double y, bool secure) {
        std::shared_ptr<ui::TextField> f = secure ? std::shared_ptr<ui::TextField>(ui::SecureTextField::initWithFrame(Rect::make(40, y, 340, 24)))
                                                  : ui::TextField::textFieldWithString("");
        f->setFrame(Rect::make(40, y, 340, 24));
        f->setPlaceholderString(placeholder);
        f->setTag(ui::tagValue(tag));
        f->setDelegate(delegate);
        f->bind(ui::NSValueBinding, self, key);
        m_fields[tag] = f;
        return f;
    };
    auto button = [&](const std::string& label, const char* action, const char* enabledKey, double x, double y) {
        auto b = ui::Button::buttonWithTitle(foundation::localized(label, "button title", mvr_movaraAppKitBundle()), self, action);
        b->setFrame(Rect::make(x, y, std::max(b->frame().size.width, 110.0), b->frame().size.height));
        if (enabledKey)
            b->bind(ui::NSEnabledBinding, self, enabledKey);
        return b;
    };
    auto link = [&](const std::string& label, const char* action, double x, double y) {
        auto b = ui::Button::buttonWithTitle(foundation::localized(label, "button title", mvr_movaraAppKitBundle()), self, action);
        b->setBordered(false);
        b->setFrame(Rect::make(x, y, b->frame().size.width, b->frame().size.height));
        return b;
    };
    auto pane = [&](const char* hiddenKey) {
        auto v = ui::View::initWithFrame(root->bounds());
        v->bind(ui::NSHiddenBinding, self, hiddenKey);
        root->addSubview(v);
        return v;
    };

    auto signIn = pane("hideSignin");
    signIn->addSubview(title("Sign in to Movara", 270));
    auto signInName = field(FieldTag::signInUsernameOrEmail, "User name or e-mail", "signInUsernameOrEmail", 220, false);
    auto signInPassword = field(FieldTag::signInPassword, "Password", "signInPassword", 184, true);
    signIn->addSubview(signInName);
    signIn->addSubview(signInPassword);
    m_signInButton = button("Sign In", "signInWithMovara:", "enableSignInButton", 270, 140);
    m_signInButton->setKeyEquivalent("\r");
    signIn->addSubview(m_signInButton);
    signIn->addSubview(link("Forgot password?", "showResetPasswordView:", 40, 140));
    signIn->addSubview(link("Create an account", "showCreateAccountView:", 40, 40));
    signInName->setNextKeyView(signInPassword);
    if (auto icon = onePasswordIcon()) {
        signInPassword->setFrame(Rect::make(40, 184, 310, 24));
        m_onePasswordButton = ui::Button::buttonWithImage(icon, self, "launchOnePasswordSearch:");
        m_onePasswordButton->setBordered(false);
        m_onePasswordButton->setFrame(Rect::make(356, 184, 24, 24));
        m_onePasswordButton->setToolTip(foundation::localized("Find in password manager", "button tool tip", mvr_movaraAppKitBundle()));
        signIn->addSubview(m_onePasswordButton);
    }

    auto create = pane("hideCreateAccount");
    create->addSubview(title("Create a Movara account", 270));
    m_createUsernameTextField = field(FieldTag::createUsername, "User name", "createUsername", 230, false);
    auto createEmail = field(FieldTag::createEmail, "E-mail", "createEmail", 196, false);
    auto createPassword = field(FieldTag::createPassword, "Password", "createPassword", 162, true);
    create->addSubview(m_createUsernameTextField);
    create->addSubview(createEmail);
    create->addSubview(createPassword);
    m_createUsernameTextField->setNextKeyView(createEmail);
    createEmail->setNextKeyView(createPassword);
    auto consentRow = [&](const std::string& label, const char* key, double y) {
        auto s = ui::Switch::switchWithTarget(nullptr, "");
        s->setFrame(Rect::make(40, y, 38, 22));
        s->bind(ui::NSValueBinding, self, key);
        auto l = ui::TextField::labelWithString(foundation::localized(label, "switch label", mvr_movaraAppKitBundle()));
        l->setFrame(Rect::make(88, y + 2, 292, l->frame().size.height));
        create->addSubview(s);
        create->addSubview(l);
        return s;
    };
    m_marketingSwitch = consentRow("Send me news and offers", "createMarketingConsent", 124);
    m_trackingSwitch = consentRow("Share anonymous usage data", "createTrackingConsent", 94);
    m_createButton = button("Create Account", "createMovaraPlanAccount:", "enableCreateButton", 250, 50);
    create->addSubview(m_createButton);
    create->addSubview(link("Sign in instead", "showSignInView:", 40, 20));

    auto reset = pane("hideResetPassword");
    reset->addSubview(title("Reset your password", 270));
    m_forgotUsernameOrEmailTextField = field(FieldTag::forgotUsernameOrEmail, "User name or e-mail", "forgotUsernameOrEmail", 220, false);
    reset->addSubview(m_forgotUsernameOrEmailTextField);
    m_resetButton = button("Reset Password", "resetPassword:", "enableResetPasswordButton", 250, 176);
    reset->addSubview(m_resetButton);
    reset->addSubview(link("Back to sign in", "showSignInView:", 40, 176));

    setView(root);
}

void MovaraPlanSignInCreateViewController::controlTextDidChange(ui::TextField& field)
{
    const std::string typed = field.currentText();
    const auto tag = ui::tagAs<FieldTag>(field.tag());
    // The binding is updated when the edit is committed; the field's own text is newer.
    if (tag == FieldTag::signInUsernameOrEmail)
        setEnableSignInButton(isLoginValid(typed) && mvr_isValidPassword(m_signInPassword));
    else if (tag == FieldTag::signInPassword)
        setEnableSignInButton(isLoginValid(m_signInUsernameOrEmail) && mvr_isValidPassword(typed));

    bool usernameValid = mvr_isValidUsername(m_createUsername);
    bool emailValid = mvr_isValidEmail(m_createEmail);
    bool passwordValid = mvr_isValidPassword(m_createPassword);
    if (tag == FieldTag::createUsername)
        usernameValid = mvr_isValidUsername(typed);
    else if (tag == FieldTag::createEmail)
        emailValid = mvr_isValidEmail(typed);
    else if (tag == FieldTag::createPassword)
        passwordValid = mvr_isValidPassword(typed);
    setEnableCreateButton(usernameValid && emailValid && passwordValid);

    if (tag == FieldTag::forgotUsernameOrEmail)
        setEnableResetPasswordButton(isLoginValid(typed));
}

void MovaraPlanSignInCreateViewController::showPane(int pane)
{
    setHideSignin(pane != SignIn);
    setHideCreateAccount(pane != Create);
    setHideResetPassword(pane != Reset);
}

void MovaraPlanSignInCreateViewController::showSignInView(ui::Object*)
{
    commitEdits(*this);
    if (mvr_isValidUsername(m_createUsername))
        setSignInUsernameOrEmail(m_createUsername);
    else if (mvr_isValidEmail(m_createEmail))
        setSignInUsernameOrEmail(m_createEmail);
    else if (isLoginValid(m_forgotUsernameOrEmail))
        setSignInUsernameOrEmail(m_forgotUsernameOrEmail);
    setEnableSignInButton(isLoginValid(m_signInUsernameOrEmail) && mvr_isValidPassword(m_signInPassword));
    showPane(SignIn);
    goToFirstKeyView(*this);
}

void MovaraPlanSignInCreateViewController::showCreateAccountView(ui::Object*)
{
    commitEdits(*this);
    if (mvr_isValidEmail(m_signInUsernameOrEmail))
        setCreateEmail(m_signInUsernameOrEmail);
    else if (mvr_isValidUsername(m_signInUsernameOrEmail))
        setCreateUsername(m_signInUsernameOrEmail);
    showPane(Create);
    if (auto* window = view()->window())
        window->makeFirstResponder(m_createUsernameTextField);
}

void MovaraPlanSignInCreateViewController::showResetPasswordView(ui::Object*)
{
    commitEdits(*this);
    if (isLoginValid(m_signInUsernameOrEmail)) {
        setForgotUsernameOrEmail(m_signInUsernameOrEmail);
        setEnableResetPasswordButton(true);
    }
    showPane(Reset);
    if (auto* window = view()->window())
        window->makeFirstResponder(m_forgotUsernameOrEmailTextField);
}

void MovaraPlanSignInCreateViewController::presentAlert(const std::shared_ptr<ui::Alert>& alert, std::function<void()> then)
{
    mvr_runSheetAlert(*this, alert, std::move(then));
}

void MovaraPlanSignInCreateViewController::signInWithMovara(ui::Object*)
{
    commitEdits(*this);
    auto command = MVRLoginCommand::initWithUsername(m_signInUsernameOrEmail, m_signInPassword);
    if (!command)
        return;
    auto self = std::static_pointer_cast<MovaraPlanSignInCreateViewController>(shared_from_this());
    command->sendWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        if (!error) {
            self->dismissController(nullptr);
            Analytics::shared().signIn();
            return;
        }
        if (error->is(MVRErrorDomain, MVRErrorCodeInvalidCredentials)) {
            self->setSignInPassword("");
            self->setEnableSignInButton(false);
            auto alert = ui::Alert::init();
            alert->setMessageText(text("Sign-in information incorrect"));
            alert->setInformativeText(text("Please enter the correct username and password."));
            alert->addButtonWithTitle(foundation::localized("OK", "alert button title"));
            self->presentAlert(alert, [self] { goToFirstKeyView(*self); });
            return;
        }
        self->presentAlert(ui::Alert::alertWithError(error));
    });
}

void MovaraPlanSignInCreateViewController::createMovaraPlanAccount(ui::Object*)
{
    setEnableCreateButton(false);
    commitEdits(*this);
    auto command = MVRSignUpCommand::initWithUsername(m_createUsername, m_createEmail, m_createPassword, m_createMarketingConsent,
                                                      m_createTrackingConsent);
    if (!command)
        return;
    auto self = std::static_pointer_cast<MovaraPlanSignInCreateViewController>(shared_from_this());
    command->sendWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        if (!error) {
            self->dismissController(nullptr);
            Analytics::shared().signUp();
            return;
        }
        auto alert = ui::Alert::alertWithError(error);
        alert->setAlertStyle(ui::AlertStyle::critical);
        self->presentAlert(alert);
    });
}

void MovaraPlanSignInCreateViewController::resetPassword(ui::Object*)
{
    commitEdits(*this);
    std::optional<std::string> username;
    std::optional<std::string> email;
    if (mvr_isValidUsername(m_forgotUsernameOrEmail))
        username = m_forgotUsernameOrEmail;
    else if (mvr_isValidEmail(m_forgotUsernameOrEmail))
        email = m_forgotUsernameOrEmail;
    auto command = MVRForgotPasswordCommand::initWithUsername(username, email);
    if (!command)
        return;
    auto self = std::static_pointer_cast<MovaraPlanSignInCreateViewController>(shared_from_this());
    command->sendWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        auto alert = ui::Alert::init();
        alert->addButtonWithTitle(foundation::localized("OK", "alert button title"));
        if (!error) {
            alert->setMessageText(text("Email sent"));
            alert->setInformativeText(text("A password reset message has been sent to the email address for that account."));
            alert->setAlertStyle(ui::AlertStyle::warning);
            self->presentAlert(alert, [self] { self->showSignInView(nullptr); });
            return;
        }
        if (error->is(MVRErrorDomain, MVRErrorCodeInvalidField)) {
            self->setForgotUsernameOrEmail("");
            self->setEnableResetPasswordButton(false);
            alert->setMessageText(text("User not found"));
            alert->setInformativeText(text("A user with that username or email address was not found."));
            alert->setAlertStyle(ui::AlertStyle::critical);
            self->presentAlert(alert);
            return;
        }
        auto failure = ui::Alert::alertWithError(error);
        failure->setAlertStyle(ui::AlertStyle::critical);
        self->presentAlert(failure);
    });
}

void MovaraPlanSignInCreateViewController::launchOnePasswordSearch(ui::Object*)
{
    if (auto url = foundation::URL::URLWithString(onePasswordSearchURL()))
        ui::Workspace::shared().openURL(*url);
}

const foundation::KeyTable& MovaraPlanSignInCreateViewController::observableKeys() const
{
    using C = MovaraPlanSignInCreateViewController;
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("signInUsernameOrEmail", &C::signInUsernameOrEmail, &C::setSignInUsernameOrEmail)
            .key("signInPassword", &C::signInPassword, &C::setSignInPassword)
            .key("enableSignInButton", &C::enableSignInButton, &C::setEnableSignInButton)
            .key("createUsername", &C::createUsername, &C::setCreateUsername)
            .key("createEmail", &C::createEmail, &C::setCreateEmail)
            .key("createPassword", &C::createPassword, &C::setCreatePassword)
            .key("createMarketingConsent", &C::createMarketingConsent, &C::setCreateMarketingConsent)
            .key("createTrackingConsent", &C::createTrackingConsent, &C::setCreateTrackingConsent)
            .key("enableCreateButton", &C::enableCreateButton, &C::setEnableCreateButton)
            .key("forgotUsernameOrEmail", &C::forgotUsernameOrEmail, &C::setForgotUsernameOrEmail)
            .key("enableResetPasswordButton", &C::enableResetPasswordButton, &C::setEnableResetPasswordButton)
            .key("hideSignin", &C::hideSignin, &C::setHideSignin)
            .key("hideCreateAccount", &C::hideCreateAccount, &C::setHideCreateAccount)
            .key("hideResetPassword", &C::hideResetPassword, &C::setHideResetPassword)
            .key("onePasswordAvailable", &C::onePasswordAvailable)
            .key("onePasswordIcon", &C::onePasswordIcon);
        return t;
    }();
    return table;
}
