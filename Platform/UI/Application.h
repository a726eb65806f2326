#pragma once
// The application: one per process (Application::shared()), running on the main run loop.
// It launches (telling its delegate and posting the launch notifications), keeps the list of
// windows and the key and main window, the main menu, activation, modal sessions, and sends
// actions along the responder chain. Requests from outside (files to open, a reopen) arrive
// through openFiles/openURLs/reopen. Main thread only.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/URL.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/Object.h"
#include "Platform/UI/Window.h"

namespace ui {

class Application;
class Event;
class Menu;

// The About panel's option that holds the credits (an attributed string).
extern const std::string NSAboutPanelOptionCredits; // "Credits"

extern const std::string NSApplicationWillFinishLaunchingNotification; // "NSApplicationWillFinishLaunchingNotification"
extern const std::string NSApplicationDidFinishLaunchingNotification;  // "NSApplicationDidFinishLaunchingNotification"
extern const std::string NSApplicationDidBecomeActiveNotification;     // "NSApplicationDidBecomeActiveNotification"
extern const std::string NSApplicationDidResignActiveNotification;     // "NSApplicationDidResignActiveNotification"
extern const std::string NSApplicationWillTerminateNotification;       // "NSApplicationWillTerminateNotification"
// In the user info of the two launch notifications: a bool, false when the launch was asked to
// open files (the file manager's "Open With"), true for a plain launch.
extern const std::string NSApplicationLaunchIsDefaultLaunchKey; // "NSApplicationLaunchIsDefaultLaunchKey"

enum class TerminateReply { cancel = 0, now = 1, later = 2 };

// Every member is optional.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching(const foundation::Notification& n) { (void)n; }
    virtual void applicationDidFinishLaunching(const foundation::Notification& n) { (void)n; }
    virtual void applicationDidBecomeActive(const foundation::Notification& n) { (void)n; }
    virtual void applicationDidResignActive(const foundation::Notification& n) { (void)n; }
    virtual void applicationWillTerminate(const foundation::Notification& n) { (void)n; }
    virtual TerminateReply applicationShouldTerminate(Application& app) { (void)app; return TerminateReply::now; }
    virtual bool applicationShouldTerminateAfterLastWindowClosed(Application& app) { (void)app; return false; }
    // False: the application does its default (shows a window if none is visible).
    virtual bool applicationShouldHandleReopen(Application& app, bool hasVisibleWindows)
    {
        (void)app;
        (void)hasVisibleWindows;
        return true;
    }
    // Files (paths) and URLs the application was asked to open.
    virtual void application(Application& app, const std::vector<std::string>& filenames) { (void)app; (void)filenames; }
    virtual void application(Application& app, const std::vector<foundation::URL>& urls);
};

class Application : public Responder {
public:
    static std::shared_ptr<Application> shared();

    std::shared_ptr<ApplicationDelegate> delegate() const { return m_delegate; }
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { m_delegate = std::move(delegate); }

    // ---- life
    // Tells the delegate and observers that launching begins and has finished, then
    // activates. The launch's own files (openFilesOnLaunch) reach the delegate between the two.
    // Runs once; later calls do nothing.
    void finishLaunching();
    bool isLaunched() const { return m_launched; }
    // finishLaunching, then the main run loop until stop() or terminate().
    void run();
    void stop(Object* sender = nullptr);
    bool isRunning() const { return m_running; }
    // Asks the delegate; on yes tells it and observers, then stops the run loop.
    void terminate(Object* sender = nullptr);
    // Answers a `later` from applicationShouldTerminate.
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    bool isTerminated() const { return m_terminated; }

    // ---- activation
    bool isActive() const { return m_active; }
    void activateIgnoringOtherApps(bool flag = true);
    void deactivate();

    // ---- requests from outside
    void openFiles(const std::vector<std::string>& paths);
    // Files the launch itself is to open (the file manager's "Open With" starting the
    // application): the delegate gets them between the two launch notifications, which then
    // say that the launch is not a default one. Before finishLaunching only.
    void openFilesOnLaunch(const std::vector<std::string>& paths);
    void openURLs(const std::vector<foundation::URL>& urls);
    // The user clicked the application's icon: asks the delegate, else shows a window.
    void reopen();

    // ---- windows
    // Windows made and still alive, oldest first.
    std::vector<WindowPtr> windows() const;
    WindowPtr keyWindow() const { return m_keyWindow.lock(); }
    WindowPtr mainWindow() const { return m_mainWindow.lock(); }
    WindowPtr windowWithTitle(const std::string& title) const;

    // ---- menus
    std::shared_ptr<Menu> mainMenu() const { return m_mainMenu; }
    void setMainMenu(std::shared_ptr<Menu> menu) { m_mainMenu = std::move(menu); }
    std::shared_ptr<Menu> servicesMenu() const { return m_servicesMenu; }
    void setServicesMenu(std::shared_ptr<Menu> menu) { m_servicesMenu = std::move(menu); }
    std::shared_ptr<Menu> helpMenu() const { return m_helpMenu; }
    void setHelpMenu(std::shared_ptr<Menu> menu) { m_helpMenu = std::move(menu); }
    std::shared_ptr<Menu> windowsMenu() const { return m_windowsMenu; }
    void setWindowsMenu(std::shared_ptr<Menu> menu) { m_windowsMenu = std::move(menu); }

    // ---- actions
    // The object that would handle `action`: the target if it answers it, else (target none)
    // along the key window's responder chain, its delegate and controller, the main window's
    // chain, the application and its delegate.
    std::shared_ptr<Object> targetForAction(const std::string& action, const std::shared_ptr<Object>& target = nullptr) const;
    bool sendAction(const std::string& action, const std::shared_ptr<Object>& target, Object* sender);

    // ---- events and exceptions
    // Hands the event to its window. An exception of the platform's class that escapes its
    // dispatch is handed to reportException and goes no further: one faulty handler doesn't end
    // the application.
    void sendEvent(const Event& event);
    // Writes the exception's name and reason to the standard error.
    void reportException(const foundation::Exception& exception);

    // The implementations of sendEvent and reportException can be replaced process-wide, from
    // any thread. Each exchange answers the implementation it replaced, which the new one
    // usually calls on with the same arguments.
    using SendEventImplementation = void (*)(Application& app, const Event& event);
    using ReportExceptionImplementation = void (*)(Application& app, const foundation::Exception& exception);
    static SendEventImplementation exchangeSendEventImplementation(SendEventImplementation implementation);
    static ReportExceptionImplementation exchangeReportExceptionImplementation(ReportExceptionImplementation implementation);

    // ---- modal sessions
    // Runs the main loop for `window` until stopModal/abortModal (or the scripted responder's
    // answer). Headless and with nothing left to do, the session ends with Abort rather than
    // wait for a click that cannot come.
    ModalResponse runModalForWindow(const WindowPtr& window);
    void stopModal() { stopModalWithCode(ModalResponseStop); }
    void stopModalWithCode(ModalResponse code);
    void abortModal() { stopModalWithCode(ModalResponseAbort); }
    WindowPtr modalWindow() const { return m_modalWindow.lock(); }

    // ---- look and feedback
    AppearancePtr appearance() const { return m_appearance; }
    void setAppearance(AppearancePtr appearance) { m_appearance = std::move(appearance); }
    AppearancePtr effectiveAppearance() const { return m_appearance ? m_appearance : Appearance::aqua(); }
    // The system beep; counted so that tests can see it.
    void beep();
    long beepCount() const { return m_beepCount; }
    // The standard About panel (see AboutPanel); the options given are also kept for tests
    // (NSAboutPanelOptionCredits, ...).
    void orderFrontStandardAboutPanel(Object* sender = nullptr);
    void orderFrontStandardAboutPanelWithOptions(std::map<std::string, std::any> options);
    const std::map<std::string, std::any>& lastAboutPanelOptions() const { return m_aboutOptions; }
    long aboutPanelCount() const { return m_aboutPanelCount; }

    // Internal: windows report their life here.
    void registerWindow(const WindowPtr& window);
    void windowDidOrder(Window& window, bool visible);
    void windowDidBecomeKey(Window* window);
    void windowDidBecomeMain(Window* window);

    Application();

private:
    void postAndTell(const std::string& name, void (ApplicationDelegate::*method)(const foundation::Notification&),
                     foundation::NotificationUserInfo userInfo = {});

    std::shared_ptr<ApplicationDelegate> m_delegate;
    bool m_launched = false;
    std::vector<std::string> m_launchFiles;
    bool m_running = false;
    bool m_terminated = false;
    bool m_active = false;
    std::vector<std::weak_ptr<Window>> m_windows;
    std::vector<WindowPtr> m_onScreen; // visible windows are kept alive, as on screen
    std::weak_ptr<Window> m_keyWindow;
    std::weak_ptr<Window> m_mainWindow;
    std::shared_ptr<Menu> m_mainMenu;
    std::shared_ptr<Menu> m_servicesMenu;
    std::shared_ptr<Menu> m_helpMenu;
    std::shared_ptr<Menu> m_windowsMenu;
    std::weak_ptr<Window> m_modalWindow;
    bool m_modalStopped = false;
    ModalResponse m_modalCode = ModalResponseStop;
    AppearancePtr m_appearance;
    long m_beepCount = 0;
    std::map<std::string, std::any> m_aboutOptions;
    long m_aboutPanelCount = 0;
};

// The system beep (Application::shared()->beep()).
void beep();

} // namespace ui
