#include "MovaraAppKit/Account/MovaraPlanHomeViewController.h"

#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"
#include "MovaraAppKit/Account/MovaraPlanAccountSettingsViewController.h"
#include "MovaraAppKit/Account/MovaraPlanSignInCreateViewController.h"
#include "MovaraAppKit/Controls/RoundAvatarView.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

const std::string MovaraPlanWindowStoryboard = "MovaraPlanWindow";

namespace {

std::string localizedText(const std::string& key, const char* comment)
{
    return foundation::localized(key, comment, mvr_movaraAppKitBundle());
}

} // namespace

MovaraPlanHomeViewController::MovaraPlanHomeViewController()
{
    registerAction("showSignIn:", [this](ui::Object* s) { showSignIn(s); });
    registerAction("showCreateAccount:", [this](ui::Object* s) { showCreateAccount(s); });
    registerAction("showAccountSettings:", [this](ui::Object* s) { showAccountSettings(s); });
}

std::shared_ptr<MovaraPlanHomeViewController> MovaraPlanHomeViewController::init()
{
    std::shared_ptr<MovaraPlanHomeViewController> controller(new MovaraPlanHomeViewController());
    controller->observeCurrentUser();
    controller->currentUserDidChange(nullptr);
    return controller;
}

std::string MovaraPlanHomeViewController::greeting() const
{
    if (!user())
        return localizedText("Sign in to keep your work in your Movara account.", "account window text");
    return localizedText("Signed in as", "account window text") + " " + user()->username().value_or(user()->email().value_or(""));
}

void MovaraPlanHomeViewController::loadView()
{
    auto self = std::static_pointer_cast<MovaraPlanHomeViewController>(shared_from_this());
    auto root = ui::View::initWithFrame(Rect::make(0, 0, 420, 330));
    auto avatar = RoundAvatarView::initWithFrame(Rect::make(165, 190, 90, 90));
    avatar->bind(ui::NSValueBinding, self, "avatarImage");
    root->addSubview(avatar);
    auto label = ui::TextField::wrappingLabelWithString(greeting(), 340);
    label->setAlignment(ui::TextAlignment::center);
    label->setFrame(Rect::make(40, 140, 340, 36));
    label->bind(ui::NSValueBinding, self, "greeting");
    root->addSubview(label);

    auto button = [&](const std::string& title, const char* action, double x, const char* hiddenKey, bool hideWhenSignedIn) {
        auto b = ui::Button::buttonWithTitle(localizedText(title, "button title"), self, action);
        b->setFrame(Rect::make(x, 80, 150, b->frame().size.height));
        (void)hideWhenSignedIn;
        b->bind(ui::NSHiddenBinding, self, hiddenKey);
        root->addSubview(b);
        return b;
    };
    button("Sign In", "showSignIn:", 50, "signedIn", true);
    button("Create Account", "showCreateAccount:", 220, "signedIn", true);
    button("Account Settings", "showAccountSettings:", 135, "signedOut", false);
    setView(root);
}

void MovaraPlanHomeViewController::currentUserDidChange(const foundation::Notification* notification)
{
    willChange("signedIn");
    willChange("signedOut");
    willChange("greeting");
    MovaraPlanViewController::currentUserDidChange(notification);
    didChange("greeting");
    didChange("signedOut");
    didChange("signedIn");
    auto url = user() ? user()->avatarURL() : std::nullopt;
    if (!url) {
        setAvatarImage(RoundAvatarView::defaultAvatarImage());
        return;
    }
    std::weak_ptr<MovaraPlanHomeViewController> weak = std::static_pointer_cast<MovaraPlanHomeViewController>(shared_from_this());
    RoundAvatarView::requestAvatarImageForURL(url, [weak](const ui::ImagePtr& image) {
        if (auto self = weak.lock())
            self->setAvatarImage(image);
    });
}

void MovaraPlanHomeViewController::prepareForSegue(ui::StoryboardSegue& segue, ui::Object*)
{
    if (segue.identifier() != "MovaraPlanCreateSegue")
        return;
    if (auto form = std::dynamic_pointer_cast<MovaraPlanSignInCreateViewController>(segue.destinationController()))
        form->showCreateAccountView(nullptr);
}

void MovaraPlanHomeViewController::showSignIn(ui::Object* sender)
{
    ui::StoryboardSegue::performSegueWithIdentifier(MovaraPlanWindowStoryboard, "MovaraPlanSignInSegue",
                                                    std::static_pointer_cast<ui::ViewController>(shared_from_this()), sender);
}

void MovaraPlanHomeViewController::showCreateAccount(ui::Object* sender)
{
    ui::StoryboardSegue::performSegueWithIdentifier(MovaraPlanWindowStoryboard, "MovaraPlanCreateSegue",
                                                    std::static_pointer_cast<ui::ViewController>(shared_from_this()), sender);
}

void MovaraPlanHomeViewController::showAccountSettings(ui::Object* sender)
{
    ui::StoryboardSegue::performSegueWithIdentifier(MovaraPlanWindowStoryboard, "MovaraPlanAccountSettingsSegue",
                                                    std::static_pointer_cast<ui::ViewController>(shared_from_this()), sender);
}

const foundation::KeyTable& MovaraPlanHomeViewController::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanViewController::observableKeys();
        t.key("signedIn", [](const foundation::Observable& o) -> std::any { return static_cast<const MovaraPlanHomeViewController&>(o).signedIn(); })
            .key("signedOut", [](const foundation::Observable& o) -> std::any { return !static_cast<const MovaraPlanHomeViewController&>(o).signedIn(); })
            .key("greeting", [](const foundation::Observable& o) -> std::any { return static_cast<const MovaraPlanHomeViewController&>(o).greeting(); });
        return t;
    }();
    return table;
}

namespace {

// The account window's storyboard: the window, the form and the settings tabs, and the
// segues between them.
const bool registered = [] {
    ui::InterfaceRegistry::registerWindowScene(
        MovaraPlanWindowStoryboard, "MovaraPlanWindowController", [] { return MovaraPlanWindowController::init(); }, [] {
            auto window = ui::Window::windowWithContentViewController(MovaraPlanHomeViewController::init());
            window->setStyleMask(ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable | ui::WindowStyleMaskFullSizeContentView);
            return window;
        });
    ui::InterfaceRegistry::registerScene(MovaraPlanWindowStoryboard, "MovaraPlanSignInCreateViewController",
                                         [](ui::InterfaceFile&) -> ui::ObjectPtr { return MovaraPlanSignInCreateViewController::init(); });
    ui::InterfaceRegistry::registerScene(MovaraPlanWindowStoryboard, "MovaraPlanAccountSettingsTabViewController",
                                         [](ui::InterfaceFile&) -> ui::ObjectPtr { return MovaraPlanAccountSettingsTabViewController(); });
    ui::StoryboardSegue::registerSegue(MovaraPlanWindowStoryboard, "MovaraPlanSignInSegue", "MovaraPlanSignInCreateViewController",
                                       ui::StoryboardSegue::Kind::sheet);
    ui::StoryboardSegue::registerSegue(MovaraPlanWindowStoryboard, "MovaraPlanCreateSegue", "MovaraPlanSignInCreateViewController",
                                       ui::StoryboardSegue::Kind::sheet);
    ui::StoryboardSegue::registerSegue(MovaraPlanWindowStoryboard, "MovaraPlanAccountSettingsSegue",
                                       "MovaraPlanAccountSettingsTabViewController", ui::StoryboardSegue::Kind::replaceWindowContent);
    return true;
}();

} // namespace
