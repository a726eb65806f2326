#pragma once
// Output settings as the encoder needs them: the checked, typed reading of an asset-writer
// input's settings dictionary. Internal to Platform/Media.

#include "Platform/Foundation/Value.h"

#include <cstdint>
#include <optional>
#include <string>

namespace media::detail {

enum class VideoCodec { H264, HEVC, ProRes422, ProRes4444 };
enum class ScalingMode { Fit, Resize, ResizeAspect, ResizeAspectFill };
enum class ColorPrimaries { BT709, SMPTE_C, BT2020 };
enum class TransferFunction { BT709, HLG, PQ };
enum class YCbCrMatrix { BT709, BT601, BT2020 };

struct EncoderConfig {
    VideoCodec codec = VideoCodec::H264;
    int width = 0;
    int height = 0;
    ScalingMode scalingMode = ScalingMode::ResizeAspect;
    std::optional<int64_t> averageBitRate;
    std::optional<int> maxKeyFrameInterval;
    bool allowFrameReordering = true;
    std::optional<double> expectedFrameRate;
    std::optional<double> quality; // 0 (smallest) to 1 (best)
    std::string profile;           // FFmpeg's profile name for the encoder, empty for its default
    int level = 0;                 // H.264 level times ten, 0 for automatic
    bool tenBit = false;           // HEVC Main 10
    ColorPrimaries primaries = ColorPrimaries::BT709;
    TransferFunction transfer = TransferFunction::BT709;
    YCbCrMatrix matrix = YCbCrMatrix::BT709;
    bool fast = false;
    bool requireHardware = false;

    bool isProRes() const { return codec == VideoCodec::ProRes422 || codec == VideoCodec::ProRes4444; }
};

// Reads an output-settings dictionary. None, with `problem` naming the fault, when a key has
// the wrong type or an unsupported value or a required key (codec, width, height) is missing.
std::optional<EncoderConfig> parseOutputSettings(const foundation::Value& settings, std::string* problem);

// The codec type string ("avc1", ...) of a codec.
const std::string& codecTypeString(VideoCodec codec);

} // namespace media::detail
