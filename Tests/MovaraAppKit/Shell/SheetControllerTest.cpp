#include <gtest/gtest.h>

#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "MovaraAppKit/Shell/ProgressSheetController.h"
#include "MovaraAppKit/Shell/SheetController.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ProgressIndicator.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"

namespace {

using graphics::Rect;

class Person : public foundation::Observable {
public:
    const std::string& name() const { return m_name; }
    void setName(std::string name)
    {
        willChange("name");
        m_name = std::move(name);
        didChange("name");
    }
    const foundation::KeyTable& observableKeys() const override
    {
        static const foundation::KeyTable table = foundation::KeyTable().key("name", &Person::name, &Person::setName);
        return table;
    }

private:
    std::string m_name = "Ada";
};

// A sheet with one text field bound to a person's name.
struct NameSheet {
    NameSheet()
    {
        host = ui::Window::initWithContentRect(Rect::make(0, 0, 500, 400), ui::WindowStyleMaskTitled);
        host->makeKeyAndOrderFront();
        auto window = ui::Window::initWithContentRect(Rect::make(0, 0, 300, 100), ui::WindowStyleMaskTitled);
        field = ui::TextField::textFieldWithString("");
        field->setFrame(Rect::make(20, 40, 260, 22));
        window->contentView()->addSubview(field);
        field->bind(ui::NSValueBinding, person, "name");
        controller = SheetController::initWithWindow(window);
        controller->setWindowForSheet(host);
    }

    // Begins the sheet and types into the field without finishing the edit.
    void beginAndType(const std::string& text)
    {
        controller->beginSheetWithCompletionHandler([this](ui::ModalResponse code) { codes.push_back(code); });
        ASSERT_TRUE(controller->window()->makeFirstResponder(field));
        ASSERT_TRUE(field->replaceText(text));
        ASSERT_TRUE(field->isEditing());
    }

    std::shared_ptr<Person> person = std::make_shared<Person>();
    ui::WindowPtr host;
    std::shared_ptr<ui::TextField> field;
    std::shared_ptr<SheetController> controller;
    std::vector<ui::ModalResponse> codes;
};

TEST(SheetController, OkCommitsTheFieldBeingEditedThenEndsWithOK)
{
    NameSheet sheet;
    sheet.beginAndType("Grace");
    EXPECT_TRUE(sheet.controller->sheetIsVisble());
    EXPECT_EQ(sheet.host->attachedSheet(), sheet.controller->window());

    EXPECT_TRUE(sheet.controller->performAction("ok:", nullptr));

    EXPECT_EQ(sheet.person->name(), "Grace");
    EXPECT_EQ(sheet.codes, std::vector<ui::ModalResponse> {ui::ModalResponseOK});
    EXPECT_FALSE(sheet.controller->sheetIsVisble());
    EXPECT_EQ(sheet.host->attachedSheet(), nullptr);
}

TEST(SheetController, CancelEndsWithCancelAndLeavesTheEditUncommitted)
{
    NameSheet sheet;
    sheet.beginAndType("Grace");
    EXPECT_TRUE(sheet.controller->performAction("cancelSheet:", nullptr));
    EXPECT_EQ(sheet.person->name(), "Ada");
    EXPECT_EQ(sheet.codes, std::vector<ui::ModalResponse> {ui::ModalResponseCancel});
}

TEST(SheetController, EndsWithTheOwnersCodeAndCanBeBegunAgain)
{
    NameSheet sheet;
    sheet.controller->beginSheetWithCompletionHandler([&](ui::ModalResponse code) { sheet.codes.push_back(code); });
    sheet.controller->endSheetWithReturnCode(42);
    sheet.controller->beginSheetWithCompletionHandler([&](ui::ModalResponse code) { sheet.codes.push_back(code); });
    EXPECT_TRUE(sheet.controller->sheetIsVisble());
    sheet.controller->endSheet();
    EXPECT_EQ(sheet.codes, (std::vector<ui::ModalResponse> {42, ui::ModalResponseOK}));
}

TEST(SheetController, BeginSheetActionReachesASubclassOverride)
{
    struct Counting : SheetController {
        int begun = 0;
        void beginSheetWithCompletionHandler(CompletionHandler handler) override
        {
            ++begun;
            SheetController::beginSheetWithCompletionHandler(std::move(handler));
        }
    };
    auto host = ui::Window::initWithContentRect(Rect::make(0, 0, 400, 300), ui::WindowStyleMaskTitled);
    auto controller = std::make_shared<Counting>();
    controller->setWindow(ui::Window::initWithContentRect(Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled));
    controller->setWindowForSheet(host);

    EXPECT_TRUE(controller->performAction("beginSheet:", nullptr));
    EXPECT_EQ(controller->begun, 1);
    EXPECT_EQ(host->attachedSheet(), controller->window());
}

TEST(SheetController, VisibilityOfAnUnloadedSheetDoesNotLoadIt)
{
    int loads = 0;
    ui::InterfaceRegistry::registerFile("CountedSheet", [&](ui::InterfaceFile& file) {
        ++loads;
        file.ownerAs<ui::WindowController>()->setWindow(
            file.add(ui::Window::initWithContentRect(Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled)));
    });
    auto controller = SheetController::initWithWindowNibName("CountedSheet");
    EXPECT_FALSE(controller->sheetIsVisble());
    commitEdits(*controller);
    EXPECT_EQ(loads, 0);
    EXPECT_FALSE(controller->isWindowLoaded());
}

TEST(SheetController, BeginningOrEndingWithoutAHostOrAWindowStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto noHost = SheetController::initWithWindow(ui::Window::initWithContentRect(Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled));
    EXPECT_DEATH(noHost->beginSheet(), "without a window for the sheet");
    EXPECT_DEATH(noHost->endSheet(), "without a window for the sheet");

    auto host = ui::Window::initWithContentRect(Rect::make(0, 0, 400, 300), ui::WindowStyleMaskTitled);
    auto noWindow = SheetController::initWithWindow(nullptr);
    noWindow->setWindowForSheet(host);
    EXPECT_DEATH(noWindow->beginSheet(), "has no window");
}

TEST(SheetController, HostIsHeldWeakly)
{
    auto controller = SheetController::initWithWindow(ui::Window::initWithContentRect(Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled));
    auto host = ui::Window::initWithContentRect(Rect::make(0, 0, 400, 300), ui::WindowStyleMaskTitled);
    controller->setWindowForSheet(host);
    std::weak_ptr<ui::Window> weak = host;
    host.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(controller->windowForSheet(), nullptr);
}

TEST(ProgressSheetController, AFreshlyLoadedSheetIsEmptyDeterminateAndWithoutCancel)
{
    auto controller = ProgressSheetController::init();
    controller->setCaption("left over");
    controller->setDoubleValue(0.7);
    controller->setIndeterminate(true);

    auto window = controller->window();
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(controller->caption(), "");
    EXPECT_EQ(controller->detail(), "");
    EXPECT_EQ(controller->doubleValue(), 0);
    EXPECT_EQ(controller->minValue(), 0);
    EXPECT_EQ(controller->maxValue(), 1.0);
    EXPECT_FALSE(controller->indeterminate());
    ASSERT_NE(controller->cancelButton(), nullptr);
    EXPECT_TRUE(controller->cancelButton()->isHidden());
    EXPECT_FALSE(controller->cancelButton()->isEnabled());

    // What the window shows follows the properties.
    std::shared_ptr<ui::ProgressIndicator> bar;
    std::vector<std::shared_ptr<ui::TextField>> labels;
    for (const auto& view : window->contentView()->subviews()) {
        if (auto b = std::dynamic_pointer_cast<ui::ProgressIndicator>(view))
            bar = b;
        else if (auto t = std::dynamic_pointer_cast<ui::TextField>(view))
            labels.push_back(t);
    }
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isIndeterminate());
    EXPECT_EQ(bar->minValue(), 0);
    EXPECT_EQ(bar->maxValue(), 1.0);
    controller->setDoubleValue(0.25);
    controller->setCaption("Exporting");
    controller->setDetail("Frame 3 of 12");
    EXPECT_DOUBLE_EQ(bar->doubleValue(), 0.25);
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels[0]->stringValue(), "Exporting");
    EXPECT_EQ(labels[1]->stringValue(), "Frame 3 of 12");
}

TEST(ProgressSheetController, ResettingWithoutACancelButtonStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ui::InterfaceRegistry::registerFile("ProgressSheetWithoutCancel", [](ui::InterfaceFile& file) {
        file.ownerAs<ui::WindowController>()->setWindow(
            file.add(ui::Window::initWithContentRect(Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled)));
    });
    struct Broken : ProgressSheetController {
        std::string windowNibName() const override { return "ProgressSheetWithoutCancel"; }
    };
    auto controller = std::make_shared<Broken>();
    EXPECT_DEATH(controller->window(), "cancel button outlet is not connected");
}

TEST(ViewControllerEditing, RootIsTheFarthestParentAndNoneWithoutOne)
{
    auto top = ui::ViewController::init();
    auto middle = ui::ViewController::init();
    auto leaf = ui::ViewController::init();
    top->addChildViewController(middle);
    middle->addChildViewController(leaf);

    EXPECT_EQ(rootViewController(*leaf), top);
    EXPECT_EQ(rootViewController(*middle), top);
    EXPECT_EQ(rootViewController(*top), nullptr);
    dismissRootViewController(*top, nullptr); // nothing to dismiss, nothing happens
}

TEST(ViewControllerEditing, FirstKeyViewAndCommitWorkInTheViewsWindow)
{
    auto person = std::make_shared<Person>();
    auto controller = ui::ViewController::init();
    auto view = ui::View::initWithFrame(Rect::make(0, 0, 300, 100));
    auto field = ui::TextField::textFieldWithString("");
    view->addSubview(field);
    view->setNextKeyView(field);
    field->bind(ui::NSValueBinding, person, "name");
    controller->setView(view);

    goToFirstKeyView(*controller); // not in a window yet: nothing happens
    auto window = ui::Window::initWithContentRect(Rect::make(0, 0, 300, 100), ui::WindowStyleMaskTitled);
    window->setContentView(view);
    goToFirstKeyView(*controller);
    EXPECT_EQ(window->firstResponder(), field);

    ASSERT_TRUE(field->replaceText("Grace"));
    commitEdits(*controller);
    EXPECT_EQ(person->name(), "Grace");
    EXPECT_FALSE(field->isEditing());
}

} // namespace
