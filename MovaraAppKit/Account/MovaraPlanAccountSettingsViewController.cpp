#include "MovaraAppKit/Account/MovaraPlanAccountSettingsViewController.h"

#include "MovaraAppKit/Account/SheetAlert.h"
#include "MovaraAppKit/Controls/Image+Movara.h"
#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "MovaraKit/Support/String+Validation.h"
#include "MovaraKit/Support/URL+Movara.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

namespace {

std::string localizedText(const std::string& key, const char* comment)
{
    return foundation::localized(key, comment, mvr_movaraAppKitBundle());
}

// A new tab, following the current user, with its label.
template <class Tab> std::shared_ptr<Tab> madeTab(std::shared_ptr<Tab> tab, const char* title)
{
    tab->observeCurrentUserFromFactory();
    tab->setTitle(title);
    return tab;
}

std::shared_ptr<ui::Alert> criticalAlert(const foundation::ErrorPtr& error)
{
    auto alert = ui::Alert::alertWithError(error);
    alert->setAlertStyle(ui::AlertStyle::critical);
    return alert;
}

} // namespace

// MARK: - Base

void MovaraPlanAccountSettingsViewController::setEnableUpdateButton(bool value)
{
    willChange("enableUpdateButton");
    m_enableUpdateButton = value;
    didChange("enableUpdateButton");
}

void MovaraPlanAccountSettingsViewController::setEnableEditControls(bool value)
{
    willChange("enableEditControls");
    m_enableEditControls = value;
    didChange("enableEditControls");
}

void MovaraPlanAccountSettingsViewController::viewWillAppear()
{
    MovaraPlanViewController::viewWillAppear();
    // The tabs and the window take the size this tab's controls need.
    setPreferredContentSize(view()->fittingSize());
    goToFirstKeyView(*this);
    setEnableUpdateButton(false);
    setEnableEditControls(true);
}

void MovaraPlanAccountSettingsViewController::presentAlert(const std::shared_ptr<ui::Alert>& alert, std::function<void()> then)
{
    mvr_runSheetAlert(*this, alert, std::move(then));
}

std::shared_ptr<ui::View> MovaraPlanAccountSettingsViewController::makePane(const std::string& title, const std::string& buttonTitle,
                                                                            const char* action)
{
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsViewController>(shared_from_this());
    auto root = ui::View::initWithFrame(Rect::make(0, 0, 420, 300));
    auto heading = ui::TextField::labelWithString(localizedText(title, "tab title"));
    heading->setFont(ui::Font::boldSystemFontOfSize(15));
    heading->sizeToFit();
    heading->setFrame(Rect::make(40, 260, 340, heading->frame().size.height));
    root->addSubview(heading);
    m_updateButton = ui::Button::buttonWithTitle(localizedText(buttonTitle, "button title"), self, action);
    m_updateButton->setFrame(Rect::make(260, 20, std::max(120.0, m_updateButton->frame().size.width), m_updateButton->frame().size.height));
    m_updateButton->bind(ui::NSEnabledBinding, self, "enableUpdateButton");
    root->addSubview(m_updateButton);
    return root;
}

std::shared_ptr<ui::TextField> MovaraPlanAccountSettingsViewController::makeField(long tag, const std::string& placeholder, const char* key,
                                                                                  double y, bool secure)
{
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsViewController>(shared_from_this());
    std::shared_ptr<ui::TextField> field = secure ? std::shared_ptr<ui::TextField>(ui::SecureTextField::initWithFrame(Rect::make(40, y, 340, 24)))
                                                  : ui::TextField::textFieldWithString("");
    field->setFrame(Rect::make(40, y, 340, 24));
    field->setPlaceholderString(localizedText(placeholder, "placeholder"));
    field->setTag(tag);
    field->bind(ui::NSValueBinding, self, key);
    field->bind(ui::NSEnabledBinding, self, "enableEditControls");
    if (auto delegate = std::dynamic_pointer_cast<ui::ControlTextEditingDelegate>(self))
        field->setDelegate(delegate);
    return field;
}

const foundation::KeyTable& MovaraPlanAccountSettingsViewController::observableKeys() const
{
    using C = MovaraPlanAccountSettingsViewController;
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanViewController::observableKeys();
        t.key("enableUpdateButton", &C::enableUpdateButton, &C::setEnableUpdateButton)
            .key("enableEditControls", &C::enableEditControls, &C::setEnableEditControls);
        return t;
    }();
    return table;
}

// MARK: - Password

MovaraPlanAccountSettingsPasswordViewController::MovaraPlanAccountSettingsPasswordViewController()
{
    registerAction("changeMovaraPassword:", [this](ui::Object* s) { changeMovaraPassword(s); });
}

std::shared_ptr<MovaraPlanAccountSettingsPasswordViewController> MovaraPlanAccountSettingsPasswordViewController::init()
{
    return madeTab(std::shared_ptr<MovaraPlanAccountSettingsPasswordViewController>(new MovaraPlanAccountSettingsPasswordViewController()), "Password");
}

#define MVR_TEXT_SETTER(Class, setter, key, member)                                                                                \
    void Class::setter(std::string value)                                                                                           \
    {                                                                                                                               \
        willChange(key);                                                                                                            \
        member = std::move(value);                                                                                                  \
        didChange(key);                                                                                                             \
    }
MVR_TEXT_SETTER(MovaraPlanAccountSettingsPasswordViewController, setPasswordOld, "passwordOld", m_passwordOld)
MVR_TEXT_SETTER(MovaraPlanAccountSettingsPasswordViewController, setPasswordNew1, "passwordNew1", m_passwordNew1)
MVR_TEXT_SETTER(MovaraPlanAccountSettingsPasswordViewController, setPasswordNew2, "passwordNew2", m_passwordNew2)
#undef MVR_TEXT_SETTER

std::shared_ptr<ui::TextField> MovaraPlanAccountSettingsPasswordViewController::fieldWithTag(FieldTag tag) const
{
    const_cast<MovaraPlanAccountSettingsPasswordViewController*>(this)->view();
    auto it = m_fields.find(tag);
    return it == m_fields.end() ? nullptr : it->second;
}

void MovaraPlanAccountSettingsPasswordViewController::loadView()
{
    auto root = makePane("Change your password", "Change Password", "changeMovaraPassword:");
    auto add = [this](FieldTag tag, const std::string& placeholder, const char* key, double y) {
        m_fields[tag] = makeField(ui::tagValue(tag), placeholder, key, y, true);
    };
    add(FieldTag::passwordOld, "Current password", "passwordOld", 210);
    add(FieldTag::passwordNew1, "New password", "passwordNew1", 170);
    add(FieldTag::passwordNew2, "New password again", "passwordNew2", 136);
    m_fields[FieldTag::passwordOld]->setNextKeyView(m_fields[FieldTag::passwordNew1]);
    m_fields[FieldTag::passwordNew1]->setNextKeyView(m_fields[FieldTag::passwordNew2]);
    for (const auto& [tag, field] : m_fields)
        root->addSubview(field);
    setView(root);
}

void MovaraPlanAccountSettingsPasswordViewController::viewWillAppear()
{
    MovaraPlanAccountSettingsViewController::viewWillAppear();
    setPasswordOld("");
    setPasswordNew1("");
    setPasswordNew2("");
}

void MovaraPlanAccountSettingsPasswordViewController::controlTextDidChange(ui::TextField& field)
{
    std::string oldPassword = m_passwordOld;
    std::string new1 = m_passwordNew1;
    std::string new2 = m_passwordNew2;
    switch (ui::tagAs<FieldTag>(field.tag())) {
    case FieldTag::passwordOld: oldPassword = field.currentText(); break;
    case FieldTag::passwordNew1: new1 = field.currentText(); break;
    case FieldTag::passwordNew2: new2 = field.currentText(); break;
    default: break;
    }
    if (auto stored = MVRCurrentPassword(); stored && *stored != oldPassword) {
        setEnableUpdateButton(false);
        return;
    }
    setEnableUpdateButton(new1 == new2 && mvr_isValidPassword(new1));
}

void MovaraPlanAccountSettingsPasswordViewController::changeMovaraPassword(ui::Object*)
{
    commitEdits(*this);
    auto current = MVRAPIUser::currentUser();
    auto editable = current ? current->mutableCopy() : nullptr;
    if (!editable)
        return;
    setEnableUpdateButton(false);
    setEnableEditControls(false);
    editable->setPassword(m_passwordNew1);
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsPasswordViewController>(shared_from_this());
    editable->commitChangesWithCompletionHandler([self, editable](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        std::shared_ptr<ui::Alert> alert;
        if (!error) {
            self->setPasswordOld("");
            self->setPasswordNew1("");
            self->setPasswordNew2("");
            alert = ui::Alert::init();
            alert->setAlertStyle(ui::AlertStyle::critical);
            alert->setMessageText(localizedText("Password changed", "alert message"));
            alert->setInformativeText(localizedText("Please remember your new password.", "alert message"));
            alert->addButtonWithTitle(foundation::localized("OK", "alert button title"));
        } else {
            alert = ui::Alert::alertWithError(error);
        }
        self->presentAlert(alert, [self] {
            self->setEnableEditControls(true);
            goToFirstKeyView(*self);
        });
    });
}

const foundation::KeyTable& MovaraPlanAccountSettingsPasswordViewController::observableKeys() const
{
    using C = MovaraPlanAccountSettingsPasswordViewController;
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanAccountSettingsViewController::observableKeys();
        t.key("passwordOld", &C::passwordOld, &C::setPasswordOld)
            .key("passwordNew1", &C::passwordNew1, &C::setPasswordNew1)
            .key("passwordNew2", &C::passwordNew2, &C::setPasswordNew2);
        return t;
    }();
    return table;
}

// MARK: - Consent

MovaraPlanAccountSettingsConsentViewController::MovaraPlanAccountSettingsConsentViewController()
{
    registerAction("fieldDidChange:", [this](ui::Object* s) { fieldDidChange(s); });
    registerAction("updateConsent:", [this](ui::Object* s) { updateConsent(s); });
}

std::shared_ptr<MovaraPlanAccountSettingsConsentViewController> MovaraPlanAccountSettingsConsentViewController::init()
{
    return madeTab(std::shared_ptr<MovaraPlanAccountSettingsConsentViewController>(new MovaraPlanAccountSettingsConsentViewController()), "Consent");
}

bool MovaraPlanAccountSettingsConsentViewController::userMarketingConsent() const
{
    return user() && user()->marketingConsent().value_or(false);
}

void MovaraPlanAccountSettingsConsentViewController::setUserMarketingConsent(bool value)
{
    willChange("userMarketingConsent");
    if (user())
        user()->setMarketingConsent(value);
    didChange("userMarketingConsent");
}

bool MovaraPlanAccountSettingsConsentViewController::userTrackingConsent() const
{
    return user() && user()->trackingConsent().value_or(false);
}

void MovaraPlanAccountSettingsConsentViewController::setUserTrackingConsent(bool value)
{
    willChange("userTrackingConsent");
    if (user())
        user()->setTrackingConsent(value);
    didChange("userTrackingConsent");
}

void MovaraPlanAccountSettingsConsentViewController::loadView()
{
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsConsentViewController>(shared_from_this());
    auto root = makePane("Your choices", "Update", "updateConsent:");
    auto row = [&](const std::string& label, const char* key, double y) {
        auto s = ui::Switch::switchWithTarget(self, "fieldDidChange:");
        s->setFrame(Rect::make(40, y, 38, 22));
        s->bind(ui::NSValueBinding, self, key);
        s->bind(ui::NSEnabledBinding, self, "enableEditControls");
        auto l = ui::TextField::labelWithString(localizedText(label, "switch label"));
        l->setFrame(Rect::make(88, y + 2, 292, l->frame().size.height));
        root->addSubview(s);
        root->addSubview(l);
        return s;
    };
    m_marketingSwitch = row("Send me news and offers", "userMarketingConsent", 200);
    m_trackingSwitch = row("Share anonymous usage data", "userTrackingConsent", 160);
    setView(root);
}

void MovaraPlanAccountSettingsConsentViewController::fieldDidChange(ui::Object*)
{
    setEnableUpdateButton(true);
}

void MovaraPlanAccountSettingsConsentViewController::updateConsent(ui::Object*)
{
    commitEdits(*this);
    auto editable = user();
    if (!editable)
        return;
    setEnableUpdateButton(false);
    setEnableEditControls(false);
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsConsentViewController>(shared_from_this());
    editable->commitChangesWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        if (!error) {
            self->setEnableEditControls(true);
            if (auto app = ui::Application::shared()) {
                if (auto delegate = std::dynamic_pointer_cast<MovaraAppDelegate>(app->delegate()))
                    delegate->startOrStopAnalyticsAppropriately();
            }
            return;
        }
        self->presentAlert(criticalAlert(error), [self] { self->setEnableEditControls(true); });
    });
}

const foundation::KeyTable& MovaraPlanAccountSettingsConsentViewController::observableKeys() const
{
    using C = MovaraPlanAccountSettingsConsentViewController;
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanAccountSettingsViewController::observableKeys();
        t.key("userMarketingConsent", &C::userMarketingConsent, &C::setUserMarketingConsent)
            .key("userTrackingConsent", &C::userTrackingConsent, &C::setUserTrackingConsent);
        t.affecting("userMarketingConsent", { "user" });
        t.affecting("userTrackingConsent", { "user" });
        return t;
    }();
    return table;
}

// MARK: - Profile

MovaraPlanAccountSettingsProfileViewController::MovaraPlanAccountSettingsProfileViewController()
{
    registerAction("updateProfile:", [this](ui::Object* s) { updateProfile(s); });
}

std::shared_ptr<MovaraPlanAccountSettingsProfileViewController> MovaraPlanAccountSettingsProfileViewController::init()
{
    return madeTab(std::shared_ptr<MovaraPlanAccountSettingsProfileViewController>(new MovaraPlanAccountSettingsProfileViewController()), "Profile");
}

#define MVR_USER_FIELD(getter, setter, key, read, write)                                                                          \
    std::string MovaraPlanAccountSettingsProfileViewController::getter() const                                                      \
    {                                                                                                                               \
        return user() ? user()->read().value_or("") : std::string();                                                                \
    }                                                                                                                               \
    void MovaraPlanAccountSettingsProfileViewController::setter(std::string value)                                                 \
    {                                                                                                                               \
        willChange(key);                                                                                                            \
        if (user())                                                                                                                 \
            user()->write(value);                                                                                                   \
        didChange(key);                                                                                                             \
    }
MVR_USER_FIELD(userRealname, setUserRealname, "userRealname", realname, setRealname)
MVR_USER_FIELD(userEmail, setUserEmail, "userEmail", email, setEmail)
MVR_USER_FIELD(userURL, setUserURL, "userURL", url, setUrl)
MVR_USER_FIELD(userBio, setUserBio, "userBio", bio, setBio)
#undef MVR_USER_FIELD

std::shared_ptr<ui::TextField> MovaraPlanAccountSettingsProfileViewController::fieldWithTag(FieldTag tag) const
{
    const_cast<MovaraPlanAccountSettingsProfileViewController*>(this)->view();
    auto it = m_fields.find(tag);
    return it == m_fields.end() ? nullptr : it->second;
}

void MovaraPlanAccountSettingsProfileViewController::loadView()
{
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsProfileViewController>(shared_from_this());
    auto root = makePane("Your profile", "Update Profile", "updateProfile:");
    m_avatarView = RoundAvatarView::initWithFrame(Rect::make(40, 150, 90, 90));
    m_avatarView->setChangeable(true);
    m_avatarView->bind(ui::NSValueBinding, self, "avatarImage");
    root->addSubview(m_avatarView);
    auto add = [this](FieldTag tag, const std::string& placeholder, const char* key, double y) {
        m_fields[tag] = makeField(ui::tagValue(tag), placeholder, key, y, false);
    };
    add(FieldTag::userRealname, "Name", "userRealname", 216);
    add(FieldTag::userEmail, "E-mail", "userEmail", 182);
    add(FieldTag::userURL, "Web address", "userURL", 148);
    add(FieldTag::userBio, "About you", "userBio", 114);
    for (const auto& [tag, field] : m_fields) {
        auto frame = field->frame();
        frame.origin.x = 150;
        frame.size.width = 230;
        field->setFrame(frame);
        root->addSubview(field);
    }
    m_fields[FieldTag::userRealname]->setNextKeyView(m_fields[FieldTag::userEmail]);
    m_fields[FieldTag::userEmail]->setNextKeyView(m_fields[FieldTag::userURL]);
    m_fields[FieldTag::userURL]->setNextKeyView(m_fields[FieldTag::userBio]);
    setView(root);
    awakeFromNib();
}

void MovaraPlanAccountSettingsProfileViewController::awakeFromNib()
{
    if (!m_avatarView)
        return;
    std::weak_ptr<MovaraPlanAccountSettingsProfileViewController> weak =
        std::static_pointer_cast<MovaraPlanAccountSettingsProfileViewController>(shared_from_this());
    m_avatarView->setChangeHandler([weak](const ui::ImagePtr& image) {
        if (auto self = weak.lock()) {
            self->setAvatarImage(image);
            self->setEnableUpdateButton(true);
            self->m_didChangeAvatar = true;
        }
    });
}

void MovaraPlanAccountSettingsProfileViewController::viewWillAppear()
{
    MovaraPlanAccountSettingsViewController::viewWillAppear();
    for (const char* key : { "userRealname", "userEmail", "userURL", "userBio" }) {
        willChange(key);
        didChange(key);
    }
    auto avatarURL = user() ? user()->avatarURL() : std::nullopt;
    if (!avatarURL) {
        setAvatarImage(RoundAvatarView::defaultAvatarImage());
        return;
    }
    std::weak_ptr<MovaraPlanAccountSettingsProfileViewController> weak =
        std::static_pointer_cast<MovaraPlanAccountSettingsProfileViewController>(shared_from_this());
    RoundAvatarView::requestAvatarImageForURL(avatarURL, [weak](const ui::ImagePtr& image) {
        if (auto self = weak.lock())
            self->setAvatarImage(image);
    });
}

void MovaraPlanAccountSettingsProfileViewController::controlTextDidChange(ui::TextField& field)
{
    std::string url = userURL();
    std::string email = userEmail();
    if (ui::tagAs<FieldTag>(field.tag()) == FieldTag::userURL)
        url = field.currentText();
    if (ui::tagAs<FieldTag>(field.tag()) == FieldTag::userEmail)
        email = field.currentText();
    const bool urlValid = url.empty() || mvr_isValidWebURL(url);
    setEnableUpdateButton(urlValid && mvr_isValidEmail(email));
}

void MovaraPlanAccountSettingsProfileViewController::updateProfile(ui::Object*)
{
    commitEdits(*this);
    auto editable = user();
    if (!editable)
        return;
    setEnableUpdateButton(false);
    setEnableEditControls(false);
    if (m_didChangeAvatar && avatarImage()) {
        if (auto png = mvr_PNGRepresentation(*avatarImage()))
            editable->setAvatarPNGData(foundation::Data(png->begin(), png->end()));
    }
    auto self = std::static_pointer_cast<MovaraPlanAccountSettingsProfileViewController>(shared_from_this());
    editable->commitChangesWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr& error) {
        if (!error) {
            self->setEnableEditControls(true);
            goToFirstKeyView(*self);
            self->m_didChangeAvatar = false;
            return;
        }
        self->presentAlert(criticalAlert(error), [self] {
            self->setEnableEditControls(true);
            goToFirstKeyView(*self);
        });
    });
}

const foundation::KeyTable& MovaraPlanAccountSettingsProfileViewController::observableKeys() const
{
    using C = MovaraPlanAccountSettingsProfileViewController;
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanAccountSettingsViewController::observableKeys();
        t.key("userRealname", &C::userRealname, &C::setUserRealname)
            .key("userEmail", &C::userEmail, &C::setUserEmail)
            .key("userURL", &C::userURL, &C::setUserURL)
            .key("userBio", &C::userBio, &C::setUserBio);
        for (const char* key : { "userRealname", "userEmail", "userURL", "userBio" })
            t.affecting(key, { "user" });
        return t;
    }();
    return table;
}

std::shared_ptr<ui::TabViewController> MovaraPlanAccountSettingsTabViewController()
{
    auto tabs = ui::TabViewController::init();
    for (const std::shared_ptr<ui::ViewController>& tab : std::initializer_list<std::shared_ptr<ui::ViewController>> {
             MovaraPlanAccountSettingsProfileViewController::init(), MovaraPlanAccountSettingsPasswordViewController::init(),
             MovaraPlanAccountSettingsConsentViewController::init() })
        tabs->addTabViewItem(localizedText(tab->title(), "tab label"), tab);
    return tabs;
}
