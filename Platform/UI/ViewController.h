#pragma once
// Manages one view: loads it (from an interface file named nibName(), or loadView()), and
// hears of its life: viewDidLoad once, then viewWillAppear / viewDidAppear and
// viewWillDisappear / viewDidDisappear as its window is shown and closed. Controllers nest
// (children, parent) and present others as sheets. Main thread only.
//
// Other layers can follow every controller's appearance without subclassing: a hook added with
// addViewWillAppearHook runs each time a controller's viewWillAppear reaches this class's
// (subclasses that override it call it, as they would call any base implementation).

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Object.h"

namespace ui {

class View;
class Window;
class ViewController;
using ViewControllerPtr = std::shared_ptr<ViewController>;

class ViewController : public Responder {
public:
    static ViewControllerPtr init();
    ~ViewController() override;

    // Loads the view on first use.
    std::shared_ptr<View> view();
    void setView(const std::shared_ptr<View>& view);
    bool isViewLoaded() const { return m_view != nullptr; }
    // The interface file that holds the view; empty: loadView() makes it.
    virtual std::string nibName() const { return m_nibName; }
    void setNibName(std::string name) { m_nibName = std::move(name); }
    // Makes the view: from the interface file when there is one, else an empty view.
    virtual void loadView();

    virtual void viewDidLoad() { }
    // Runs the appearance hooks.
    virtual void viewWillAppear();
    virtual void viewDidAppear() { }
    virtual void viewWillDisappear() { }
    virtual void viewDidDisappear() { }

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }
    // The size the controller would like its view to have (zero: no wish). Setting a new one
    // tells the parent, whose container may resize to it.
    graphics::Size preferredContentSize() const { return m_preferredContentSize; }
    void setPreferredContentSize(graphics::Size size);
    const std::any& representedObject() const { return m_representedObject; }
    virtual void setRepresentedObject(std::any object) { m_representedObject = std::move(object); }

    // ---- nesting and presentation
    ViewControllerPtr parentViewController() const { return m_parent.lock(); }
    const std::vector<ViewControllerPtr>& childViewControllers() const { return m_children; }
    void addChildViewController(const ViewControllerPtr& child);
    void removeFromParentViewController();
    ViewControllerPtr presentingViewController() const { return m_presenting.lock(); }
    // The controllers this one presents now, oldest first.
    const std::vector<ViewControllerPtr>& presentedViewControllers() const { return m_presented; }
    // Shows `controller`'s view in a sheet on this controller's window.
    void presentViewControllerAsSheet(const ViewControllerPtr& controller);
    void dismissViewController(const ViewControllerPtr& controller);
    // Dismisses this controller if something presented it, else closes its window.
    virtual void dismissController(Object* sender);

    std::shared_ptr<Responder> nextResponder() const override;

    // The controller's class, fully qualified ("quintor::MainViewController").
    std::string className() const;

    // ---- appearance hooks, process-wide, in the order added; may be added and removed from any
    // thread. A hook added or removed while hooks run takes effect from the next appearance.
    using AppearanceHook = std::function<void(ViewController&)>;
    using AppearanceHookId = std::uint64_t;
    static AppearanceHookId addViewWillAppearHook(AppearanceHook hook);
    static void removeViewWillAppearHook(AppearanceHookId id);

    // Internal: the window shows or hides this controller's view.
    void sendAppearance(bool appearing, bool did);

protected:
    ViewController() = default;
    // The children whose views appear and disappear with this one's: all of them, unless a
    // container shows only some.
    virtual std::vector<ViewControllerPtr> appearingChildViewControllers() const { return m_children; }
    // Between did-appear and will-disappear.
    bool hasAppeared() const { return m_appeared; }
    // A child's preferred content size changed.
    virtual void preferredContentSizeDidChangeForViewController(ViewController& child) { (void)child; }

private:
    std::string m_nibName;
    std::shared_ptr<View> m_view;
    std::string m_title;
    graphics::Size m_preferredContentSize;
    std::any m_representedObject;
    std::weak_ptr<ViewController> m_parent;
    std::vector<ViewControllerPtr> m_children;
    std::weak_ptr<ViewController> m_presenting;
    std::vector<ViewControllerPtr> m_presented;
    std::shared_ptr<Window> m_sheetWindow;
    bool m_appeared = false;
};

} // namespace ui
