#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"

#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughViewController.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"

const std::string MVRHasShownWalkthroughWindowOnLaunchKey = "hasShownWalkthroughWindowOnLaunch";

std::shared_ptr<OnboardingWalkthroughWindowController> OnboardingWalkthroughWindowController::init()
{
    return std::shared_ptr<OnboardingWalkthroughWindowController>(new OnboardingWalkthroughWindowController());
}

void OnboardingWalkthroughWindowController::windowDidLoad()
{
    ui::WindowController::windowDidLoad();
    auto w = window();
    if (!w)
        foundation::fatal("OnboardingWalkthroughWindowController: the storyboard made no window.");
    mvr_setDarkAppearance(*w);
}

void OnboardingWalkthroughWindowController::showWindow(ui::Object* sender)
{
    auto w = window();
    if (!w)
        foundation::fatal("OnboardingWalkthroughWindowController: no window to show.");
    w->center();
    auto app = sharedAppDelegate();
    w->setTitle(app->appName());
    // A represented file gives the title bar its icon button, which shows the application's icon.
    w->setRepresentedURL(foundation::URL::fileURLWithPath(""));
    if (auto icon = w->standardWindowButton(ui::WindowButton::documentIconButton))
        icon->setImage(app->appIconImage());
    ui::WindowController::showWindow(sender);
    foundation::UserDefaults::standard()->set(MVRHasShownWalkthroughWindowOnLaunchKey, foundation::Value(true));
}

void OnboardingWalkthroughWindowController::showOnLaunch()
{
    if (foundation::UserDefaults::standard()->boolForKey(MVRHasShownWalkthroughWindowOnLaunchKey)) {
        sharedAppDelegate()->movaraPlanOnboardingWindowController()->showOnLaunch();
        return;
    }
    m_shouldShowMovaraPlanOnboardingWindowNext = true;
    showWindow(nullptr);
}

void OnboardingWalkthroughWindowController::windowWillClose(const foundation::Notification&)
{
    if (auto w = window())
        if (auto walkthrough = std::dynamic_pointer_cast<OnboardingWalkthroughViewController>(w->contentViewController()))
            walkthrough->stopPlayback();
    // After the close has finished: the plan onboarding window follows a first-launch
    // walkthrough, not one opened from the menu.
    std::weak_ptr<OnboardingWalkthroughWindowController> weak =
        std::static_pointer_cast<OnboardingWalkthroughWindowController>(shared_from_this());
    dispatch::Queue::main()->async([weak] {
        auto self = weak.lock();
        if (self && self->m_shouldShowMovaraPlanOnboardingWindowNext)
            sharedAppDelegate()->movaraPlanOnboardingWindowController()->showOnLaunch();
    });
}

namespace {

// A dark 640 by 480 window whose content is the walkthrough's view controller (the movie and
// the message box).
const bool registered = [] {
    ui::InterfaceRegistry::registerWindowScene(
        "OnboardingWalkthrough", "OnboardingWalkthroughWindowController", [] { return OnboardingWalkthroughWindowController::init(); },
        [] {
            auto window = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 640, 480),
                                                          ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable);
            window->setContentViewController(OnboardingWalkthroughViewController::init());
            return window;
        });
    return true;
}();

} // namespace
