#include "MovaraAppKit/Shell/MovaraApplicationMain.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Window.h"

namespace {

// Signals are taken by one thread with sigwait, outside any handler, so that asking the
// application to terminate can use the ordinary run-loop machinery.
class TerminationSignals {
public:
    TerminationSignals()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        // Blocked before any other thread starts, so every thread inherits the mask and only
        // the waiting thread ever receives them.
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
        m_thread = std::thread([this] {
            for (;;) {
                int signal = 0;
                if (sigwait(&m_set, &signal) != 0 || m_done.load())
                    return;
                dispatch::RunLoop::main().perform([] { ui::Application::shared()->terminate(); });
            }
        });
    }

    ~TerminationSignals()
    {
        m_done.store(true);
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
        pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
    }

private:
    sigset_t m_set;
    std::atomic<bool> m_done {false};
    std::thread m_thread;
};

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
    TerminationSignals signals;

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
