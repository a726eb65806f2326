// Windows render to PNG at their backing scale in the light and dark looks.
// Set QUINTOR_UI_SNAPSHOT_DIR to keep the pictures for a person to look at.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/Images/ImageSource.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Box.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/ProgressIndicator.h"
#include "Platform/UI/Slider.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/Workspace.h"
#include "Tests/Platform/UI/UITestSupport.h"
#include "Tests/Support/TempDir.h"

using graphics::Rect;
using namespace ui;

namespace {

class RenderTest : public uitest::UITest {
protected:
    // A small settings window with one of each control.
    WindowPtr settingsWindow()
    {
        auto w = makeWindow(360, 250, WindowStyleMaskTitled | WindowStyleMaskClosable | WindowStyleMaskMiniaturizable);
        w->setTitle("Export Settings");
        auto content = w->contentView();
        auto label = TextField::labelWithString("Format:");
        label->setFrameOrigin({20, 208});
        content->addSubview(label);
        auto name = TextField::textFieldWithString("Trip to the Alps");
        name->setFrame(Rect::make(90, 204, 250, 24));
        content->addSubview(name);
        auto empty = TextField::textFieldWithString("");
        empty->setPlaceholderString("Optional comment");
        empty->setFrame(Rect::make(90, 172, 250, 24));
        content->addSubview(empty);
        auto check = Button::checkboxWithTitle("Loop playback", nullptr, "");
        check->setState(ControlStateValueOn);
        check->setFrameOrigin({88, 142});
        content->addSubview(check);
        auto radio = Button::radioButtonWithTitle("Reverse", nullptr, "");
        radio->setFrameOrigin({220, 142});
        content->addSubview(radio);
        auto slider = Slider::sliderWithValue(0.6, 0, 1, nullptr, "");
        slider->setFrame(Rect::make(88, 112, 252, 21));
        slider->setNumberOfTickMarks(5);
        content->addSubview(slider);
        auto progress = ProgressIndicator::initWithFrame(Rect::make(90, 92, 250, 12));
        progress->setIndeterminate(false);
        progress->setMaxValue(1);
        progress->setDoubleValue(0.4);
        content->addSubview(progress);
        auto box = Box::initWithFrame(Rect::make(20, 56, 320, 30));
        box->setTitlePosition(TitlePosition::noTitle);
        auto note = TextField::labelWithString("Same size as the original images.");
        note->setFont(Font::systemFontOfSize(Font::smallSystemFontSize()));
        note->setTextColor(Color::secondaryLabelColor());
        note->setFrameOrigin({4, 2});
        box->contentView()->addSubview(note);
        content->addSubview(box);
        auto icon = ImageView::imageViewWithImage(Workspace::shared().iconForFile("/x/movie.mp4"));
        icon->setFrameOrigin({20, 160});
        content->addSubview(icon);
        auto cancel = Button::buttonWithTitle("Cancel", nullptr, "");
        cancel->setFrame(Rect::make(170, 14, 80, 28));
        content->addSubview(cancel);
        auto ok = Button::buttonWithTitle("Export", nullptr, "");
        ok->setKeyEquivalent(kReturnKey);
        ok->setFrame(Rect::make(260, 14, 80, 28));
        content->addSubview(ok);
        return w;
    }

    static void keep(const std::filesystem::path& file)
    {
        if (const char* dir = std::getenv("QUINTOR_UI_SNAPSHOT_DIR")) {
            std::error_code ec;
            std::filesystem::copy_file(file, std::filesystem::path(dir) / file.filename(),
                                       std::filesystem::copy_options::overwrite_existing, ec);
        }
    }
};

graphics::ImagePtr readPNG(const std::filesystem::path& path)
{
    auto source = images::ImageSource::createWithPath(path.string());
    return source ? source->createImageAtIndex(0) : nullptr;
}

TEST_F(RenderTest, AWindowWithControlsRendersInTheLightAndDarkLooks)
{
    testsupport::TempDir dir;
    struct Case {
        const char* file;
        AppearancePtr appearance;
        double scale;
    };
    const Case cases[] = {
        {"settings-light.png", Appearance::aqua(), 2.0},
        {"settings-dark.png", Appearance::darkAqua(), 2.0},
        {"settings-light-1x.png", Appearance::aqua(), 1.0},
    };
    for (const auto& c : cases) {
        auto w = settingsWindow();
        w->setAppearance(c.appearance);
        w->setBackingScaleFactor(c.scale);
        const auto file = dir / c.file;
        foundation::ErrorPtr error;
        ASSERT_TRUE(w->renderToPNG(file.string(), &error)) << (error ? error->localizedDescription() : "");
        keep(file);
        auto image = readPNG(file);
        ASSERT_NE(image, nullptr);
        const size_t s = static_cast<size_t>(c.scale);
        EXPECT_EQ(image->width(), 360 * s);
        EXPECT_EQ(image->height(), static_cast<size_t>((250 + Window::titleBarHeight()) * c.scale));

        // The window's background (a quiet corner of the content), the default button (blue)
        // and the title bar's close button (red), in pixels from the top left.
        const auto background = image->pixelAt(5 * s, image->height() - 5 * s);
        const bool dark = c.appearance->isDark();
        EXPECT_EQ(background.r > 128, !dark) << c.file;
        const auto exportButton = image->pixelAt(300 * s, image->height() - 28 * s);
        EXPECT_GT(exportButton.b, 200) << c.file;
        EXPECT_LT(exportButton.r, 60) << c.file;
        const auto close = image->pixelAt(16 * s, 14 * s);
        EXPECT_GT(close.r, 200) << c.file;
        EXPECT_LT(close.g, 120) << c.file;
        // Text was drawn: the label's box is not one flat colour.
        bool varied = false;
        for (size_t x = 20 * s; x < 70 * s && !varied; ++x)
            varied = !(image->pixelAt(x, (28 + 250 - 216) * s) == background);
        EXPECT_TRUE(varied) << c.file;
    }
}

TEST_F(RenderTest, AnAttachedSheetIsDrawnOverItsWindow)
{
    testsupport::TempDir dir;
    auto w = settingsWindow();
    auto sheet = makeWindow(200, 80, WindowStyleMaskTitled);
    auto label = TextField::labelWithString("Exporting your timelapse");
    label->setFrameOrigin({20, 40});
    sheet->contentView()->addSubview(label);
    w->beginSheet(sheet);
    const auto file = dir / "sheet.png";
    ASSERT_TRUE(w->renderToPNG(file.string()));
    keep(file);
    auto withSheet = readPNG(file);
    w->endSheet(sheet);
    ASSERT_TRUE(w->renderToPNG(file.string()));
    auto without = readPNG(file);
    ASSERT_TRUE(withSheet && without);
    // Where the sheet hangs (just below the title bar, centred) the pictures differ.
    const size_t x = 180 * 2, y = (28 + 30) * 2;
    EXPECT_FALSE(withSheet->pixelAt(x, y) == without->pixelAt(x, y));
}

TEST_F(RenderTest, AnAlertPutsItsDefaultButtonRightMostAndGrowsWithItsText)
{
    testsupport::TempDir dir;
    auto alert = Alert::init();
    alert->setMessageText("You should move Quintor to the Applications folder.");
    alert->setInformativeText("For best results, quit the app, move it to the Applications folder, and relaunch it "
                              "from there. This text is long enough to wrap onto more than one line.");
    alert->setShowsSuppressionButton(true);
    alert->addButtonWithTitle("OK");
    alert->addButtonWithTitle("Cancel");
    auto window = alert->window();
    const auto& buttons = alert->buttons();
    EXPECT_GT(buttons[0]->frame().minX(), buttons[1]->frame().maxX());
    EXPECT_EQ(buttons[0]->window(), window.get());
    EXPECT_EQ(alert->suppressionButton()->window(), window.get());
    const double tall = window->frame().height();
    alert->setInformativeText("Short.");
    EXPECT_LT(alert->window()->frame().height(), tall);

    auto host = settingsWindow();
    alert->setInformativeText("For best results, quit the app, move it to the Applications folder, and relaunch it.");
    alert->beginSheetModalForWindow(host, nullptr);
    const auto file = dir / "alert-sheet.png";
    ASSERT_TRUE(host->renderToPNG(file.string()));
    keep(file);
}

TEST_F(RenderTest, AnUnwritablePlaceGivesAnErrorAndLeavesNothingBehind)
{
    testsupport::TempDir dir;
    auto w = makeWindow(50, 50);
    foundation::ErrorPtr error;
    EXPECT_FALSE(w->renderToPNG((dir / "no-such-folder" / "x.png").string(), &error));
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

} // namespace
