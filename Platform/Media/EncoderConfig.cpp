#include "Platform/Media/EncoderConfig.h"

#include "Platform/Media/VideoSettings.h"

#include <cctype>
#include <cmath>
#include <limits>

namespace media::detail {

namespace {

bool fail(std::string* problem, std::string text)
{
    if (problem)
        *problem = std::move(text);
    return false;
}

// A positive whole pixel count; the platform accepts doubles here, so 1920.0 is fine.
bool readDimension(const foundation::Value& v, const std::string& key, int& out, std::string* problem)
{
    auto d = v.isBool() ? std::nullopt : v.doubleValue();
    if (!d || !std::isfinite(*d) || *d < 1 || *d > 16384)
        return fail(problem, key + " must be a number from 1 to 16384");
    out = static_cast<int>(std::lround(*d));
    return true;
}

std::optional<double> readNumber(const foundation::Value& dict, const std::string& key, std::string* problem, bool& ok)
{
    const auto* v = dict.find(key);
    if (!v)
        return std::nullopt;
    auto d = v->doubleValue();
    if (!d || !std::isfinite(*d)) {
        ok = fail(problem, key + " must be a finite number");
        return std::nullopt;
    }
    return d;
}

bool readProfile(EncoderConfig& config, const std::string& level, std::string* problem)
{
    if (config.codec == VideoCodec::HEVC) {
        if (level == kVTProfileLevel_HEVC_Main_AutoLevel)
            config.profile = "main";
        else if (level == kVTProfileLevel_HEVC_Main10_AutoLevel) {
            config.profile = "main10";
            config.tenBit = true;
        } else
            return fail(problem, "unsupported HEVC profile level " + level);
        return true;
    }
    if (config.codec != VideoCodec::H264)
        return true; // ProRes has no profile levels; the platform ignores the key there
    // "H264_<Profile>_AutoLevel" or "H264_<Profile>_<major>_<minor>".
    static const std::pair<const char*, const char*> profiles[] = {
        {"H264_Baseline_", "baseline"}, {"H264_Main_", "main"}, {"H264_High_", "high"}};
    for (const auto& [prefix, name] : profiles) {
        const std::string p = prefix;
        if (level.rfind(p, 0) != 0)
            continue;
        const std::string rest = level.substr(p.size());
        config.profile = name;
        if (rest == "AutoLevel")
            return true;
        if (rest.size() == 3 && std::isdigit(static_cast<unsigned char>(rest[0])) && rest[1] == '_'
            && std::isdigit(static_cast<unsigned char>(rest[2]))) {
            config.level = (rest[0] - '0') * 10 + (rest[2] - '0');
            return true;
        }
        if (rest.size() == 1 && std::isdigit(static_cast<unsigned char>(rest[0]))) {
            config.level = (rest[0] - '0') * 10;
            return true;
        }
        break;
    }
    return fail(problem, "unsupported H.264 profile level " + level);
}

bool readCompression(EncoderConfig& config, const foundation::Value& props, std::string* problem)
{
    if (!props.isDictionary())
        return fail(problem, AVVideoCompressionPropertiesKey + " must be a dictionary");
    bool ok = true;
    if (auto rate = readNumber(props, AVVideoAverageBitRateKey, problem, ok)) {
        if (*rate < 1 || *rate > 4e9)
            return fail(problem, AVVideoAverageBitRateKey + " is out of range");
        config.averageBitRate = static_cast<int64_t>(*rate);
    }
    if (auto interval = readNumber(props, AVVideoMaxKeyFrameIntervalKey, problem, ok)) {
        if (*interval < 0 || *interval > 100000)
            return fail(problem, AVVideoMaxKeyFrameIntervalKey + " is out of range");
        config.maxKeyFrameInterval = static_cast<int>(*interval);
    }
    if (auto fps = readNumber(props, AVVideoExpectedSourceFrameRateKey, problem, ok)) {
        if (*fps <= 0 || *fps > 1000)
            return fail(problem, AVVideoExpectedSourceFrameRateKey + " is out of range");
        config.expectedFrameRate = *fps;
    }
    if (auto quality = readNumber(props, AVVideoQualityKey, problem, ok)) {
        if (*quality < 0 || *quality > 1)
            return fail(problem, AVVideoQualityKey + " must be from 0 to 1");
        config.quality = *quality;
    }
    if (!ok)
        return false;
    if (const auto* reorder = props.find(AVVideoAllowFrameReorderingKey)) {
        if (!reorder->isNumber())
            return fail(problem, AVVideoAllowFrameReorderingKey + " must be a boolean");
        config.allowFrameReordering = reorder->asBool();
    }
    if (const auto* level = props.find(AVVideoProfileLevelKey)) {
        if (!level->isString())
            return fail(problem, AVVideoProfileLevelKey + " must be a string");
        if (!readProfile(config, level->asString(), problem))
            return false;
    }
    return true;
}

bool readColor(EncoderConfig& config, const foundation::Value& props, std::string* problem)
{
    if (!props.isDictionary())
        return fail(problem, AVVideoColorPropertiesKey + " must be a dictionary");
    auto text = [&](const std::string& key) -> std::optional<std::string> {
        const auto* v = props.find(key);
        return v ? v->stringValue() : std::nullopt;
    };
    if (auto p = text(AVVideoColorPrimariesKey)) {
        if (*p == AVVideoColorPrimaries_ITU_R_709_2)
            config.primaries = ColorPrimaries::BT709;
        else if (*p == AVVideoColorPrimaries_SMPTE_C)
            config.primaries = ColorPrimaries::SMPTE_C;
        else if (*p == AVVideoColorPrimaries_ITU_R_2020)
            config.primaries = ColorPrimaries::BT2020;
        else
            return fail(problem, "unsupported colour primaries " + *p);
    }
    if (auto t = text(AVVideoTransferFunctionKey)) {
        if (*t == AVVideoTransferFunction_ITU_R_709_2)
            config.transfer = TransferFunction::BT709;
        else if (*t == AVVideoTransferFunction_ITU_R_2100_HLG)
            config.transfer = TransferFunction::HLG;
        else if (*t == AVVideoTransferFunction_SMPTE_ST_2084_PQ)
            config.transfer = TransferFunction::PQ;
        else
            return fail(problem, "unsupported transfer function " + *t);
    }
    if (auto m = text(AVVideoYCbCrMatrixKey)) {
        if (*m == AVVideoYCbCrMatrix_ITU_R_709_2)
            config.matrix = YCbCrMatrix::BT709;
        else if (*m == AVVideoYCbCrMatrix_ITU_R_601_4)
            config.matrix = YCbCrMatrix::BT601;
        else if (*m == AVVideoYCbCrMatrix_ITU_R_2020)
            config.matrix = YCbCrMatrix::BT2020;
        else
            return fail(problem, "unsupported YCbCr matrix " + *m);
    }
    return true;
}

} // namespace

const std::string& codecTypeString(VideoCodec codec)
{
    switch (codec) {
    case VideoCodec::H264:
        return AVVideoCodecTypeH264;
    case VideoCodec::HEVC:
        return AVVideoCodecTypeHEVC;
    case VideoCodec::ProRes422:
        return AVVideoCodecTypeAppleProRes422;
    case VideoCodec::ProRes4444:
        return AVVideoCodecTypeAppleProRes4444;
    }
    return AVVideoCodecTypeH264;
}

std::optional<EncoderConfig> parseOutputSettings(const foundation::Value& settings, std::string* problem)
{
    if (!settings.isDictionary()) {
        fail(problem, "output settings must be a dictionary");
        return std::nullopt;
    }
    EncoderConfig config;
    const auto codec = settings[AVVideoCodecKey].stringValue();
    if (!codec) {
        fail(problem, AVVideoCodecKey + " is missing");
        return std::nullopt;
    }
    if (*codec == AVVideoCodecTypeH264)
        config.codec = VideoCodec::H264;
    else if (*codec == AVVideoCodecTypeHEVC)
        config.codec = VideoCodec::HEVC;
    else if (*codec == AVVideoCodecTypeAppleProRes422)
        config.codec = VideoCodec::ProRes422;
    else if (*codec == AVVideoCodecTypeAppleProRes4444)
        config.codec = VideoCodec::ProRes4444;
    else {
        fail(problem, "unsupported codec " + *codec);
        return std::nullopt;
    }
    if (!settings.contains(AVVideoWidthKey) || !settings.contains(AVVideoHeightKey)) {
        fail(problem, "AVVideoWidthKey and AVVideoHeightKey are required");
        return std::nullopt;
    }
    if (!readDimension(settings[AVVideoWidthKey], AVVideoWidthKey, config.width, problem)
        || !readDimension(settings[AVVideoHeightKey], AVVideoHeightKey, config.height, problem))
        return std::nullopt;
    if (const auto* mode = settings.find(AVVideoScalingModeKey)) {
        const auto text = mode->stringValue().value_or("");
        if (text == AVVideoScalingModeFit)
            config.scalingMode = ScalingMode::Fit;
        else if (text == AVVideoScalingModeResize)
            config.scalingMode = ScalingMode::Resize;
        else if (text == AVVideoScalingModeResizeAspect)
            config.scalingMode = ScalingMode::ResizeAspect;
        else if (text == AVVideoScalingModeResizeAspectFill)
            config.scalingMode = ScalingMode::ResizeAspectFill;
        else {
            fail(problem, "unsupported scaling mode " + text);
            return std::nullopt;
        }
    }
    if (const auto* props = settings.find(AVVideoCompressionPropertiesKey))
        if (!readCompression(config, *props, problem))
            return std::nullopt;
    if (const auto* props = settings.find(AVVideoColorPropertiesKey))
        if (!readColor(config, *props, problem))
            return std::nullopt;
    if (const auto* recipe = settings.find(AVVideoEncoderSpecificationKey)) {
        if (!recipe->isDictionary()) {
            fail(problem, AVVideoEncoderSpecificationKey + " must be a dictionary");
            return std::nullopt;
        }
        config.requireHardware = (*recipe)[RequireHardwareAcceleratedVideoEncoderKey].asBool();
    }
    if (const auto* speed = settings.find(EncoderSpeedKey)) {
        const auto text = speed->stringValue().value_or("");
        if (text == EncoderSpeedFast)
            config.fast = true;
        else if (text != EncoderSpeedBalanced) {
            fail(problem, "unsupported encoder speed " + text);
            return std::nullopt;
        }
    }
    return config;
}

} // namespace media::detail
