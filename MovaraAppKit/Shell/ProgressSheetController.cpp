#include "MovaraAppKit/Shell/ProgressSheetController.h"

#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ProgressIndicator.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"

namespace {

using graphics::Rect;

// The interface file: a 420 by 128 sheet, caption on top, the bar, the detail line under it
// and the cancel button at the bottom right.
void buildProgressSheet(ui::InterfaceFile& file)
{
    auto owner = file.ownerAs<ProgressSheetController>();
    if (!owner)
        foundation::fatal("ProgressSheet: the file's owner is not a ProgressSheetController.");

    auto window = file.add(ui::Window::initWithContentRect(Rect::make(0, 0, 420, 128), ui::WindowStyleMaskTitled | ui::WindowStyleMaskDocModalWindow));
    auto content = window->contentView();

    auto caption = ui::TextField::labelWithString("");
    caption->setFrame(Rect::make(20, 92, 380, 17));
    caption->bind(ui::NSValueBinding, owner, "caption");

    auto bar = ui::ProgressIndicator::initWithFrame(Rect::make(20, 64, 380, 20));
    bar->bind("value", owner, "doubleValue");
    bar->bind("minValue", owner, "minValue");
    bar->bind("maxValue", owner, "maxValue");
    bar->bind("isIndeterminate", owner, "indeterminate");

    auto detail = ui::TextField::labelWithString("");
    detail->setFrame(Rect::make(20, 42, 380, 14));
    detail->bind(ui::NSValueBinding, owner, "detail");

    auto cancel = ui::Button::buttonWithTitle(foundation::localized("Cancel", "button title", mvr_movaraAppKitBundle()), owner, "cancelSheet:");
    cancel->setFrame(Rect::make(316, 10, 84, 28));
    cancel->setKeyEquivalent("\x1b");

    for (const auto& view : std::initializer_list<ui::ViewPtr> {caption, bar, detail, cancel})
        content->addSubview(file.wake(view));

    owner->setCancelButton(cancel);
    owner->setWindow(window);
}

const bool registered = [] {
    ui::InterfaceRegistry::registerFile("ProgressSheet", buildProgressSheet);
    return true;
}();

} // namespace

std::shared_ptr<ProgressSheetController> ProgressSheetController::init()
{
    return std::shared_ptr<ProgressSheetController>(new ProgressSheetController());
}

void ProgressSheetController::windowDidLoad()
{
    SheetController::windowDidLoad();
    reset();
}

void ProgressSheetController::reset()
{
    setCaption("");
    setDetail("");
    setDoubleValue(0);
    setMinValue(0);
    setMaxValue(1.0);
    setIndeterminate(false);
    auto button = cancelButton();
    if (!button)
        foundation::fatal("ProgressSheetController: the cancel button outlet is not connected.");
    button->setEnabled(false);
    button->setHidden(true);
}

template <class T> void ProgressSheetController::change(const char* key, T& field, T value)
{
    willChange(key);
    field = std::move(value);
    didChange(key);
}

void ProgressSheetController::setCaption(std::string caption) { change("caption", m_caption, std::move(caption)); }
void ProgressSheetController::setDetail(std::string detail) { change("detail", m_detail, std::move(detail)); }
void ProgressSheetController::setDoubleValue(double value) { change("doubleValue", m_doubleValue, value); }
void ProgressSheetController::setMinValue(double value) { change("minValue", m_minValue, value); }
void ProgressSheetController::setMaxValue(double value) { change("maxValue", m_maxValue, value); }
void ProgressSheetController::setIndeterminate(bool value) { change("indeterminate", m_indeterminate, value); }

const foundation::KeyTable& ProgressSheetController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("caption", &ProgressSheetController::caption, &ProgressSheetController::setCaption)
            .key("detail", &ProgressSheetController::detail, &ProgressSheetController::setDetail)
            .key("doubleValue", &ProgressSheetController::doubleValue, &ProgressSheetController::setDoubleValue)
            .key("minValue", &ProgressSheetController::minValue, &ProgressSheetController::setMinValue)
            .key("maxValue", &ProgressSheetController::maxValue, &ProgressSheetController::setMaxValue)
            .key("indeterminate", &ProgressSheetController::indeterminate, &ProgressSheetController::setIndeterminate);
        return t;
    }();
    return table;
}
