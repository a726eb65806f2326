#include "MovaraAppKit/Shell/MovaraApplicationMain.h"

#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/TerminationSignals.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Window.h"

namespace {

std::shared_ptr<MovaraAppDelegate> registeredDelegate()
{
    if (auto factory = foundation::ClassRegistry::shared().lookup<MovaraAppDelegate>("AppDelegate"))
        return factory();
    return MovaraAppDelegate::init();
}

} // namespace

int MovaraApplicationMain(int, char**, MovaraAppDelegateFactory makeDelegate)
{
    dispatch::RunLoop::main().bindToCurrentThread();
    dispatch::TerminationSignals signals([] { ui::Application::shared()->terminate(); });

    auto delegate = makeDelegate ? makeDelegate() : registeredDelegate();
    if (!delegate)
        foundation::fatal("The application made no delegate.");
    auto app = ui::Application::shared();
    app->setDelegate(delegate);
    app->run();

    // Windows, controllers and the delegate go before the process's static objects do, so that
    // nothing drawn is still alive when the drawing libraries release their caches at exit.
    app->setDelegate(nullptr);
    delegate.reset();
    for (const auto& window : app->windows())
        window->orderOut();
    app->setMainMenu(nullptr);
    return 0;
}
