#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/Media/PlayerItem.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

const std::string MVRDontShowOnboardingWindowOnLaunchKey = "dontShowOnboardingWindowOnLaunch";

std::shared_ptr<MovaraPlanOnboardingWindowController> MovaraPlanOnboardingWindowController::init()
{
    return std::shared_ptr<MovaraPlanOnboardingWindowController>(new MovaraPlanOnboardingWindowController());
}

void MovaraPlanOnboardingWindowController::showOnLaunch()
{
    if (foundation::UserDefaults::standard()->boolForKey(MVRDontShowOnboardingWindowOnLaunchKey))
        return;
    showWindow(nullptr);
}

void MovaraPlanOnboardingWindowController::windowWillClose(const foundation::Notification&)
{
    if (auto d = delegate())
        d->movaraPlanOnboardingWindowDidClose();
}

std::shared_ptr<MovaraPlanOnboardingViewController> MovaraPlanOnboardingViewController::init()
{
    std::shared_ptr<MovaraPlanOnboardingViewController> controller(new MovaraPlanOnboardingViewController());
    std::weak_ptr<MovaraPlanOnboardingViewController> weak = controller;
    controller->registerAction("dontShowOnboardingWindowOnLaunchChanged:", [weak](ui::Object* sender) {
        if (auto self = weak.lock())
            self->dontShowOnboardingWindowOnLaunchChanged(sender);
    });
    controller->m_currentUserObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRAPICurrentUserDidChangeNotification, nullptr, nullptr, [weak](const foundation::Notification& n) {
            if (auto self = weak.lock())
                self->currentUserDidChange(n);
        });
    return controller;
}

void MovaraPlanOnboardingViewController::setCaption(std::optional<std::string> caption)
{
    willChange("caption");
    m_caption = std::move(caption);
    didChange("caption");
}

void MovaraPlanOnboardingViewController::setHideDontShowOnboardingWindowCheckbox(bool value)
{
    willChange("hideDontShowOnboardingWindowCheckbox");
    m_hideDontShowOnboardingWindowCheckbox = value;
    didChange("hideDontShowOnboardingWindowCheckbox");
}

void MovaraPlanOnboardingViewController::loadView()
{
    // The storyboard's scene: the movie and the caption above the form.
    MovaraPlanSignInCreateViewController::loadView();
    auto root = view();
    const graphics::Rect form = root->frame();
    // The check box that turns the window off at launch goes under the form.
    const double checkboxHeight = 28;
    for (const auto& subview : root->subviews())
        subview->setFrameOrigin({subview->frame().origin.x, subview->frame().origin.y + checkboxHeight});
    root->setFrameSize({form.width(), form.height() + checkboxHeight + 220});
    auto checkbox = ui::Button::checkboxWithTitle(
        foundation::localized("Don't show this window at launch", "check box title", mvr_movaraAppKitBundle()),
        sharedAs<ui::Object>(), "dontShowOnboardingWindowOnLaunchChanged:");
    checkbox->setFrameOrigin({20, 6});
    checkbox->bind(ui::NSHiddenBinding, std::dynamic_pointer_cast<foundation::Observable>(sharedAs<ui::Object>()),
                   "hideDontShowOnboardingWindowCheckbox");
    root->addSubview(checkbox);
    m_dontShowCheckbox = checkbox;
    const double top = form.height() + checkboxHeight;
    auto caption = ui::TextField::wrappingLabelWithString("", form.width() - 40);
    caption->setFrame(graphics::Rect::make(20, top, form.width() - 40, 28));
    caption->setAlignment(ui::TextAlignment::center);
    caption->bind(ui::NSValueBinding, std::dynamic_pointer_cast<foundation::Observable>(sharedAs<ui::Object>()), "caption");
    auto movie = ui::View::initWithFrame(graphics::Rect::make(0, top + 28, form.width(), 192));
    root->addSubview(caption);
    root->addSubview(movie);
    setMovieView(movie);
}

void MovaraPlanOnboardingViewController::viewWillAppear()
{
    MovaraPlanSignInCreateViewController::viewWillAppear();
    auto movieView = this->movieView();
    if (auto url = MVRAppInfo::shared()->movaraPlanOnboardingWindowMovieUrl(); movieView && url) {
        m_player = media::Player::playerWithURL(*url);
        m_playerLayer = ui::PlayerLayer::playerLayerWithPlayer(m_player);
        m_playerLayer->setVideoGravity(ui::LayerVideoGravity::resizeAspectFill);
        m_playerLayer->setFrame(movieView->bounds());
        m_playerLayer->setAutoresizingMask(ui::LayerWidthSizable | ui::LayerHeightSizable);
        movieView->setWantsLayer(true);
        movieView->layer()->addSublayer(m_playerLayer);
        // The loop: back to the start and on again, from whichever thread posts the end.
        std::weak_ptr<media::Player> weakPlayer = m_player;
        m_playerObserver = foundation::NotificationCenter::defaultCenter().addObserver(
            media::AVPlayerItemDidPlayToEndTimeNotification, foundation::identityOf(m_player->currentItem().get()), nullptr,
            [weakPlayer](const foundation::Notification&) {
                if (auto player = weakPlayer.lock()) {
                    player->seekToTime(media::Time::zero());
                    player->play();
                }
            });
        m_player->play();
    }
    setCaption(MVRAppInfo::shared()->movaraPlanOnboardingWindowCaption());
    setHideDontShowOnboardingWindowCheckbox(false);
    if (auto checkbox = m_dontShowCheckbox.lock())
        checkbox->setState(foundation::UserDefaults::standard()->boolForKey(MVRDontShowOnboardingWindowOnLaunchKey)
                               ? ui::ControlStateValueOn
                               : ui::ControlStateValueOff);
    showCreateAccountView(nullptr);
}

void MovaraPlanOnboardingViewController::viewWillDisappear()
{
    MovaraPlanSignInCreateViewController::viewWillDisappear();
    if (m_playerObserver) {
        m_playerObserver->remove();
        m_playerObserver.reset();
    }
    // Each appearance makes a new player and layer; leaving the old ones playing under the
    // new one would keep every earlier movie decoding for as long as the window lives.
    if (m_player)
        m_player->pause();
    if (m_playerLayer) {
        m_playerLayer->setPlayer(nullptr);
        m_playerLayer->removeFromSuperlayer();
    }
    m_player.reset();
    m_playerLayer.reset();
}

void MovaraPlanOnboardingViewController::dontShowOnboardingWindowOnLaunchChanged(ui::Object* sender)
{
    auto* checkbox = dynamic_cast<ui::Button*>(sender);
    if (!checkbox)
        return;
    // Only a ticked box is stored; clearing it removes the key, which reads as false.
    auto defaults = foundation::UserDefaults::standard();
    if (checkbox->state() == ui::ControlStateValueOn)
        defaults->set(MVRDontShowOnboardingWindowOnLaunchKey, foundation::Value(true));
    else
        defaults->removeObjectForKey(MVRDontShowOnboardingWindowOnLaunchKey);
}

void MovaraPlanOnboardingViewController::currentUserDidChange(const foundation::Notification&)
{
    if (!MVRAPIUser::currentUser() || !isViewLoaded())
        return;
    if (auto* window = view()->window())
        if (auto controller = window->windowController())
            controller->close();
}

const foundation::KeyTable& MovaraPlanOnboardingViewController::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = MovaraPlanSignInCreateViewController::observableKeys();
        // A bound label reads text, or nothing for no caption; an optional would reach it as
        // an object it cannot show.
        t.key("caption", [](const foundation::Observable& o) -> std::any {
             const auto& caption = static_cast<const MovaraPlanOnboardingViewController&>(o).caption();
             return caption ? std::any(*caption) : std::any();
         })
            .key("hideDontShowOnboardingWindowCheckbox", &MovaraPlanOnboardingViewController::hideDontShowOnboardingWindowCheckbox,
                 &MovaraPlanOnboardingViewController::setHideDontShowOnboardingWindowCheckbox);
        return t;
    }();
    return table;
}

namespace {

const bool registered = [] {
    ui::InterfaceRegistry::registerWindowScene(
        "MovaraPlanOnboardingWindow", "MovaraPlanOnboardingWindowController", [] { return MovaraPlanOnboardingWindowController::init(); },
        [] {
            auto window = ui::Window::windowWithContentViewController(MovaraPlanOnboardingViewController::init());
            window->setStyleMask(ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable | ui::WindowStyleMaskFullSizeContentView);
            return window;
        });
    return true;
}();

} // namespace
