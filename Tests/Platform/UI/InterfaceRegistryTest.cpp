// Interface files and storyboards: builders make objects, connect outlets to the owner, and
// every object is woken once everything is connected.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/UI/Button.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/WindowController.h"
#include "Tests/Platform/UI/UITestSupport.h"

using graphics::Rect;
using namespace ui;

namespace {

std::vector<std::string> wakeLog;

// A view that checks, when woken, that its outlet was already connected.
class OutletView : public View {
public:
    static std::shared_ptr<OutletView> make() { return std::shared_ptr<OutletView>(new OutletView()); }
    void awakeFromNib() override
    {
        wakeLog.push_back(partner.lock() ? "view: connected" : "view: not connected");
        registerForDraggedTypes({"public.file-url"});
    }
    std::weak_ptr<Button> partner;

private:
    OutletView() : View(Rect::make(0, 0, 100, 100)) { }
};

class MainWindowController : public WindowController {
public:
    static std::shared_ptr<MainWindowController> make()
    {
        return std::shared_ptr<MainWindowController>(new MainWindowController());
    }
    std::string windowNibName() const override { return "TestMainWindow"; }
    void awakeFromNib() override { wakeLog.push_back("controller"); }
    std::weak_ptr<Button> exportButton;
    std::weak_ptr<OutletView> dropView;
};

class InterfaceRegistryTest : public uitest::UITest {
protected:
    void SetUp() override
    {
        UITest::SetUp();
        wakeLog.clear();
        InterfaceRegistry::registerFile("TestMainWindow", [](InterfaceFile& file) {
            auto owner = file.ownerAs<MainWindowController>();
            auto window = file.add(Window::initWithContentRect(Rect::make(0, 0, 400, 300), WindowStyleMaskTitled));
            auto drop = file.wake(OutletView::make());
            auto button = file.wake(Button::buttonWithTitle("Export", nullptr, "export:"));
            window->contentView()->addSubview(drop);
            window->contentView()->addSubview(button);
            drop->partner = button;
            if (owner) {
                owner->exportButton = button;
                owner->dropView = drop;
                owner->setWindow(window);
            }
        });
    }
};

TEST_F(InterfaceRegistryTest, LoadingConnectsOutletsBeforeWakingAnything)
{
    auto controller = MainWindowController::make();
    auto window = controller->window();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(controller->exportButton.lock(), nullptr);
    EXPECT_EQ(controller->exportButton.lock()->title(), "Export");
    EXPECT_EQ(controller->dropView.lock()->window(), window.get());
    EXPECT_EQ(wakeLog, (std::vector<std::string>{"view: connected"}));
    EXPECT_EQ(controller->dropView.lock()->registeredDraggedTypes(), (std::vector<std::string>{"public.file-url"}));
}

TEST_F(InterfaceRegistryTest, TopLevelObjectsComeBackAndUnknownFilesAreAnError)
{
    auto objects = InterfaceRegistry::loadFile("TestMainWindow", nullptr);
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 1u);
    EXPECT_NE(std::dynamic_pointer_cast<Window>(objects->front()), nullptr);

    foundation::ErrorPtr error;
    EXPECT_FALSE(InterfaceRegistry::loadFile("NoSuchFile", nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("NoSuchFile"), std::string::npos);
}

TEST_F(InterfaceRegistryTest, StoryboardsMakeANewControllerPerRequest)
{
    InterfaceRegistry::registerScene("Onboarding", "OnboardingWindowController", [](InterfaceFile& file) {
        auto controller = MainWindowController::make();
        auto window = file.add(Window::initWithContentRect(Rect::make(0, 0, 200, 100), WindowStyleMaskTitled));
        window->setTitle("Welcome");
        controller->setWindow(window);
        return controller;
    }, true);
    auto storyboard = Storyboard::storyboardWithName("Onboarding");
    ASSERT_NE(storyboard, nullptr);
    auto a = storyboard->instantiateControllerWithIdentifierAs<WindowController>("OnboardingWindowController");
    auto b = storyboard->instantiateInitialController();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->window()->title(), "Welcome");
    EXPECT_EQ(wakeLog, (std::vector<std::string>{"controller", "controller"}));
    EXPECT_EQ(storyboard->instantiateControllerWithIdentifier("Missing"), nullptr);
    EXPECT_EQ(Storyboard::storyboardWithName("NoStoryboard"), nullptr);
}

} // namespace
