#include "MovaraKit/Cinemagraph/MVRExportSettings.h"

#include <algorithm>
#include <cstdio>

#include "MovaraKit/Media/DeviceCapabilities.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/VideoSettings.h"

namespace {

std::string format(const char* pattern, double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string imageSequenceText(uint64_t type, double quality)
{
    switch (type) {
    case MVRImageSequenceTypePNG: return "PNG";
    case MVRImageSequenceTypeJPEG: return format("JPEG; quality: %f", quality);
    case MVRImageSequenceTypeTIFF: return "TIFF";
    default: return "INVALID";
    }
}

std::string typeText(const MVRExportSettings& s)
{
    switch (s.type()) {
    case MVRRenderTypeH264: return "H264";
    case MVRRenderTypeProRes422: return "ProRes422";
    case MVRRenderTypeProRes4444: return "ProRes4444";
    case MVRRenderTypeGIF: return "GIF";
    case MVRRenderTypeImageSequence:
        return "Image Sequence (" + imageSequenceText(s.imageSequenceType(), s.imageSequenceCompressionQuality()) + ")";
    case MVRRenderTypeHEVC: return "HEVC";
    default: return "INVALID";
    }
}

} // namespace

double MVRScaleConstrainingSizeToSize(graphics::Size size, graphics::Size maxSize)
{
    const bool portrait = size.height > size.width;
    const double shortSide = portrait ? size.width : size.height;
    const double longSide = portrait ? size.height : size.width;
    if (shortSide > maxSize.height || longSide > maxSize.width)
        return std::min(maxSize.height / shortSide, maxSize.width / longSide);
    return 1.0;
}

MVRExportSettingsPtr MVRExportSettings::settingsWithType(uint64_t type, double scale, const media::Time& frameDuration,
                                                         uint64_t repeatCount, uint64_t imageSequenceType,
                                                         double imageSequenceCompressionQuality)
{
    auto settings = std::make_shared<MVRExportSettings>();
    settings->m_type = type;
    settings->m_scale = scale;
    settings->m_frameDuration = frameDuration;
    settings->m_repeatCount = repeatCount;
    settings->m_imageSequenceType = imageSequenceType;
    settings->m_imageSequenceCompressionQuality = imageSequenceCompressionQuality;
    settings->m_self = settings;
    return settings;
}

MVRExportSettingsPtr MVRExportSettings::settingsWithType(uint64_t type, double scale, uint64_t repeatCount)
{
    return settingsWithType(type, scale, media::Time::invalid(), repeatCount, MVRImageSequenceTypeNone, 1.0);
}

MVRExportSettingsPtr MVRExportSettings::uploadSettingsForCinemagraph(const MVRCinemagraph& cinemagraph)
{
    const uint64_t type = DeviceCapabilities::isHEVCEncodingEnabled() ? MVRRenderTypeHEVC : MVRRenderTypeH264;
    return settingsWithType(type, MVRScaleConstrainingSizeToSize(cinemagraph.renderSizeForScale(1.0), {4096, 2160}), 1);
}

std::string MVRExportSettings::fileType() const
{
    switch (m_type) {
    case MVRRenderTypeProRes422:
    case MVRRenderTypeProRes4444: return media::AVFileTypeQuickTimeMovie;
    case MVRRenderTypeGIF: return images::kUTTypeGIF;
    case MVRRenderTypeImageSequence: return images::kUTTypeFolder;
    default: return media::AVFileTypeMPEG4;
    }
}

bool MVRExportSettings::isEqual(const MVRExportSettings& other) const
{
    if (&other == this)
        return true;
    return m_type == other.m_type && m_scale == other.m_scale && media::compare(m_frameDuration, other.m_frameDuration) == 0
        && m_repeatCount == other.m_repeatCount && m_imageSequenceType == other.m_imageSequenceType
        && m_imageSequenceCompressionQuality == other.m_imageSequenceCompressionQuality;
}

std::string MVRExportSettings::description() const
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "<MVRExportSettings: %p; type: %s; fileType: %s; scale: %f; frameDuration: %s; repeatCount: %llu>",
                  static_cast<const void*>(this), typeText(*this).c_str(), fileType().c_str(), m_scale,
                  m_frameDuration.description().c_str(), static_cast<unsigned long long>(m_repeatCount));
    return buffer;
}
