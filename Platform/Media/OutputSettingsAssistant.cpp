#include "Platform/Media/OutputSettingsAssistant.h"

#include "Platform/Media/CodecCapabilities.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>
#include <cmath>

namespace media {

const std::string AVOutputSettingsPreset640x480 = "AVOutputSettingsPreset640x480";
const std::string AVOutputSettingsPreset960x540 = "AVOutputSettingsPreset960x540";
const std::string AVOutputSettingsPreset1280x720 = "AVOutputSettingsPreset1280x720";
const std::string AVOutputSettingsPreset1920x1080 = "AVOutputSettingsPreset1920x1080";
const std::string AVOutputSettingsPreset3840x2160 = "AVOutputSettingsPreset3840x2160";
const std::string AVOutputSettingsPresetHEVC1920x1080 = "AVOutputSettingsPresetHEVC1920x1080";
const std::string AVOutputSettingsPresetHEVC3840x2160 = "AVOutputSettingsPresetHEVC3840x2160";

namespace {

struct PresetInfo {
    const std::string* name;
    int width;
    int height;
    bool hevc;
};

const PresetInfo presets[] = {
    {&AVOutputSettingsPreset640x480, 640, 480, false},
    {&AVOutputSettingsPreset960x540, 960, 540, false},
    {&AVOutputSettingsPreset1280x720, 1280, 720, false},
    {&AVOutputSettingsPreset1920x1080, 1920, 1080, false},
    {&AVOutputSettingsPreset3840x2160, 3840, 2160, false},
    {&AVOutputSettingsPresetHEVC1920x1080, 1920, 1080, true},
    {&AVOutputSettingsPresetHEVC3840x2160, 3840, 2160, true},
};

const PresetInfo* find(const std::string& name)
{
    for (const auto& p : presets)
        if (*p.name == name)
            return &p;
    return nullptr;
}

// Bits per second per pixel of a 30 frames/s delivery: about 10 Mbit/s for 1080p H.264,
// and HEVC at roughly 60% of that for the same quality.
constexpr double H264BitsPerPixel = 5.0;
constexpr double HEVCBitsPerPixel = 3.0;

} // namespace

std::vector<std::string> OutputSettingsAssistant::availableOutputSettingsPresets()
{
    const bool h264 = canEncodeVideoCodecType(AVVideoCodecTypeH264);
    const bool hevc = canEncodeVideoCodecType(AVVideoCodecTypeHEVC);
    std::vector<std::string> names;
    for (const auto& p : presets)
        if (p.hevc ? hevc : h264)
            names.push_back(*p.name);
    return names;
}

std::shared_ptr<OutputSettingsAssistant> OutputSettingsAssistant::outputSettingsAssistantWithPreset(
    const std::string& preset)
{
    const auto available = availableOutputSettingsPresets();
    if (std::find(available.begin(), available.end(), preset) == available.end())
        return nullptr;
    return std::shared_ptr<OutputSettingsAssistant>(new OutputSettingsAssistant(preset));
}

OutputSettingsAssistant::~OutputSettingsAssistant() = default;

std::optional<foundation::Value> OutputSettingsAssistant::videoSettings() const
{
    const PresetInfo* info = find(m_preset);
    if (!info)
        return std::nullopt;
    int width = info->width;
    int height = info->height;
    if (m_sourceFormat) {
        const auto d = m_sourceFormat->dimensions();
        if (d.width > 0 && d.height > 0) {
            // Fit the source inside the preset's box, turned to the source's orientation.
            const int boxW = d.width >= d.height ? info->width : info->height;
            const int boxH = d.width >= d.height ? info->height : info->width;
            const double scale = std::min({1.0, double(boxW) / d.width, double(boxH) / d.height});
            // Rounded down to even, so the source is never enlarged.
            width = std::max(2, static_cast<int>(d.width * scale + 1e-9) & ~1);
            height = std::max(2, static_cast<int>(d.height * scale + 1e-9) & ~1);
        }
    }
    const double bitsPerPixel = info->hevc ? HEVCBitsPerPixel : H264BitsPerPixel;
    auto compression = foundation::Value::dictionary({
        {AVVideoAverageBitRateKey, static_cast<int64_t>(std::llround(width * height * bitsPerPixel))},
        {AVVideoExpectedSourceFrameRateKey, 30},
        {AVVideoMaxKeyFrameIntervalKey, 30},
        {AVVideoAllowFrameReorderingKey, true},
        {AVVideoProfileLevelKey, info->hevc ? kVTProfileLevel_HEVC_Main_AutoLevel : AVVideoProfileLevelH264HighAutoLevel},
    });
    auto colour = foundation::Value::dictionary({
        {AVVideoColorPrimariesKey, AVVideoColorPrimaries_ITU_R_709_2},
        {AVVideoTransferFunctionKey, AVVideoTransferFunction_ITU_R_709_2},
        {AVVideoYCbCrMatrixKey, AVVideoYCbCrMatrix_ITU_R_709_2},
    });
    return foundation::Value::dictionary({
        {AVVideoCodecKey, info->hevc ? AVVideoCodecTypeHEVC : AVVideoCodecTypeH264},
        {AVVideoWidthKey, width},
        {AVVideoHeightKey, height},
        {AVVideoCompressionPropertiesKey, compression},
        {AVVideoColorPropertiesKey, colour},
    });
}

} // namespace media
