#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MVRAVOutputSettingsAssistant.h"

#include "Platform/Media/CodecCapabilities.h"
#include "Platform/Media/VideoSettings.h"

#include <gtest/gtest.h>

#include <cstdlib>

using foundation::Value;

namespace {

Value hevcSettings(const Value& compression)
{
    return Value::dictionary({{media::AVVideoCodecKey, media::AVVideoCodecTypeHEVC},
                              {media::AVVideoWidthKey, 1920},
                              {media::AVVideoHeightKey, 1080},
                              {media::AVVideoCompressionPropertiesKey, compression}});
}

} // namespace

TEST(DeviceCapabilities, HEVCEncodingFollowsTheHardwareEncoderNotTheSoftwareOne)
{
    // x265 makes HEVC possible here, but only a hardware encoder makes it the default.
    EXPECT_EQ(DeviceCapabilities::hasHEVCEncoder(), media::canEncodeVideoCodecType(media::AVVideoCodecTypeHEVC));
    EXPECT_EQ(DeviceCapabilities::hasHEVCHardwareEncoder(), media::hasHardwareHEVCEncoder());
    EXPECT_EQ(DeviceCapabilities::hasHEVCHardwareDecoder(), media::hasHardwareHEVCDecoder());
    EXPECT_EQ(DeviceCapabilities::isHEVCEncodingEnabled(), DeviceCapabilities::hasHEVCHardwareEncoder());
}

TEST(DeviceCapabilities, StoreBeforeFirstReadIsKept)
{
    // In a freshly started child process, where the flag has never been read (a forked child
    // would inherit the parent's already computed value).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool stored : {true, false}) {
        EXPECT_EXIT(
            {
                DeviceCapabilities::setHEVCEncodingEnabled(stored);
                std::exit(DeviceCapabilities::isHEVCEncodingEnabled() == stored ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST(MVRAVOutputSettingsAssistant, SoftwareHEVCGetsMain10WithHardwareOff)
{
    const Value main = Value::dictionary({{media::AVVideoProfileLevelKey, media::kVTProfileLevel_HEVC_Main_AutoLevel},
                                          {media::AVVideoAverageBitRateKey, 6000000}});
    const auto adjusted = MVRAVOutputSettingsAssistant::adjustedVideoSettings(hevcSettings(main), false);
    ASSERT_TRUE(adjusted);
    const Value& compression = (*adjusted)[media::AVVideoCompressionPropertiesKey];
    EXPECT_EQ(compression[media::AVVideoProfileLevelKey], Value(media::kVTProfileLevel_HEVC_Main10_AutoLevel));
    EXPECT_EQ(compression[media::AVVideoAverageBitRateKey], Value(6000000));
    EXPECT_EQ((*adjusted)[media::AVVideoEncoderSpecificationKey],
              Value::dictionary({{media::EnableHardwareAcceleratedVideoEncoderKey, false}}));
}

TEST(MVRAVOutputSettingsAssistant, EverythingElsePassesThroughUnchanged)
{
    const Value main = Value::dictionary({{media::AVVideoProfileLevelKey, media::kVTProfileLevel_HEVC_Main_AutoLevel}});
    Value h264 = hevcSettings(main);
    h264[media::AVVideoCodecKey] = media::AVVideoCodecTypeH264;
    Value proRes = Value::dictionary({{media::AVVideoCodecKey, media::AVVideoCodecTypeAppleProRes422}});
    Value codecNotText = hevcSettings(main);
    codecNotText[media::AVVideoCodecKey] = 7;
    Value noCompression = Value::dictionary({{media::AVVideoCodecKey, media::AVVideoCodecTypeHEVC}});
    const struct {
        const char* name;
        std::optional<Value> settings;
        bool hardware;
    } cases[] = {
        {"no settings", std::nullopt, false},
        {"hardware present", hevcSettings(main), true},
        {"H.264", h264, false},
        {"ProRes", proRes, false},
        {"codec not text", codecNotText, false},
        {"no compression properties", noCompression, false},
        {"compression not a dictionary", hevcSettings(Value("x")), false},
        {"no profile level", hevcSettings(Value::dictionary({{media::AVVideoAverageBitRateKey, 1}})), false},
        {"already Main 10",
         hevcSettings(Value::dictionary({{media::AVVideoProfileLevelKey, media::kVTProfileLevel_HEVC_Main10_AutoLevel}})),
         false},
        {"profile level not text", hevcSettings(Value::dictionary({{media::AVVideoProfileLevelKey, 3}})), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MVRAVOutputSettingsAssistant::adjustedVideoSettings(c.settings, c.hardware), c.settings);
    }
}

TEST(MVRAVOutputSettingsAssistant, PresetsOfThisMachine)
{
    EXPECT_EQ(MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset("no such preset"), nullptr);

    auto h264 = MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset(media::AVOutputSettingsPreset3840x2160);
    ASSERT_TRUE(h264);
    auto plain = media::OutputSettingsAssistant::outputSettingsAssistantWithPreset(media::AVOutputSettingsPreset3840x2160);
    EXPECT_EQ(h264->videoSettings(), plain->videoSettings());

    if (!DeviceCapabilities::hasHEVCEncoder())
        GTEST_SKIP() << "no HEVC encoder";
    auto hevc = MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset(media::AVOutputSettingsPresetHEVC3840x2160);
    ASSERT_TRUE(hevc);
    const auto settings = hevc->videoSettings();
    ASSERT_TRUE(settings);
    const std::string expected = DeviceCapabilities::hasHEVCHardwareEncoder() ? media::kVTProfileLevel_HEVC_Main_AutoLevel
                                                                              : media::kVTProfileLevel_HEVC_Main10_AutoLevel;
    EXPECT_EQ((*settings)[media::AVVideoCompressionPropertiesKey][media::AVVideoProfileLevelKey], Value(expected));
}
