// Target/action, the responder chain, buttons, sliders, text fields with formatters, and
// bindings of control values to observed properties.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Formatter.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/Pasteboard.h"
#include "Platform/UI/Slider.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/WindowController.h"
#include "Tests/Platform/UI/UITestSupport.h"

using graphics::Rect;
using namespace ui;

namespace {

// Something with actions that counts what it receives.
class Target : public Responder {
public:
    static std::shared_ptr<Target> make(std::vector<std::string>* log, std::string name)
    {
        auto t = std::shared_ptr<Target>(new Target());
        t->registerAction("go:", [t = t.get(), log, name](Object* sender) {
            log->push_back(name);
            t->lastSender = sender;
        });
        return t;
    }
    bool acceptsFirstResponder() const override { return acceptsFocus; }
    Object* lastSender = nullptr;
    bool acceptsFocus = false;

private:
    Target() = default;
};

class Settings : public foundation::Observable {
public:
    double volume() const { return m_volume; }
    void setVolume(double v)
    {
        willChange("volume");
        m_volume = v;
        didChange("volume");
    }
    std::string name() const { return m_name; }
    void setName(std::string n)
    {
        willChange("name");
        m_name = std::move(n);
        didChange("name");
    }
    long mute() const { return m_mute; }
    void setMute(long m)
    {
        willChange("mute");
        m_mute = m;
        didChange("mute");
    }
    const foundation::KeyTable& observableKeys() const override
    {
        static const foundation::KeyTable table = foundation::KeyTable()
                                                      .key("volume", &Settings::volume, &Settings::setVolume)
                                                      .key("name", &Settings::name, &Settings::setName)
                                                      .key("mute", &Settings::mute, &Settings::setMute);
        return table;
    }

private:
    double m_volume = 0.25;
    std::string m_name = "first";
    long m_mute = 0;
};

// Accepts at most `max` digits.
class DigitsFormatter : public Formatter {
public:
    explicit DigitsFormatter(size_t max) : m_max(max) { }
    std::optional<std::string> stringForObjectValue(const std::any& value) const override
    {
        bool ok = false;
        const double d = foundation::detail::anyToDouble(value, ok);
        if (!ok)
            return std::nullopt;
        return std::to_string(static_cast<long long>(d));
    }
    bool getObjectValue(std::any* value, const std::string& s, std::string* error) const override
    {
        if (s.empty()) {
            if (error)
                *error = "empty";
            return false;
        }
        *value = std::stoll(s);
        return true;
    }
    bool isPartialStringValid(const std::string& partial, std::string*, std::string*) const override
    {
        return partial.size() <= m_max && partial.find_first_not_of("0123456789") == std::string::npos;
    }

private:
    size_t m_max;
};

class ControlTest : public uitest::UITest { };

TEST_F(ControlTest, ActionsGoToTheTargetOrAlongTheResponderChain)
{
    std::vector<std::string> log;
    auto w = makeWindow();
    auto button = Button::buttonWithTitle("Go", nullptr, "go:");
    w->contentView()->addSubview(button);
    w->makeKeyAndOrderFront();

    // Nobody answers yet.
    EXPECT_FALSE(button->sendAction());

    struct AppDelegate : ApplicationDelegate, Object { };
    auto delegate = std::make_shared<AppDelegate>();
    delegate->registerAction("go:", [&](Object*) { log.push_back("app delegate"); });
    Application::shared()->setDelegate(delegate);
    EXPECT_TRUE(button->sendAction());

    auto controller = WindowController::initWithWindow(w);
    controller->registerAction("go:", [&](Object*) { log.push_back("window controller"); });
    EXPECT_TRUE(button->sendAction());

    // A first responder inside the window comes before the controller.
    auto first = Target::make(&log, "first responder");
    first->acceptsFocus = true;
    first->setNextResponder(w);
    ASSERT_TRUE(w->makeFirstResponder(first));
    EXPECT_TRUE(button->sendAction());
    w->makeFirstResponder(nullptr);

    auto explicitTarget = Target::make(&log, "target");
    button->setTarget(explicitTarget);
    EXPECT_TRUE(button->sendAction());
    EXPECT_EQ(explicitTarget->lastSender, button.get());

    int blockCalls = 0;
    button->setActionBlock([&](Control& sender) { blockCalls += sender.tag() == 0; });
    EXPECT_TRUE(button->sendAction());
    EXPECT_EQ(blockCalls, 1);

    EXPECT_EQ(log, (std::vector<std::string>{"app delegate", "window controller", "first responder", "target"}));
    // The target is held weakly: once gone, the action finds nobody named by it.
    button->setActionBlock(nullptr);
    explicitTarget.reset();
    EXPECT_TRUE(button->sendAction()); // falls back to the chain (window controller)
}

TEST_F(ControlTest, ButtonKindsSwitchStateOnClickAndDisabledButtonsDoNothing)
{
    struct Case {
        ButtonType type;
        bool allowsMixed;
        std::vector<ControlStateValue> states; // after each of three clicks
    };
    const Case cases[] = {
        {ButtonType::momentaryPushIn, false, {0, 0, 0}},
        {ButtonType::switchButton, false, {1, 0, 1}},
        {ButtonType::switchButton, true, {1, -1, 0}},
        {ButtonType::radio, false, {1, 1, 1}},
        {ButtonType::toggle, false, {1, 0, 1}},
    };
    for (const auto& c : cases) {
        auto b = Button::initWithFrame(Rect::make(0, 0, 80, 20));
        b->setButtonType(c.type);
        b->setAllowsMixedState(c.allowsMixed);
        int actions = 0;
        b->setActionBlock([&](Control&) { ++actions; });
        for (size_t i = 0; i < 3; ++i) {
            b->performClick();
            EXPECT_EQ(b->state(), c.states[i]) << static_cast<int>(c.type) << " click " << i;
        }
        EXPECT_EQ(actions, 3);
        b->setEnabled(false);
        b->performClick();
        EXPECT_EQ(actions, 3);
    }
}

TEST_F(ControlTest, AMouseReleasedOutsideTheButtonCancelsTheClick)
{
    auto w = makeWindow();
    auto b = Button::initWithFrame(Rect::make(10, 10, 80, 30));
    int actions = 0;
    b->setActionBlock([&](Control&) { ++actions; });
    w->contentView()->addSubview(b);
    mouse(w, EventType::leftMouseDown, 20, 20);
    EXPECT_TRUE(b->isHighlighted());
    mouse(w, EventType::leftMouseDragged, 200, 150);
    EXPECT_FALSE(b->isHighlighted());
    mouse(w, EventType::leftMouseUp, 200, 150);
    EXPECT_EQ(actions, 0);
    click(w, 20, 20);
    EXPECT_EQ(actions, 1);
}

TEST_F(ControlTest, ReturnAndEscapePressTheDefaultAndCancelButtons)
{
    auto w = makeWindow();
    std::vector<std::string> pressed;
    auto ok = Button::buttonWithTitle("OK", nullptr, "");
    ok->setKeyEquivalent(kReturnKey);
    ok->setActionBlock([&](Control&) { pressed.push_back("ok"); });
    auto cancel = Button::buttonWithTitle("Cancel", nullptr, "");
    cancel->setKeyEquivalent(kEscapeKey);
    cancel->setActionBlock([&](Control&) { pressed.push_back("cancel"); });
    w->contentView()->addSubview(ok);
    w->contentView()->addSubview(cancel);
    key(w, kReturnKey);
    key(w, kEscapeKey);
    key(w, "r", EventModifierFlagCommand); // no button has it
    ok->setHidden(true);
    key(w, kReturnKey); // a hidden button is not pressed
    EXPECT_EQ(pressed, (std::vector<std::string>{"ok", "cancel"}));
}

TEST_F(ControlTest, SliderKeepsItsValueInRangeAndOnTickMarks)
{
    auto s = Slider::sliderWithValue(5, 0, 10, nullptr, "");
    s->setDoubleValue(12);
    EXPECT_EQ(s->doubleValue(), 10);
    s->setDoubleValue(-3);
    EXPECT_EQ(s->doubleValue(), 0);
    s->setNumberOfTickMarks(5);
    EXPECT_EQ(s->tickMarkValueAtIndex(1), 2.5);
    s->setAllowsTickMarkValuesOnly(true);
    s->setDoubleValue(3.9);
    EXPECT_EQ(s->doubleValue(), 5);
    s->setMaxValue(4);
    EXPECT_LE(s->doubleValue(), 4);
}

TEST_F(ControlTest, DraggingASliderSendsActionsAndWritesThroughItsBinding)
{
    auto model = std::make_shared<Settings>();
    auto w = makeWindow(216, 40);
    auto s = Slider::initWithFrame(Rect::make(0, 0, 216, 20)); // 200 points of travel
    w->contentView()->addSubview(s);
    s->bind(NSValueBinding, model, "volume");
    EXPECT_EQ(s->doubleValue(), 0.25); // the model's value shows at once

    int actions = 0;
    s->setActionBlock([&](Control&) { ++actions; });
    mouse(w, EventType::leftMouseDown, 8 + 100, 10);
    mouse(w, EventType::leftMouseDragged, 8 + 150, 10);
    EXPECT_EQ(actions, 0); // not continuous: reported when let go
    mouse(w, EventType::leftMouseUp, 8 + 150, 10);
    EXPECT_EQ(actions, 1);
    EXPECT_DOUBLE_EQ(model->volume(), 0.75);

    s->setContinuous(true);
    mouse(w, EventType::leftMouseDown, 8 + 20, 10);
    mouse(w, EventType::leftMouseDragged, 8 + 40, 10);
    EXPECT_EQ(actions, 3);
    EXPECT_DOUBLE_EQ(model->volume(), 0.2);
    mouse(w, EventType::leftMouseUp, 8 + 40, 10);
    // And the model's own changes reach the slider.
    model->setVolume(0.5);
    EXPECT_EQ(s->doubleValue(), 0.5);
    s->unbind(NSValueBinding);
    model->setVolume(0.1);
    EXPECT_EQ(s->doubleValue(), 0.5);
}

TEST_F(ControlTest, CheckboxStateFollowsItsBindingBothWays)
{
    auto model = std::make_shared<Settings>();
    auto box = Button::checkboxWithTitle("Mute", nullptr, "");
    box->bind(NSValueBinding, model, "mute");
    EXPECT_EQ(box->state(), ControlStateValueOff);
    box->performClick();
    EXPECT_EQ(model->mute(), 1);
    model->setMute(0);
    EXPECT_EQ(box->state(), ControlStateValueOff);
}

TEST_F(ControlTest, TypingIsCheckedByTheFormatterAndCommittedWhenEditingEnds)
{
    auto model = std::make_shared<Settings>();
    auto w = makeWindow();
    auto field = TextField::textFieldWithString("");
    auto other = TextField::textFieldWithString("");
    field->setFormatter(std::make_shared<DigitsFormatter>(3));
    field->setFrameOrigin({10, 10});
    other->setFrameOrigin({10, 100});
    w->contentView()->addSubview(field);
    w->contentView()->addSubview(other);
    model->setVolume(7);
    field->bind(NSValueBinding, model, "volume");
    EXPECT_EQ(field->stringValue(), "7");
    int actions = 0;
    field->setActionBlock([&](Control&) { ++actions; });

    click(w, 20, 15);
    ASSERT_TRUE(field->isEditing());
    const long beeps = Application::shared()->beepCount();
    key(w, kDeleteBackwardKey);
    key(w, "1");
    key(w, "x"); // refused
    key(w, "2");
    key(w, "3");
    key(w, "4"); // too long: refused
    EXPECT_EQ(field->currentText(), "123");
    EXPECT_EQ(Application::shared()->beepCount(), beeps + 2);
    EXPECT_DOUBLE_EQ(model->volume(), 7); // nothing committed yet

    // Moving on commits the text through the formatter to the model, and sends the action.
    click(w, 20, 105);
    EXPECT_FALSE(field->isEditing());
    EXPECT_DOUBLE_EQ(model->volume(), 123);
    EXPECT_EQ(actions, 1);

    // Text the formatter cannot read keeps the focus and the model as it was.
    click(w, 20, 15);
    key(w, kDeleteBackwardKey);
    key(w, kDeleteBackwardKey);
    key(w, kDeleteBackwardKey);
    EXPECT_FALSE(w->makeFirstResponder(other));
    EXPECT_TRUE(field->isEditing());
    EXPECT_DOUBLE_EQ(model->volume(), 123);

    // Escape gives up the edit; Return commits and reports.
    key(w, "9");
    key(w, kEscapeKey);
    EXPECT_EQ(field->currentText(), "123");
    key(w, kDeleteBackwardKey);
    key(w, "9");
    key(w, kReturnKey);
    EXPECT_DOUBLE_EQ(model->volume(), 129);
    EXPECT_EQ(actions, 2);
}

TEST_F(ControlTest, CommittingEditsByClearingTheFirstResponder)
{
    auto model = std::make_shared<Settings>();
    auto w = makeWindow();
    auto field = TextField::textFieldWithString("");
    w->contentView()->addSubview(field);
    field->bind(NSValueBinding, model, "name");
    EXPECT_EQ(field->stringValue(), "first");
    ASSERT_TRUE(w->makeFirstResponder(field));
    key(w, "!");
    EXPECT_EQ(model->name(), "first");
    EXPECT_TRUE(w->makeFirstResponder(nullptr));
    EXPECT_EQ(model->name(), "first!");
    EXPECT_EQ(w->firstResponder().get(), w.get());
}

TEST_F(ControlTest, LabelsAndSecureFieldsShowTheirText)
{
    auto label = TextField::labelWithString("Hello");
    EXPECT_FALSE(label->isEditable());
    EXPECT_FALSE(label->acceptsFirstResponder());
    EXPECT_GT(label->frame().width(), 20);
    auto secure = SecureTextField::initWithFrame(Rect::make(0, 0, 100, 22));
    secure->setStringValue("pässword");
    EXPECT_EQ(secure->stringValue(), "pässword");
    EXPECT_EQ(secure->cell()->attributedStringValue().string(), "\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022");
}

} // namespace

TEST_F(ControlTest, CutCopyAndPasteOfAFieldGoThroughTheGeneralPasteboard)
{
    auto menu = Menu::initWithTitle("Main");
    auto edit = MenuItem::initWithTitle("Edit");
    edit->setSubmenu(Menu::initWithTitle("Edit"));
    menu->addItem(edit);
    auto cut = edit->submenu()->addItemWithTitle("Cut", "cut:", "x");
    auto copy = edit->submenu()->addItemWithTitle("Copy", "copy:", "c");
    auto paste = edit->submenu()->addItemWithTitle("Paste", "paste:", "v");
    Application::shared()->setMainMenu(menu);
    auto pasteboard = Pasteboard::generalPasteboard();
    pasteboard->clearContents();

    auto w = makeWindow();
    auto field = TextField::textFieldWithString("125");
    field->setFormatter(std::make_shared<DigitsFormatter>(6));
    field->setFrameOrigin({10, 10});
    auto secret = SecureTextField::initWithFrame(Rect::make(10, 100, 100, 22));
    secret->setStringValue("hunter2");
    w->contentView()->addSubview(field);
    w->contentView()->addSubview(secret);
    w->makeKeyAndOrderFront();

    // Nothing being edited: nothing to cut, copy or paste into.
    menu->update();
    EXPECT_FALSE(copy->isEnabled());
    EXPECT_FALSE(paste->isEnabled());

    click(w, 20, 15);
    ASSERT_TRUE(field->isEditing());
    menu->update();
    EXPECT_TRUE(copy->isEnabled());
    EXPECT_TRUE(cut->isEnabled());
    EXPECT_FALSE(paste->isEnabled()) << "the pasteboard holds no text";
    key(w, "c", EventModifierFlagCommand);
    EXPECT_EQ(pasteboard->stringForType(NSPasteboardTypeString), "125");
    key(w, "x", EventModifierFlagCommand);
    EXPECT_EQ(field->currentText(), "");
    // Pasted text goes through the formatter as typing does: a line break becomes a space,
    // which it then refuses.
    pasteboard->clearContents();
    pasteboard->setStringForType("42", NSPasteboardTypeString);
    menu->update();
    EXPECT_TRUE(paste->isEnabled());
    key(w, "v", EventModifierFlagCommand);
    key(w, "v", EventModifierFlagCommand);
    EXPECT_EQ(field->currentText(), "4242");
    pasteboard->setStringForType("1\n2", NSPasteboardTypeString);
    key(w, "v", EventModifierFlagCommand);
    EXPECT_EQ(field->currentText(), "4242");

    // A password is never copied out of its field.
    click(w, 20, 105);
    ASSERT_TRUE(secret->isEditing());
    menu->update();
    EXPECT_FALSE(copy->isEnabled());
    EXPECT_FALSE(cut->isEnabled());
    key(w, "c", EventModifierFlagCommand);
    EXPECT_EQ(pasteboard->stringForType(NSPasteboardTypeString), "1\n2");
}
