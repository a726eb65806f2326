// The interface files "MainWindow" and "ExportSettings": the main window with its three
// content views, its preview and settings sheet, and the export settings sheet.
#include <initializer_list>
#include <string>

#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/PopUpButton.h"
#include "Platform/UI/ProgressIndicator.h"
#include "Platform/UI/Slider.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/Window.h"
#include "Quintor/BigFlatButtonCell.h"
#include "Quintor/DropTargetViews.h"
#include "Quintor/DurationFormatter.h"
#include "Quintor/ExportSettingsController.h"
#include "Quintor/FlipBookView.h"
#include "Quintor/MainWindowController.h"

namespace {

using graphics::Rect;

constexpr double kWidth = 720;
constexpr double kHeight = 480;

// A default button that leaves Return to a text field of its window being edited: there
// Return only enters what was typed (the rate, the duration) and must not start an export.
class FieldRespectingDefaultButton : public ui::Button {
public:
    static ui::ButtonPtr make() { return ui::ButtonPtr(new FieldRespectingDefaultButton()); }

    bool performKeyEquivalent(const ui::Event& event) override
    {
        if (event.characters() == ui::kReturnKey && window()) {
            if (auto field = std::dynamic_pointer_cast<ui::TextField>(window()->firstResponder()); field && field->isEditing())
                return false;
        }
        return ui::Button::performKeyEquivalent(event);
    }

private:
    FieldRespectingDefaultButton()
        : ui::Button(Rect::zero(), nullptr)
    {
    }
};

ui::ButtonPtr flatButton(const std::string& title, const std::shared_ptr<ui::Object>& target, const std::string& action,
                         const Rect& frame, bool isDefault)
{
    auto button = isDefault ? FieldRespectingDefaultButton::make() : ui::Button::initWithFrame(Rect::zero());
    auto cell = BigFlatButtonCell::initTextCell(title);
    button->setCell(cell);
    button->setButtonType(ui::ButtonType::momentaryPushIn);
    button->setTarget(target);
    button->setAction(action);
    button->setFrame(frame);
    if (isDefault)
        button->setKeyEquivalent(ui::kReturnKey);
    return button;
}

std::shared_ptr<ui::TextField> label(const std::string& text, const Rect& frame, double size = 13.0)
{
    auto field = ui::TextField::labelWithString(text);
    field->setFrame(frame);
    field->setFont(ui::Font::systemFontOfSize(size));
    field->setAlignment(ui::TextAlignment::center);
    field->setTextColor(ui::Color::white());
    return field;
}

void buildMainWindow(ui::InterfaceFile& file)
{
    auto owner = file.ownerAs<MainWindowController>();
    if (!owner)
        foundation::fatal("MainWindow: the file's owner is not a MainWindowController.");
    auto model = owner->model();
    std::weak_ptr<MainWindowController> weakOwner = owner;
    auto addImages = [weakOwner](const std::vector<foundation::URL>& urls) {
        if (auto o = weakOwner.lock())
            o->addImagesAt(urls);
    };

    auto window = ui::Window::initWithContentRect(Rect::make(0, 0, kWidth, kHeight),
                                                  ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable
                                                      | ui::WindowStyleMaskMiniaturizable | ui::WindowStyleMaskResizable);
    window->setTitle("Quintor");
    window->setTitlebarAppearsTransparent(true);
    window->center();
    const Rect content = Rect::make(0, 0, kWidth, kHeight);

    // Empty state: the drop area with its caption and the browse button.
    auto dropView = DragAndDropView::initWithFrame(content);
    dropView->setDropHandler(addImages);
    auto dropCaption = label(foundation::localized("Drop photos or a folder of photos here", "drop area caption"),
                             Rect::make(60, 250, kWidth - 120, 24), 18.0);
    auto browse = flatButton(foundation::localized("Browse…", "button title"), owner, "addImages:",
                             Rect::make(kWidth / 2 - 80, 190, 160, 40), true);
    dropView->addSubview(file.wake(dropCaption));
    dropView->addSubview(file.wake(browse));

    // Editing: the preview, the trim track and the controls under it.
    auto editView = ui::View::initWithFrame(content);
    auto playerView = DragAndDropPlayerView::initWithFrame(Rect::make(20, 130, kWidth - 40, kHeight - 150));
    playerView->setDropHandler(addImages);
    auto trimTrack = TrimTrackView::initWithFrame(Rect::make(20, 96, kWidth - 40, 24));
    auto speedLabel = label(foundation::localized("Speed", "label"), Rect::make(20, 62, 60, 18), 12.0);
    auto slider = ui::Slider::sliderWithValue(30, 1, 60, nullptr, "");
    slider->setFrame(Rect::make(84, 60, 200, 21));
    slider->setContinuous(true);
    auto fpsField = ui::TextField::textFieldWithString("");
    fpsField->setFrame(Rect::make(292, 58, 64, 24));
    fpsField->setFormatter(FrameRateFormatter::init());
    auto fpsLabel = label(foundation::localized("FPS", "label"), Rect::make(360, 62, 32, 18), 12.0);
    auto durationField = ui::TextField::textFieldWithString("");
    durationField->setFrame(Rect::make(410, 58, 100, 24));
    durationField->setFormatter(DurationFormatter::init());
    auto reverse = ui::Button::buttonWithTitle(foundation::localized("Reverse", "button title"), owner, "togglePlayDirection:");
    reverse->setFrame(Rect::make(20, 14, 100, 32));
    auto playPause = ui::Button::buttonWithTitle(foundation::localized("Play/Pause", "button title"), owner, "togglePlayPause:");
    playPause->setFrame(Rect::make(128, 14, 100, 32));
    auto exportButton = flatButton(foundation::localized("Export…", "button title"), owner, "export:",
                                   Rect::make(kWidth - 180, 10, 160, 40), true);
    for (const auto& view : std::initializer_list<ui::ViewPtr> { playerView, trimTrack, speedLabel, slider, fpsField, fpsLabel,
                                                                 durationField, reverse, playPause, exportButton })
        editView->addSubview(file.wake(view));

    // Progress: the flip-book, the caption, the bar and the cancel button.
    auto progressView = ui::View::initWithFrame(content);
    auto sunScape = FlipBookView::initWithFrame(Rect::make(kWidth / 2 - 120, 200, 240, 180));
    auto caption = label("", Rect::make(60, 160, kWidth - 120, 20), 14.0);
    caption->bind(ui::NSValueBinding, owner, "progressMessage");
    auto bar = ui::ProgressIndicator::initWithFrame(Rect::make(120, 126, kWidth - 240, 20));
    bar->setMinValue(0.0);
    bar->setMaxValue(1.0);
    bar->bind("value", owner, "progressValue");
    bar->bind("isIndeterminate", owner, "isIndeterminateProgress");
    auto cancel = ui::Button::buttonWithTitle(foundation::localized("Cancel", "button title"), nullptr, "");
    cancel->setFrame(Rect::make(kWidth / 2 - 50, 76, 100, 32));
    cancel->setKeyEquivalent(ui::kEscapeKey);
    for (const auto& view : std::initializer_list<ui::ViewPtr> { sunScape, caption, bar, cancel })
        progressView->addSubview(file.wake(view));

    // When the window is resized: the preview and the track take the room, the controls keep
    // to the bottom corners, and the empty state and the progress stay centred.
    const unsigned centred = ui::ViewMinXMargin | ui::ViewMaxXMargin | ui::ViewMinYMargin | ui::ViewMaxYMargin;
    playerView->setAutoresizingMask(ui::ViewWidthSizable | ui::ViewHeightSizable);
    trimTrack->setAutoresizingMask(ui::ViewWidthSizable | ui::ViewMaxYMargin);
    for (const auto& view : std::initializer_list<ui::ViewPtr> { speedLabel, slider, fpsField, fpsLabel, durationField, reverse,
                                                                 playPause })
        view->setAutoresizingMask(ui::ViewMaxXMargin | ui::ViewMaxYMargin);
    exportButton->setAutoresizingMask(ui::ViewMinXMargin | ui::ViewMaxYMargin);
    for (const auto& view : std::initializer_list<ui::ViewPtr> { dropCaption, browse, sunScape, cancel })
        view->setAutoresizingMask(centred);
    for (const auto& view : std::initializer_list<ui::ViewPtr> { caption, bar })
        view->setAutoresizingMask(centred | ui::ViewWidthSizable);

    auto preview = file.add(PreviewController::init());
    preview->setView(playerView);
    preview->setPlayerView(playerView);
    preview->setMainWindowController(owner);
    auto settings = file.add(ExportSettingsController::init());
    settings->setFpsProvider([weakOwner] {
        auto o = weakOwner.lock();
        auto m = o ? o->model() : nullptr;
        return m ? m->fps() : 30.0;
    });

    if (model) {
        preview->setModel(model);
        slider->bind(ui::NSValueBinding, model, "fps");
        fpsField->bind(ui::NSValueBinding, model, "fps");
    }
    durationField->bind(ui::NSValueBinding, preview, "duration");
    std::weak_ptr<PreviewController> weakPreview = preview;
    durationField->setActionBlock([weakPreview](ui::Control&) {
        if (auto p = weakPreview.lock())
            p->updateDuration(nullptr);
    });

    window->setContentView(dropView);
    file.add(window);
    file.add(editView);
    file.add(progressView);
    file.add(dropView);

    owner->setEditView(editView);
    owner->setDragAndDropView(dropView);
    owner->setPreviewController(preview);
    owner->setExportSettingsController(settings);
    owner->setTrimTrackView(trimTrack);
    owner->setSpeedSlider(slider);
    owner->setExportButton(exportButton);
    owner->setBrowseButton(browse);
    owner->setDurationTextField(durationField);
    owner->setFpsTextField(fpsField);
    owner->setProgressView(progressView);
    owner->setProgressIndicator(bar);
    owner->setSunScapeView(sunScape);
    owner->setCancelButton(cancel);
    owner->setWindow(window);
    preview->viewDidLoad();
}

void buildExportSettings(ui::InterfaceFile& file)
{
    auto owner = file.ownerAs<ExportSettingsController>();
    if (!owner)
        foundation::fatal("ExportSettings: the file's owner is not an ExportSettingsController.");
    auto window = file.add(ui::Window::initWithContentRect(Rect::make(0, 0, 440, 190),
                                                           ui::WindowStyleMaskTitled | ui::WindowStyleMaskDocModalWindow));
    auto content = window->contentView();

    auto formatLabel = ui::TextField::labelWithString(foundation::localized("Format:", "label"));
    formatLabel->setFrame(Rect::make(20, 148, 100, 18));
    auto format = ui::PopUpButton::initWithFrame(Rect::make(124, 144, 296, 26));
    format->addItemWithTitle(foundation::localized("H.264 (MP4)", "format popup item"), ui::tagValue(ExportSettingsController::FormatTag::h264));
    format->addItemWithTitle(foundation::localized("HEVC (MP4)", "format popup item"), ui::tagValue(ExportSettingsController::FormatTag::hevc))
        ->setHidden(!owner->isHEVCEncodingEnabled());
    format->addItemWithTitle(foundation::localized("Apple ProRes 422 (MOV)", "format popup item"),
                             ui::tagValue(ExportSettingsController::FormatTag::proRes422));
    format->addItemWithTitle(foundation::localized("Apple ProRes 4444 (MOV)", "format popup item"),
                             ui::tagValue(ExportSettingsController::FormatTag::proRes4444));
    format->bind("selectedTag", owner, "formatTag");

    auto sizeInfo = ui::TextField::wrappingLabelWithString("", 400);
    sizeInfo->setFrame(Rect::make(20, 100, 400, 36));
    sizeInfo->setFont(ui::Font::systemFontOfSize(ui::Font::smallSystemFontSize()));
    sizeInfo->bind(ui::NSValueBinding, owner, "sizeInfoString");

    auto fpsLabel = ui::TextField::labelWithString(foundation::localized("Frame rate:", "label"));
    fpsLabel->setFrame(Rect::make(20, 70, 100, 18));
    auto fps = ui::PopUpButton::initWithFrame(Rect::make(124, 66, 296, 26));
    fps->addItemWithTitle(foundation::localized("Current", "fps popup item"), ui::tagValue(ExportSettingsController::FpsTag::current));
    fps->addItemWithTitle(foundation::localized("24 FPS", "fps popup item"), ui::tagValue(ExportSettingsController::FpsTag::fps24));
    fps->addItemWithTitle(foundation::localized("25 FPS", "fps popup item"), ui::tagValue(ExportSettingsController::FpsTag::fps25));
    fps->addItemWithTitle(foundation::localized("30 FPS", "fps popup item"), ui::tagValue(ExportSettingsController::FpsTag::fps30));
    fps->bind("selectedTag", owner, "fpsTag");
    fps->bind("title:6001", owner, "fpsCurrentLabel");
    fps->bind("hidden:6002", owner, "hideFPS24");
    fps->bind("hidden:6003", owner, "hideFPS25");
    fps->bind("hidden:6004", owner, "hideFPS30");

    auto cancel = ui::Button::buttonWithTitle(foundation::localized("Cancel", "button title"), owner, "cancelSheet:");
    cancel->setFrame(Rect::make(236, 14, 88, 32));
    cancel->setKeyEquivalent(ui::kEscapeKey);
    auto ok = ui::Button::buttonWithTitle(foundation::localized("Export", "button title"), owner, "ok:");
    ok->setFrame(Rect::make(332, 14, 88, 32));
    ok->setKeyEquivalent(ui::kReturnKey);

    for (const auto& view : std::initializer_list<ui::ViewPtr> { formatLabel, format, sizeInfo, fpsLabel, fps, cancel, ok })
        content->addSubview(file.wake(view));
    owner->setWindow(window);
}

const bool registered = [] {
    ui::InterfaceRegistry::registerFile("MainWindow", buildMainWindow);
    ui::InterfaceRegistry::registerFile("ExportSettings", buildExportSettings);
    return true;
}();

} // namespace
