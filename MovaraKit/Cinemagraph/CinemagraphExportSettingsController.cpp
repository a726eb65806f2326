#include "MovaraKit/Cinemagraph/CinemagraphExportSettingsController.h"

#include <algorithm>
#include <cmath>

#include "MovaraKit/Media/Asset+Movara.h"

std::shared_ptr<CinemagraphExportSettingsController>
CinemagraphExportSettingsController::initWithCinemagraph(MVRCinemagraphPtr cinemagraph, const media::Time& estimatedDuration)
{
    auto controller = std::make_shared<CinemagraphExportSettingsController>();
    controller->m_cinemagraph = std::move(cinemagraph);
    controller->m_estimatedDuration = estimatedDuration;
    controller->m_unscaledRenderSize = controller->m_cinemagraph->renderSizeForScale(1.0);
    return controller;
}

void CinemagraphExportSettingsController::setScale(double scale)
{
    store("scale", m_scale, std::max(0.1, std::min(1.0, scale)));
}

int64_t CinemagraphExportSettingsController::width() const
{
    return int64_t(std::trunc(m_cinemagraph->renderSizeForScale(m_scale).width));
}

int64_t CinemagraphExportSettingsController::height() const
{
    return int64_t(std::trunc(m_cinemagraph->renderSizeForScale(m_scale).height));
}

void CinemagraphExportSettingsController::setWidth(int64_t width)
{
    setScale(double(width) / m_unscaledRenderSize.width);
}

void CinemagraphExportSettingsController::setHeight(int64_t height)
{
    setScale(double(height) / m_unscaledRenderSize.height);
}

void CinemagraphExportSettingsController::setFormat(uint64_t format)
{
    if (format == m_format)
        return;
    const uint64_t previous = m_format;
    store("format", m_format, format);
    if (previous == MVRRenderTypeGIF)
        setScale(1.0);
    if (format == MVRRenderTypeGIF) {
        setScale(0.25);
        setRepeatCount(1);
    }
    if (format == MVRRenderTypeImageSequence)
        setRepeatCount(1);
}

void CinemagraphExportSettingsController::setRepeatCount(uint64_t count)
{
    store("repeatCount", m_repeatCount, count);
}

void CinemagraphExportSettingsController::setFrameDuration(const media::Time& duration)
{
    store("frameDuration", m_frameDuration, duration);
}

void CinemagraphExportSettingsController::setImageSequenceType(uint64_t type)
{
    store("imageSequenceType", m_imageSequenceType, type);
}

void CinemagraphExportSettingsController::setImageSequenceCompressionQuality(double quality)
{
    store("imageSequenceCompressionQuality", m_imageSequenceCompressionQuality, quality);
}

uint64_t CinemagraphExportSettingsController::imageSequenceFrameCount() const
{
    double frame = 0;
    if (m_frameDuration.isValid()) {
        frame = m_frameDuration.seconds();
    } else if (auto track = mvr_videoTrack(m_cinemagraph->asset())) {
        frame = track->nominalFrameRate() > 0 ? 1.0 / track->nominalFrameRate() : 0;
    }
    const double count = std::ceil(m_estimatedDuration.seconds() / frame);
    // No frame rate to count by gives no frames rather than an endless count.
    if (!(frame > 0) || !std::isfinite(count) || count < 0)
        return 0;
    return uint64_t(count);
}

void CinemagraphExportSettingsController::applyPreset(const MVRExportPreset& preset)
{
    if (preset.format == MVRExportPreset::Format::h264)
        setFormat(MVRRenderTypeH264);
    else if (preset.format == MVRExportPreset::Format::hevc)
        setFormat(MVRRenderTypeHEVC);
    if (preset.fps == MVRExportPreset::FPS::source)
        setFrameDuration(media::Time::invalid());
    else if (preset.fps == MVRExportPreset::FPS::fps30)
        setFrameDuration(media::Time::make(1, 30));
    setScale(preset.scaleForSize(m_unscaledRenderSize));
    setRepeatCount(preset.repeatCountFor(m_estimatedDuration.seconds()));
}

MVRExportSettingsPtr CinemagraphExportSettingsController::exportSettings() const
{
    return MVRExportSettings::settingsWithType(m_format, m_scale, m_frameDuration, m_repeatCount, m_imageSequenceType,
                                               m_imageSequenceCompressionQuality);
}

void CinemagraphExportSettingsController::setNilValueForKey(const std::string& key)
{
    if (key == "scale" || key == "width" || key == "height") {
        setScale(1.0);
        return;
    }
    throw foundation::Exception(foundation::NSInvalidArgumentException,
                                "[<CinemagraphExportSettingsController> setNilValueForKey]: could not set nil as the value for the key " + key + ".");
}

const foundation::KeyTable& CinemagraphExportSettingsController::observableKeys() const
{
    using C = CinemagraphExportSettingsController;
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("scale", &C::scale, &C::setScale)
            .key("width", &C::width, &C::setWidth)
            .key("height", &C::height, &C::setHeight)
            .key("format", &C::format, &C::setFormat)
            .key("repeatCount", &C::repeatCount, &C::setRepeatCount)
            .key("frameDuration", &C::frameDuration, &C::setFrameDuration)
            .key("imageSequenceType", &C::imageSequenceType, &C::setImageSequenceType)
            .key("imageSequenceCompressionQuality", &C::imageSequenceCompressionQuality,
                 &C::setImageSequenceCompressionQuality)
            .key("imageSequenceFrameCount", &C::imageSequenceFrameCount)
            .key("exportSettings", &C::exportSettings);
        t.affecting("scale", {"width", "height"});
        t.affecting("width", {"scale", "height"});
        t.affecting("height", {"scale", "width"});
        t.affecting("imageSequenceFrameCount", {"frameDuration"});
        return t;
    }();
    return table;
}
