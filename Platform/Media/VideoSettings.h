#pragma once
// The string constants of the asset writer's and reader's settings dictionaries, spelled as
// the platform spells them, plus our own encoder-speed option. Settings are foundation::Value
// dictionaries keyed by these strings.

#include <string>

namespace media {

// File types (uniform type identifiers) the asset writer can produce.
extern const std::string AVFileTypeQuickTimeMovie; // "com.apple.quicktime-movie"
extern const std::string AVFileTypeMPEG4;          // "public.mpeg-4"
extern const std::string AVFileTypeAppleM4V;       // "com.apple.m4v-video"

// Media types of tracks and inputs.
extern const std::string AVMediaTypeVideo; // "vide"
extern const std::string AVMediaTypeAudio; // "soun"

// Top-level output-settings keys.
extern const std::string AVVideoCodecKey;                  // "AVVideoCodecKey"
extern const std::string AVVideoWidthKey;                  // "AVVideoWidthKey"
extern const std::string AVVideoHeightKey;                 // "AVVideoHeightKey"
extern const std::string AVVideoScalingModeKey;            // "AVVideoScalingModeKey"
extern const std::string AVVideoCompressionPropertiesKey;  // "AVVideoCompressionPropertiesKey"
extern const std::string AVVideoColorPropertiesKey;        // "AVVideoColorPropertiesKey"
extern const std::string AVVideoEncoderSpecificationKey;   // "AVVideoEncoderSpecificationKey"

// Codec types.
extern const std::string AVVideoCodecTypeH264;             // "avc1"
extern const std::string AVVideoCodecTypeHEVC;             // "hvc1"
extern const std::string AVVideoCodecTypeAppleProRes422;   // "apcn"
extern const std::string AVVideoCodecTypeAppleProRes4444;  // "ap4h"

// Scaling modes.
extern const std::string AVVideoScalingModeFit;              // "AVVideoScalingModeFit"
extern const std::string AVVideoScalingModeResize;           // "AVVideoScalingModeResize"
extern const std::string AVVideoScalingModeResizeAspect;     // "AVVideoScalingModeResizeAspect"
extern const std::string AVVideoScalingModeResizeAspectFill; // "AVVideoScalingModeResizeAspectFill"

// Compression-property keys.
extern const std::string AVVideoAverageBitRateKey;          // "AverageBitRate"
extern const std::string AVVideoMaxKeyFrameIntervalKey;     // "MaxKeyFrameInterval"
extern const std::string AVVideoAllowFrameReorderingKey;    // "AllowFrameReordering"
extern const std::string AVVideoExpectedSourceFrameRateKey; // "ExpectedFrameRate"
extern const std::string AVVideoProfileLevelKey;            // "ProfileLevel"
extern const std::string AVVideoQualityKey;                 // "Quality"

// Profile levels.
extern const std::string AVVideoProfileLevelH264BaselineAutoLevel; // "H264_Baseline_AutoLevel"
extern const std::string AVVideoProfileLevelH264MainAutoLevel;     // "H264_Main_AutoLevel"
extern const std::string AVVideoProfileLevelH264HighAutoLevel;     // "H264_High_AutoLevel"
extern const std::string kVTProfileLevel_HEVC_Main_AutoLevel;            // "HEVC_Main_AutoLevel"
extern const std::string kVTProfileLevel_HEVC_Main10_AutoLevel;          // "HEVC_Main10_AutoLevel"

// Colour-property keys and values.
extern const std::string AVVideoColorPrimariesKey;   // "ColorPrimaries"
extern const std::string AVVideoTransferFunctionKey; // "TransferFunction"
extern const std::string AVVideoYCbCrMatrixKey;      // "YCbCrMatrix"
extern const std::string AVVideoColorPrimaries_ITU_R_709_2;    // "ITU_R_709_2"
extern const std::string AVVideoColorPrimaries_SMPTE_C;        // "SMPTE_C"
extern const std::string AVVideoColorPrimaries_ITU_R_2020;     // "ITU_R_2020"
extern const std::string AVVideoTransferFunction_ITU_R_709_2;  // "ITU_R_709_2"
extern const std::string AVVideoTransferFunction_ITU_R_2100_HLG;       // "ITU_R_2100_HLG"
extern const std::string AVVideoTransferFunction_SMPTE_ST_2084_PQ;     // "SMPTE_ST_2084_PQ"
extern const std::string AVVideoYCbCrMatrix_ITU_R_709_2;       // "ITU_R_709_2"
extern const std::string AVVideoYCbCrMatrix_ITU_R_601_4;       // "ITU_R_601_4"
extern const std::string AVVideoYCbCrMatrix_ITU_R_2020;        // "ITU_R_2020"

// Keys that choose the encoder (inside AVVideoEncoderSpecificationKey).
extern const std::string EnableHardwareAcceleratedVideoEncoderKey;  // "EnableHardwareAcceleratedVideoEncoder"
extern const std::string RequireHardwareAcceleratedVideoEncoderKey; // "RequireHardwareAcceleratedVideoEncoder"

// Ours: how hard the software encoder works, at the top level of the output settings.
// "fast" suits previews and intermediates; "balanced" (the default) suits final deliveries.
extern const std::string EncoderSpeedKey;     // "MovaraEncoderSpeed"
extern const std::string EncoderSpeedFast;     // "fast"
extern const std::string EncoderSpeedBalanced; // "balanced"

// Reader output settings: the pixel format of delivered frames, a number (a four-char code
// or 32 for 32-bit ARGB, as media::PixelFormat spells them).
extern const std::string kCVPixelBufferPixelFormatTypeKey; // "PixelFormatType"
extern const std::string kCVPixelBufferWidthKey;           // "Width"
extern const std::string kCVPixelBufferHeightKey;          // "Height"

} // namespace media
