#include "Platform/Media/CodecCapabilities.h"
#include "Platform/Media/OutputSettingsAssistant.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

using namespace media;

TEST(OutputSettingsAssistant, FitsThePresetToTheSourceWithoutEnlargingIt)
{
    struct Case {
        std::string preset;
        int sourceW, sourceH;
        int width, height;
        std::string codec;
    };
    const Case cases[] = {
        {AVOutputSettingsPreset3840x2160, 6000, 4000, 3240, 2160, AVVideoCodecTypeH264},
        {AVOutputSettingsPreset3840x2160, 4000, 6000, 2160, 3240, AVVideoCodecTypeH264}, // portrait
        {AVOutputSettingsPreset3840x2160, 1001, 751, 1000, 750, AVVideoCodecTypeH264},   // not enlarged, made even
        {AVOutputSettingsPresetHEVC3840x2160, 7680, 4320, 3840, 2160, AVVideoCodecTypeHEVC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preset + " " + std::to_string(c.sourceW) + "x" + std::to_string(c.sourceH));
        auto assistant = OutputSettingsAssistant::outputSettingsAssistantWithPreset(c.preset);
        ASSERT_TRUE(assistant);
        assistant->setSourceVideoFormat(VideoFormatDescription::create(PixelFormatType_32BGRA, c.sourceW, c.sourceH));
        auto settings = assistant->videoSettings();
        ASSERT_TRUE(settings);
        EXPECT_EQ((*settings)[AVVideoCodecKey].asString(), c.codec);
        EXPECT_EQ((*settings)[AVVideoWidthKey].asInteger(), c.width);
        EXPECT_EQ((*settings)[AVVideoHeightKey].asInteger(), c.height);
        EXPECT_GT((*settings)[AVVideoCompressionPropertiesKey][AVVideoAverageBitRateKey].asInteger(), 0);
        EXPECT_EQ((*settings)[AVVideoColorPropertiesKey][AVVideoYCbCrMatrixKey].asString(), "ITU_R_709_2");
    }
    EXPECT_FALSE(OutputSettingsAssistant::outputSettingsAssistantWithPreset("AVOutputSettingsPreset123x45"));
}

TEST(OutputSettingsAssistant, ItsSettingsWriteAMovie)
{
    testsupport::TempDir dir;
    for (const auto& preset : {AVOutputSettingsPreset1920x1080, AVOutputSettingsPresetHEVC1920x1080}) {
        SCOPED_TRACE(preset);
        auto assistant = OutputSettingsAssistant::outputSettingsAssistantWithPreset(preset);
        ASSERT_TRUE(assistant);
        assistant->setSourceVideoFormat(VideoFormatDescription::create(PixelFormatType_32BGRA, 64, 48));
        mediatest::MovieSpec recipe;
        recipe.fileType = AVFileTypeMPEG4;
        recipe.frames = 3;
        recipe.settings = *assistant->videoSettings();
        recipe.settings.set(EncoderSpeedKey, EncoderSpeedFast);
        auto error = mediatest::writeMovie(dir / "a.mp4", recipe);
        EXPECT_FALSE(error) << (error ? error->localizedFailureReason().value_or("") : "");
    }
}

TEST(CodecCapabilities, SoftwareEncodersOfEveryDeliveryCodecArePresent)
{
    const auto types = availableSoftwareVideoCodecTypes();
    EXPECT_EQ(types, (std::vector<std::string>{AVVideoCodecTypeH264, AVVideoCodecTypeHEVC,
                                               AVVideoCodecTypeAppleProRes422, AVVideoCodecTypeAppleProRes4444}));
    // A hardware encoder counts only when it opens; whatever the machine has, the answer
    // names an HEVC encoder or nothing, and is worked out once.
    const auto hardware = hardwareHEVCEncoderName();
    if (hardware) {
        EXPECT_NE(hardware->find("hevc"), std::string::npos);
    }
    EXPECT_EQ(hardwareHEVCEncoderName(), hardware);
}
