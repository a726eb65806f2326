#include "Platform/Media/VideoSettings.h"

namespace media {

const std::string AVFileTypeQuickTimeMovie = "com.apple.quicktime-movie";
const std::string AVFileTypeMPEG4 = "public.mpeg-4";
const std::string AVFileTypeAppleM4V = "com.apple.m4v-video";

const std::string AVMediaTypeVideo = "vide";
const std::string AVMediaTypeAudio = "soun";

const std::string AVVideoCodecKey = "AVVideoCodecKey";
const std::string AVVideoWidthKey = "AVVideoWidthKey";
const std::string AVVideoHeightKey = "AVVideoHeightKey";
const std::string AVVideoScalingModeKey = "AVVideoScalingModeKey";
const std::string AVVideoCompressionPropertiesKey = "AVVideoCompressionPropertiesKey";
const std::string AVVideoColorPropertiesKey = "AVVideoColorPropertiesKey";
const std::string AVVideoEncoderSpecificationKey = "AVVideoEncoderSpecificationKey";

const std::string AVVideoCodecTypeH264 = "avc1";
const std::string AVVideoCodecTypeHEVC = "hvc1";
const std::string AVVideoCodecTypeAppleProRes422 = "apcn";
const std::string AVVideoCodecTypeAppleProRes4444 = "ap4h";

const std::string AVVideoScalingModeFit = "AVVideoScalingModeFit";
const std::string AVVideoScalingModeResize = "AVVideoScalingModeResize";
const std::string AVVideoScalingModeResizeAspect = "AVVideoScalingModeResizeAspect";
const std::string AVVideoScalingModeResizeAspectFill = "AVVideoScalingModeResizeAspectFill";

const std::string AVVideoAverageBitRateKey = "AverageBitRate";
const std::string AVVideoMaxKeyFrameIntervalKey = "MaxKeyFrameInterval";
const std::string AVVideoAllowFrameReorderingKey = "AllowFrameReordering";
const std::string AVVideoExpectedSourceFrameRateKey = "ExpectedFrameRate";
const std::string AVVideoProfileLevelKey = "ProfileLevel";
const std::string AVVideoQualityKey = "Quality";

const std::string AVVideoProfileLevelH264BaselineAutoLevel = "H264_Baseline_AutoLevel";
const std::string AVVideoProfileLevelH264MainAutoLevel = "H264_Main_AutoLevel";
const std::string AVVideoProfileLevelH264HighAutoLevel = "H264_High_AutoLevel";
const std::string kVTProfileLevel_HEVC_Main_AutoLevel = "HEVC_Main_AutoLevel";
const std::string kVTProfileLevel_HEVC_Main10_AutoLevel = "HEVC_Main10_AutoLevel";

const std::string AVVideoColorPrimariesKey = "ColorPrimaries";
const std::string AVVideoTransferFunctionKey = "TransferFunction";
const std::string AVVideoYCbCrMatrixKey = "YCbCrMatrix";
const std::string AVVideoColorPrimaries_ITU_R_709_2 = "ITU_R_709_2";
const std::string AVVideoColorPrimaries_SMPTE_C = "SMPTE_C";
const std::string AVVideoColorPrimaries_ITU_R_2020 = "ITU_R_2020";
const std::string AVVideoTransferFunction_ITU_R_709_2 = "ITU_R_709_2";
const std::string AVVideoTransferFunction_ITU_R_2100_HLG = "ITU_R_2100_HLG";
const std::string AVVideoTransferFunction_SMPTE_ST_2084_PQ = "SMPTE_ST_2084_PQ";
const std::string AVVideoYCbCrMatrix_ITU_R_709_2 = "ITU_R_709_2";
const std::string AVVideoYCbCrMatrix_ITU_R_601_4 = "ITU_R_601_4";
const std::string AVVideoYCbCrMatrix_ITU_R_2020 = "ITU_R_2020";

const std::string EnableHardwareAcceleratedVideoEncoderKey = "EnableHardwareAcceleratedVideoEncoder";
const std::string RequireHardwareAcceleratedVideoEncoderKey = "RequireHardwareAcceleratedVideoEncoder";

const std::string EncoderSpeedKey = "MovaraEncoderSpeed";
const std::string EncoderSpeedFast = "fast";
const std::string EncoderSpeedBalanced = "balanced";

const std::string kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";
const std::string kCVPixelBufferWidthKey = "Width";
const std::string kCVPixelBufferHeightKey = "Height";

} // namespace media
