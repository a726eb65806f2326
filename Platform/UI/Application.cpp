#include "Platform/UI/Application.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/AboutPanel.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Presenter.h"
#include "Platform/UI/ScriptedResponder.h"

namespace ui {

const std::string NSApplicationWillFinishLaunchingNotification = "NSApplicationWillFinishLaunchingNotification";
const std::string NSApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
const std::string NSApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";
const std::string NSApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";
const std::string NSApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";
const std::string NSApplicationLaunchIsDefaultLaunchKey = "NSApplicationLaunchIsDefaultLaunchKey";
const std::string NSAboutPanelOptionCredits = "Credits";

void ApplicationDelegate::application(Application& app, const std::vector<foundation::URL>& urls)
{
    // Without its own handling of URLs, a delegate gets the file URLs as paths.
    std::vector<std::string> paths;
    for (const auto& url : urls) {
        if (url.isFileURL())
            paths.push_back(url.path());
    }
    if (!paths.empty())
        application(app, paths);
}

Application::Application()
{
    registerAction("terminate:", [this](Object* sender) { terminate(sender); });
    registerAction("stop:", [this](Object* sender) { stop(sender); });
    registerAction("orderFrontStandardAboutPanel:", [this](Object* sender) { orderFrontStandardAboutPanel(sender); });
}

std::shared_ptr<Application> Application::shared()
{
    static const std::shared_ptr<Application> app = std::make_shared<Application>();
    return app;
}

void Application::postAndTell(const std::string& name,
                              void (ApplicationDelegate::*method)(const foundation::Notification&),
                              foundation::NotificationUserInfo userInfo)
{
    foundation::Notification n {name, foundation::identityOf(this), shared_from_this(), std::move(userInfo)};
    if (auto d = m_delegate)
        ((*d).*method)(n);
    foundation::NotificationCenter::defaultCenter().post(n);
}

void Application::finishLaunching()
{
    if (m_launched)
        return;
    m_launched = true;
    const bool isDefaultLaunch = m_launchFiles.empty();
    postAndTell(NSApplicationWillFinishLaunchingNotification, &ApplicationDelegate::applicationWillFinishLaunching,
                {{NSApplicationLaunchIsDefaultLaunchKey, isDefaultLaunch}});
    if (!m_launchFiles.empty()) {
        const auto files = std::move(m_launchFiles);
        m_launchFiles.clear();
        openFiles(files);
    }
    postAndTell(NSApplicationDidFinishLaunchingNotification, &ApplicationDelegate::applicationDidFinishLaunching,
                {{NSApplicationLaunchIsDefaultLaunchKey, isDefaultLaunch}});
    activateIgnoringOtherApps(true);
}

void Application::run()
{
    finishLaunching();
    if (m_terminated)
        return;
    m_running = true;
    dispatch::RunLoop::main().run();
    m_running = false;
}

void Application::stop(Object*)
{
    m_running = false;
    dispatch::RunLoop::main().stop();
}

void Application::terminate(Object*)
{
    const TerminateReply reply = m_delegate ? m_delegate->applicationShouldTerminate(*this) : TerminateReply::now;
    if (reply == TerminateReply::now)
        replyToApplicationShouldTerminate(true);
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate)
{
    if (!shouldTerminate || m_terminated)
        return;
    postAndTell(NSApplicationWillTerminateNotification, &ApplicationDelegate::applicationWillTerminate);
    m_terminated = true;
    stop();
}

void Application::activateIgnoringOtherApps(bool)
{
    if (m_active)
        return;
    m_active = true;
    postAndTell(NSApplicationDidBecomeActiveNotification, &ApplicationDelegate::applicationDidBecomeActive);
}

void Application::deactivate()
{
    if (!m_active)
        return;
    m_active = false;
    postAndTell(NSApplicationDidResignActiveNotification, &ApplicationDelegate::applicationDidResignActive);
}

void Application::openFiles(const std::vector<std::string>& paths)
{
    if (m_delegate && !paths.empty())
        m_delegate->application(*this, paths);
}

void Application::openFilesOnLaunch(const std::vector<std::string>& paths)
{
    if (m_launched)
        openFiles(paths);
    else
        m_launchFiles.insert(m_launchFiles.end(), paths.begin(), paths.end());
}

void Application::openURLs(const std::vector<foundation::URL>& urls)
{
    if (m_delegate && !urls.empty())
        m_delegate->application(*this, urls);
}

void Application::reopen()
{
    bool hasVisible = false;
    for (const auto& w : windows())
        hasVisible = hasVisible || (w->isVisible() && !w->isMiniaturized());
    const bool handleIt = m_delegate ? m_delegate->applicationShouldHandleReopen(*this, hasVisible) : true;
    if (!handleIt || hasVisible)
        return;
    // The platform's own answer: bring back the window the user last worked in.
    if (auto w = mainWindow() ? mainWindow() : (windows().empty() ? nullptr : windows().back()))
        w->makeKeyAndOrderFront(nullptr);
}

std::vector<WindowPtr> Application::windows() const
{
    std::vector<WindowPtr> out;
    for (const auto& weak : m_windows) {
        if (auto w = weak.lock())
            out.push_back(w);
    }
    return out;
}

WindowPtr Application::windowWithTitle(const std::string& title) const
{
    for (const auto& w : windows()) {
        if (w->title() == title)
            return w;
    }
    return nullptr;
}

void Application::registerWindow(const WindowPtr& window)
{
    m_windows.erase(std::remove_if(m_windows.begin(), m_windows.end(), [](const auto& w) { return w.expired(); }),
                    m_windows.end());
    m_windows.push_back(window);
}

void Application::windowDidOrder(Window& window, bool visible)
{
    auto self = window.sharedAs<Window>();
    m_onScreen.erase(std::remove(m_onScreen.begin(), m_onScreen.end(), self), m_onScreen.end());
    if (visible) {
        m_onScreen.insert(m_onScreen.begin(), self);
        return;
    }
    if (mainWindow() == self)
        m_mainWindow.reset();
    if (keyWindow() == self) {
        // The window behind takes the keyboard: a sheet's parent first, else the front-most.
        WindowPtr next = window.sheetParent();
        if (!next || !next->isVisible()) {
            next = nullptr;
            for (const auto& w : m_onScreen) {
                if (w->canBecomeKeyWindow()) {
                    next = w;
                    break;
                }
            }
        }
        if (next)
            windowDidBecomeKey(next.get());
        else {
            m_keyWindow.reset();
            foundation::Notification n {NSWindowDidResignKeyNotification, foundation::identityOf(&window), self, {}};
            if (auto d = window.delegate())
                d->windowDidResignKey(n);
            foundation::NotificationCenter::defaultCenter().post(n);
        }
    }
    if (!mainWindow()) {
        for (const auto& w : m_onScreen) {
            if (w->canBecomeMainWindow()) {
                m_mainWindow = w;
                break;
            }
        }
    }
    if (m_onScreen.empty() && m_delegate && m_launched && m_delegate->applicationShouldTerminateAfterLastWindowClosed(*this))
        terminate(nullptr);
}

void Application::windowDidBecomeKey(Window* window)
{
    WindowPtr old = keyWindow();
    if (old.get() == window)
        return;
    m_keyWindow = window ? window->sharedAs<Window>() : nullptr;
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (old) {
        foundation::Notification n {NSWindowDidResignKeyNotification, foundation::identityOf(old.get()), old, {}};
        if (auto d = old->delegate())
            d->windowDidResignKey(n);
        center.post(n);
    }
    if (window) {
        foundation::Notification n {NSWindowDidBecomeKeyNotification, foundation::identityOf(window), window->sharedAs<Window>(), {}};
        if (auto d = window->delegate())
            d->windowDidBecomeKey(n);
        center.post(n);
    }
}

void Application::windowDidBecomeMain(Window* window)
{
    m_mainWindow = window ? window->sharedAs<Window>() : nullptr;
    if (window)
        foundation::NotificationCenter::defaultCenter().post(NSWindowDidBecomeMainNotification, window->sharedAs<Window>());
}

namespace {

std::shared_ptr<Object> searchWindow(const WindowPtr& window, const std::string& action)
{
    if (!window)
        return nullptr;
    int guard = 0;
    for (std::shared_ptr<Responder> r = window->firstResponder(); r && guard < 1000; r = r->nextResponder(), ++guard) {
        if (r->respondsToAction(action))
            return r;
    }
    if (auto delegate = std::dynamic_pointer_cast<Object>(window->delegate()); delegate && delegate->respondsToAction(action))
        return delegate;
    return nullptr;
}

} // namespace

std::shared_ptr<Object> Application::targetForAction(const std::string& action, const std::shared_ptr<Object>& target) const
{
    if (action.empty())
        return nullptr;
    if (target)
        return target->respondsToAction(action) ? target : nullptr;
    // A window with a sheet up offers nothing of its own: its sheet is asked instead, as the
    // sheet is what the person has to answer first.
    auto front = [](WindowPtr window) {
        while (window) {
            WindowPtr sheet = window->attachedSheet();
            if (!sheet)
                break;
            window = sheet;
        }
        return window;
    };
    const WindowPtr key = front(keyWindow());
    if (auto found = searchWindow(key, action))
        return found;
    if (const WindowPtr main = front(mainWindow()); main != key) {
        if (auto found = searchWindow(main, action))
            return found;
    }
    auto self = std::const_pointer_cast<Application>(std::static_pointer_cast<const Application>(shared_from_this()));
    if (self->respondsToAction(action))
        return self;
    if (auto delegate = std::dynamic_pointer_cast<Object>(m_delegate); delegate && delegate->respondsToAction(action))
        return delegate;
    return nullptr;
}

bool Application::sendAction(const std::string& action, const std::shared_ptr<Object>& target, Object* sender)
{
    auto handler = targetForAction(action, target);
    return handler && handler->performAction(action, sender);
}

ModalResponse Application::runModalForWindow(const WindowPtr& window)
{
    if (!window)
        return ModalResponseAbort;
    auto previous = m_modalWindow;
    const bool previousStopped = m_modalStopped;
    m_modalWindow = window;
    m_modalStopped = false;
    m_modalCode = ModalResponseAbort;
    window->makeKeyAndOrderFront(nullptr);
    if (auto responder = ScriptedResponder::installed()) {
        if (auto answer = responder->takeModalAnswer(*window))
            stopModalWithCode(*answer);
    }
    // Headless nobody can click: once the loop has nothing left to do, the session is over.
    // On screen the session waits for the person.
    const bool interactive = isInteractive();
    int idleTurns = 0;
    // A terminating application ends the session too: nobody is left to answer it.
    while (!m_modalStopped && !m_terminated) {
        if (dispatch::RunLoop::main().runOnce(0.05))
            idleTurns = 0;
        else if (!interactive && ++idleTurns >= 4)
            break;
    }
    const ModalResponse code = m_modalStopped ? m_modalCode : ModalResponseAbort;
    m_modalWindow = previous;
    m_modalStopped = previousStopped;
    return code;
}

void Application::stopModalWithCode(ModalResponse code)
{
    if (m_modalWindow.expired())
        return;
    m_modalCode = code;
    m_modalStopped = true;
}

void Application::beep()
{
    ++m_beepCount;
}

void Application::orderFrontStandardAboutPanel(Object*)
{
    orderFrontStandardAboutPanelWithOptions({});
}

void Application::orderFrontStandardAboutPanelWithOptions(std::map<std::string, std::any> options)
{
    m_aboutOptions = std::move(options);
    ++m_aboutPanelCount;
    AboutPanel::show(m_aboutOptions);
}

namespace {

void sendEventToWindow(Application&, const Event& event)
{
    if (auto window = event.window())
        window->sendEvent(event);
}

void reportExceptionOnStandardError(Application&, const foundation::Exception& exception)
{
    std::fprintf(stderr, "%s: %s\n", exception.name().c_str(), exception.reason().c_str());
}

std::atomic<Application::SendEventImplementation> g_sendEvent { sendEventToWindow };
std::atomic<Application::ReportExceptionImplementation> g_reportException { reportExceptionOnStandardError };

} // namespace

void Application::sendEvent(const Event& event)
{
    try {
        g_sendEvent.load()(*this, event);
    } catch (const foundation::Exception& exception) {
        reportException(exception);
    }
}

void Application::reportException(const foundation::Exception& exception)
{
    g_reportException.load()(*this, exception);
}

Application::SendEventImplementation Application::exchangeSendEventImplementation(SendEventImplementation implementation)
{
    return g_sendEvent.exchange(implementation ? implementation : sendEventToWindow);
}

Application::ReportExceptionImplementation Application::exchangeReportExceptionImplementation(ReportExceptionImplementation implementation)
{
    return g_reportException.exchange(implementation ? implementation : reportExceptionOnStandardError);
}

void beep()
{
    Application::shared()->beep();
}

} // namespace ui
