#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "Platform/Foundation/UserDefaults.h"
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

void MovaraPlanOnboardingViewController::viewWillAppear()
{
    MovaraPlanSignInCreateViewController::viewWillAppear();
    setCaption(MVRAppInfo::shared()->movaraPlanOnboardingWindowCaption());
    setHideDontShowOnboardingWindowCheckbox(false);
    showCreateAccountView(nullptr);
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
        t.key("caption", [](const foundation::Observable& o) -> std::any {
             return static_cast<const MovaraPlanOnboardingViewController&>(o).caption();
         })
            .key("hideDontShowOnboardingWindowCheckbox", &MovaraPlanOnboardingViewController::hideDontShowOnboardingWindowCheckbox,
                 &MovaraPlanOnboardingViewController::setHideDontShowOnboardingWindowCheckbox);
        return t;
    }();
    return table;
}

namespace {

const bool registered = [] {
    ui::InterfaceRegistry::registerScene("MovaraPlanOnboardingWindow", "MovaraPlanOnboardingWindowController", [](ui::InterfaceFile&) -> ui::ObjectPtr {
        auto controller = MovaraPlanOnboardingWindowController::init();
        auto window = ui::Window::windowWithContentViewController(MovaraPlanOnboardingViewController::init());
        window->setStyleMask(ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable | ui::WindowStyleMaskFullSizeContentView);
        controller->setWindow(window);
        window->setDelegate(controller);
        controller->windowDidLoad();
        return controller;
    }, true);
    return true;
}();

} // namespace
