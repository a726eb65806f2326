#pragma once
// Manages one window: loads it from the interface file named windowNibName() on first use
// (windowWillLoad, then windowDidLoad), shows it (showWindow) and closes it. Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Object.h"

namespace ui {

class ViewController;
class Window;
class WindowController;
using WindowControllerPtr = std::shared_ptr<WindowController>;

class WindowController : public Responder {
public:
    static WindowControllerPtr initWithWindow(const std::shared_ptr<Window>& window);
    static WindowControllerPtr initWithWindowNibName(const std::string& name);
    ~WindowController() override;

    // Loads the window on first use; none when there is no interface file or it made none.
    std::shared_ptr<Window> window();
    void setWindow(const std::shared_ptr<Window>& window);
    bool isWindowLoaded() const { return m_window != nullptr; }
    virtual std::string windowNibName() const { return m_windowNibName; }
    void setWindowNibName(std::string name) { m_windowNibName = std::move(name); }
    // Loads the interface file (the controller is its owner).
    virtual void loadWindow();
    virtual void windowWillLoad() { }
    virtual void windowDidLoad() { }

    // Brings the window forward and makes it key.
    virtual void showWindow(Object* sender);
    void close();

    std::shared_ptr<ViewController> contentViewController() const;
    void setContentViewController(const std::shared_ptr<ViewController>& controller);

protected:
    WindowController() = default;

private:
    std::string m_windowNibName;
    std::shared_ptr<Window> m_window;
    bool m_loading = false;
};

} // namespace ui
