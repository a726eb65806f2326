#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/PopUpButton.h"
#include "Platform/UI/Window.h"
#include "Quintor/ExportSettingsController.h"

namespace {

const std::string kSameSize = "Your timelapse will be exported at the same size as the original images.";
const std::string kSmaller = "Your timelapse will be exported at a smaller size than the original images because of "
                             "limitations in H.264 (MP4).";

struct ExportSettingsControllerTest : ::testing::Test {
    std::shared_ptr<ExportSettingsController> settings = ExportSettingsController::init();
    ui::WindowPtr host = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 400, 300), ui::WindowStyleMaskTitled);
    double fps = 30.0;
    std::optional<ui::ModalResponse> response;

    void SetUp() override
    {
        settings->setFpsProvider([this] { return fps; });
        settings->setWindowForSheet(host);
    }
    // Opens the sheet for images of `size`, as the main window does.
    void open(graphics::Size size = { 64, 48 })
    {
        response.reset();
        settings->setSize(size);
        settings->setScale(1.0);
        settings->beginSheetWithCompletionHandler([this](ui::ModalResponse r) { response = r; });
    }
    void close(bool ok)
    {
        if (ok)
            settings->ok(nullptr);
        else
            settings->cancelSheet(nullptr);
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] { return response.has_value(); }, 5));
    }
};

TEST_F(ExportSettingsControllerTest, ConfirmingAtOnceHandsBackH264InMPEG4AtTheSequenceRate)
{
    open();
    close(true);
    EXPECT_EQ(*response, ui::ModalResponseOK);
    EXPECT_EQ(settings->videoCodec(), media::AVVideoCodecTypeH264);
    EXPECT_EQ(settings->fileFormatUTI(), media::AVFileTypeMPEG4);
    EXPECT_EQ(settings->fpsTag(), ExportSettingsController::FpsTag::current);
    EXPECT_FALSE(settings->frameDuration().isValid());
    EXPECT_EQ(settings->sizeInfoString(), kSameSize);
}

TEST_F(ExportSettingsControllerTest, TheH264SizeLimitAppliesToEitherOrientation)
{
    const std::vector<std::tuple<double, double, double>> cases = {
        { 3840, 2160, 1.0 },
        { 4096, 2160, 1.0 },
        { 2160, 4096, 1.0 },
        { 4097, 2000, 4096.0 / 4097.0 },
        { 2161, 3000, 2160.0 / 2161.0 },
        { 6000, 4000, 0.54 },
    };
    for (const auto& [w, h, scale] : cases) {
        open({ w, h });
        EXPECT_DOUBLE_EQ(settings->scale(), scale) << w << " x " << h;
        EXPECT_EQ(settings->sizeInfoString(), scale == 1.0 ? kSameSize : kSmaller) << w << " x " << h;
        close(false);
    }
}

TEST_F(ExportSettingsControllerTest, EachFormatSelectsItsCodecContainerAndScale)
{
    open({ 6000, 4000 });
    const std::vector<std::tuple<ExportSettingsController::FormatTag, std::string, std::string, double>> cases = {
        { ExportSettingsController::FormatTag::proRes4444, media::AVVideoCodecTypeAppleProRes4444, media::AVFileTypeQuickTimeMovie, 1.0 },
        { ExportSettingsController::FormatTag::proRes422, media::AVVideoCodecTypeAppleProRes422, media::AVFileTypeQuickTimeMovie, 1.0 },
        { ExportSettingsController::FormatTag::hevc, media::AVVideoCodecTypeHEVC, media::AVFileTypeMPEG4, 1.0 },
        // Back to H.264 while the sheet is open: the limit applies at once, as announced.
        { ExportSettingsController::FormatTag::h264, media::AVVideoCodecTypeH264, media::AVFileTypeMPEG4, 0.54 },
    };
    for (const auto& [tag, codec, container, scale] : cases) {
        settings->setFormatTag(tag);
        SCOPED_TRACE(ui::tagValue(tag));
        EXPECT_EQ(settings->videoCodec(), codec);
        EXPECT_EQ(settings->fileFormatUTI(), container);
        EXPECT_DOUBLE_EQ(settings->scale(), scale);
        EXPECT_EQ(settings->sizeInfoString(), scale == 1.0 ? kSameSize : kSmaller);
    }
    close(true);
}

TEST_F(ExportSettingsControllerTest, FrameRateItemsFollowTheSequenceRate)
{
    const std::vector<std::tuple<double, bool, bool, bool, std::string>> cases = {
        { 25.0, false, true, false, "Current (25 FPS)" },
        { 12.5, false, false, false, "Current (12.5 FPS)" },
        { 29.97, false, false, false, "Current (29.97 FPS)" },
        { 24.0, true, false, false, "Current (24 FPS)" },
        { 30.0, false, false, true, "Current (30 FPS)" },
    };
    for (const auto& [rate, hide24, hide25, hide30, label] : cases) {
        fps = rate;
        open();
        EXPECT_EQ(settings->hideFPS24(), hide24) << rate;
        EXPECT_EQ(settings->hideFPS25(), hide25) << rate;
        EXPECT_EQ(settings->hideFPS30(), hide30) << rate;
        EXPECT_EQ(settings->fpsCurrentLabel(), label);
        close(false);
    }
}

TEST_F(ExportSettingsControllerTest, ChoicesPersistAcrossOpeningsAndGiveTheirFrameDurations)
{
    open();
    settings->setFpsTag(ExportSettingsController::FpsTag::fps30);
    close(false);
    open();
    EXPECT_EQ(settings->fpsTag(), ExportSettingsController::FpsTag::fps30);
    close(true);
    const std::vector<std::pair<ExportSettingsController::FpsTag, media::Time>> durations = {
        { ExportSettingsController::FpsTag::fps24, media::Time::make(25, 600) },
        { ExportSettingsController::FpsTag::fps25, media::Time::make(24, 600) },
        { ExportSettingsController::FpsTag::fps30, media::Time::make(20, 600) },
    };
    for (const auto& [tag, duration] : durations) {
        settings->setFpsTag(tag);
        EXPECT_EQ(settings->frameDuration().value, duration.value) << ui::tagValue(tag);
        EXPECT_EQ(settings->frameDuration().timescale, 600);
    }
    for (unsigned long tag : { 0ul, 6001ul, 6005ul, 9999ul }) {
        settings->setFpsTag(ExportSettingsController::FpsTag(tag));
        EXPECT_FALSE(settings->frameDuration().isValid()) << tag;
    }
}

TEST_F(ExportSettingsControllerTest, TheLayoutsPopUpsFollowAndSetTheSettings)
{
    fps = 25.0;
    open();
    std::vector<std::shared_ptr<ui::PopUpButton>> popUps;
    for (const auto& view : settings->window()->contentView()->subviews())
        if (auto popUp = std::dynamic_pointer_cast<ui::PopUpButton>(view))
            popUps.push_back(popUp);
    ASSERT_EQ(popUps.size(), 2u);
    auto& format = popUps[0];
    auto& rate = popUps[1];
    EXPECT_EQ(rate->selectedTag(), ui::tagValue(ExportSettingsController::FpsTag::current));
    EXPECT_EQ(rate->menu()->itemWithTag(ui::tagValue(ExportSettingsController::FpsTag::current))->title(), "Current (25 FPS)");
    EXPECT_TRUE(rate->menu()->itemWithTag(ui::tagValue(ExportSettingsController::FpsTag::fps25))->isHidden());
    EXPECT_FALSE(rate->chooseItemWithTag(ui::tagValue(ExportSettingsController::FpsTag::fps25)));

    EXPECT_TRUE(format->chooseItemWithTag(ui::tagValue(ExportSettingsController::FormatTag::proRes4444)));
    EXPECT_TRUE(rate->chooseItemWithTag(ui::tagValue(ExportSettingsController::FpsTag::fps24)));
    close(true);
    EXPECT_EQ(settings->videoCodec(), media::AVVideoCodecTypeAppleProRes4444);
    EXPECT_EQ(settings->frameDuration().value, 25);
}

} // namespace
