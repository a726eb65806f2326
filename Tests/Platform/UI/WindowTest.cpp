// Sheets and their return codes, key and main windows, closing, and the life-cycle hooks of
// window and view controllers.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/UndoManager.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/WindowController.h"
#include "Tests/Platform/UI/UITestSupport.h"

using graphics::Rect;
using namespace ui;

namespace {

class WindowTest : public uitest::UITest { };

TEST_F(WindowTest, SheetsEndWithTheirReturnCodesOneAtATime)
{
    auto host = makeWindow();
    host->makeKeyAndOrderFront();
    auto first = makeWindow(100, 50);
    auto second = makeWindow(100, 50);
    std::vector<ModalResponse> results;
    host->beginSheet(first, [&](ModalResponse r) { results.push_back(r); });
    host->beginSheet(second, [&](ModalResponse r) { results.push_back(r + 100); });

    EXPECT_EQ(host->attachedSheet(), first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(second->isVisible()); // waits its turn
    EXPECT_TRUE(first->isKeyWindow());
    EXPECT_EQ(first->sheetParent(), host);

    host->endSheet(first, ModalResponseOK);
    EXPECT_FALSE(first->isVisible());
    EXPECT_FALSE(first->isSheet());
    EXPECT_EQ(host->attachedSheet(), second);
    host->endSheet(second, ModalResponseCancel);
    host->endSheet(second, ModalResponseOK); // ended already: nothing more
    EXPECT_EQ(results, (std::vector<ModalResponse>{1, 100}));
    EXPECT_EQ(host->attachedSheet(), nullptr);
    EXPECT_TRUE(host->isKeyWindow());
}

TEST_F(WindowTest, ACriticalSheetGoesBeforeWaitingOnes)
{
    auto host = makeWindow();
    auto shown = makeWindow(80, 40), waiting = makeWindow(80, 40), critical = makeWindow(80, 40);
    std::vector<std::string> order;
    host->beginSheet(shown, [&](ModalResponse) { order.push_back("shown"); });
    host->beginSheet(waiting, [&](ModalResponse) { order.push_back("waiting"); });
    host->beginCriticalSheet(critical, [&](ModalResponse) { order.push_back("critical"); });
    while (auto sheet = host->attachedSheet())
        host->endSheet(sheet);
    EXPECT_EQ(order, (std::vector<std::string>{"shown", "critical", "waiting"}));
}

TEST_F(WindowTest, AHandlerMayBeginTheNextSheet)
{
    auto host = makeWindow();
    auto a = makeWindow(80, 40), b = makeWindow(80, 40);
    ModalResponse second = 99;
    host->beginSheet(a, [&](ModalResponse) { host->beginSheet(b, [&](ModalResponse r) { second = r; }); });
    host->endSheet(a, ModalResponseOK);
    EXPECT_EQ(host->attachedSheet(), b);
    host->endSheet(b, 7);
    EXPECT_EQ(second, 7);
}

TEST_F(WindowTest, ClosingAsksTheDelegateAndTellsObservers)
{
    struct Delegate : WindowDelegate {
        bool allow = false;
        int willClose = 0;
        std::shared_ptr<foundation::UndoManager> undo = foundation::UndoManager::init();
        bool windowShouldClose(Window&) override { return allow; }
        void windowWillClose(const foundation::Notification&) override { ++willClose; }
        std::shared_ptr<foundation::UndoManager> windowWillReturnUndoManager(Window&) override { return undo; }
    };
    auto w = makeWindow();
    auto d = std::make_shared<Delegate>();
    w->setDelegate(d);
    w->makeKeyAndOrderFront();
    int posted = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        NSWindowWillCloseNotification, foundation::identityOf(w.get()), nullptr, [&](const foundation::Notification&) { ++posted; });

    EXPECT_EQ(w->undoManager(), d->undo);
    w->standardWindowButton(WindowButton::closeButton)->performClick();
    EXPECT_TRUE(w->isVisible());
    d->allow = true;
    w->standardWindowButton(WindowButton::closeButton)->performClick();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(d->willClose, 1);
    EXPECT_EQ(posted, 1);
    EXPECT_FALSE(w->isKeyWindow());
}

TEST_F(WindowTest, TheKeyWindowPassesToTheWindowBehindWhenItCloses)
{
    auto back = makeWindow();
    auto front = makeWindow();
    back->makeKeyAndOrderFront();
    front->makeKeyAndOrderFront();
    EXPECT_TRUE(front->isKeyWindow());
    EXPECT_FALSE(back->isKeyWindow());
    front->close();
    EXPECT_TRUE(back->isKeyWindow());
    EXPECT_TRUE(back->isMainWindow());
}

TEST_F(WindowTest, ContentRectangleLeavesRoomForTheTitleBarUnlessContentIsFullSize)
{
    const Rect frame = Rect::make(0, 0, 100, 100);
    EXPECT_EQ(Window::contentRectForFrameRect(frame, WindowStyleMaskTitled).height(), 100 - Window::titleBarHeight());
    EXPECT_EQ(Window::contentRectForFrameRect(frame, WindowStyleMaskTitled | WindowStyleMaskFullSizeContentView), frame);
    EXPECT_EQ(Window::contentRectForFrameRect(frame, WindowStyleMaskBorderless), frame);
    auto w = makeWindow(300, 200);
    EXPECT_EQ(w->frame().height(), 200 + Window::titleBarHeight());
    EXPECT_EQ(w->contentView()->frame(), Rect::make(0, 0, 300, 200));
    EXPECT_NE(w->standardWindowButton(WindowButton::closeButton), nullptr);
    EXPECT_EQ(makeWindow(10, 10, WindowStyleMaskBorderless)->standardWindowButton(WindowButton::closeButton), nullptr);
}

TEST_F(WindowTest, TheTitleBarContainerHoldsTheButtonsAboveTheContentView)
{
    // What a window controller that fades the title bar looks for.
    auto w = makeWindow();
    auto close = w->standardWindowButton(WindowButton::closeButton);
    View* container = close->superview();
    while (container && container->superview() != w->contentView()->superview())
        container = container->superview();
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->frame().maxY(), w->frame().height());
    container->setAlphaValue(0);
    EXPECT_EQ(container->alphaValue(), 0);
}

// A window controller whose window comes from an interface file.
class ProbeWindowController : public WindowController {
public:
    static std::shared_ptr<ProbeWindowController> make()
    {
        return std::shared_ptr<ProbeWindowController>(new ProbeWindowController());
    }
    std::string windowNibName() const override { return "ProbeWindow"; }
    void windowWillLoad() override { log.push_back("willLoad"); }
    void windowDidLoad() override { log.push_back("didLoad:" + window()->title()); }
    std::vector<std::string> log;
};

class ProbeViewController : public ViewController {
public:
    static std::shared_ptr<ProbeViewController> make() { return std::shared_ptr<ProbeViewController>(new ProbeViewController()); }
    void viewDidLoad() override { log.push_back("didLoad"); }
    void viewWillAppear() override { log.push_back("willAppear"); }
    void viewDidAppear() override { log.push_back("didAppear"); }
    void viewWillDisappear() override { log.push_back("willDisappear"); }
    void viewDidDisappear() override { log.push_back("didDisappear"); }
    std::vector<std::string> log;
};

TEST_F(WindowTest, ControllersHearOfLoadingAppearingAndDisappearing)
{
    InterfaceRegistry::registerFile("ProbeWindow", [](InterfaceFile& file) {
        auto window = file.add(Window::initWithContentRect(Rect::make(0, 0, 200, 100), WindowStyleMaskTitled));
        window->setTitle("Probe");
        file.ownerAs<WindowController>()->setWindow(window);
    });
    auto controller = ProbeWindowController::make();
    EXPECT_FALSE(controller->isWindowLoaded());
    auto content = ProbeViewController::make();
    controller->showWindow(nullptr);
    controller->setContentViewController(content);
    EXPECT_EQ(controller->log, (std::vector<std::string>{"willLoad", "didLoad:Probe"}));
    EXPECT_TRUE(controller->window()->isVisible());
    EXPECT_EQ(controller->window()->windowController(), controller);
    controller->close();
    controller->showWindow(nullptr);
    controller->showWindow(nullptr); // already shown: no second appearance
    EXPECT_EQ(content->log, (std::vector<std::string>{"didLoad", "willAppear", "didAppear", "willDisappear",
                                                      "didDisappear", "willAppear", "didAppear"}));
}

TEST_F(WindowTest, ViewControllersNestAndDismissTheirSheets)
{
    auto parent = ProbeViewController::make();
    auto child = ProbeViewController::make();
    parent->addChildViewController(child);
    EXPECT_EQ(child->parentViewController(), parent);
    auto w = Window::windowWithContentViewController(parent);
    w->makeKeyAndOrderFront();
    EXPECT_EQ(child->log, (std::vector<std::string>{"didLoad", "willAppear", "didAppear"}));

    auto sheet = ProbeViewController::make();
    parent->presentViewControllerAsSheet(sheet);
    ASSERT_NE(w->attachedSheet(), nullptr);
    EXPECT_EQ(sheet->presentingViewController(), parent);
    sheet->dismissController(nullptr);
    EXPECT_EQ(w->attachedSheet(), nullptr);
    EXPECT_EQ(sheet->presentingViewController(), nullptr);

    child->removeFromParentViewController();
    EXPECT_EQ(child->parentViewController(), nullptr);
    EXPECT_TRUE(parent->childViewControllers().empty());
}

TEST_F(WindowTest, InitialFirstResponderAndTheKeyLoop)
{
    struct Field : View {
        explicit Field(const Rect& r) : View(r) { }
        bool acceptsFirstResponder() const override { return true; }
    };
    auto w = makeWindow();
    auto a = std::make_shared<Field>(Rect::make(0, 0, 10, 10));
    auto b = std::make_shared<Field>(Rect::make(20, 0, 10, 10));
    w->contentView()->addSubview(a);
    w->contentView()->addSubview(b);
    w->setInitialFirstResponder(b);
    w->makeKeyAndOrderFront();
    EXPECT_EQ(w->firstResponder(), b);
    EXPECT_EQ(a->nextValidKeyView(), b);
    EXPECT_EQ(b->nextValidKeyView(), a); // the loop wraps
    b->setHidden(true);
    EXPECT_EQ(a->nextValidKeyView(), nullptr);
}

} // namespace
