#include "Quintor/ExportSettingsController.h"

#include <algorithm>

#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MovieFormat.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Media/VideoSettings.h"
#include "Quintor/DurationFormatter.h"

namespace {

// H.264 in MPEG-4 is limited to this many pixels on the long and the short side.
constexpr double kH264LongSide = 4096.0;
constexpr double kH264ShortSide = 2160.0;

} // namespace

std::shared_ptr<ExportSettingsController> ExportSettingsController::init()
{
    return std::shared_ptr<ExportSettingsController>(new ExportSettingsController());
}

ExportSettingsController::ExportSettingsController()
    : m_isHEVCEncodingEnabled(DeviceCapabilities::isHEVCEncodingEnabled())
    , m_videoCodec(media::AVVideoCodecTypeH264)
    , m_fileFormatUTI(media::AVFileTypeMPEG4)
{
}

template <class T> void ExportSettingsController::change(const char* key, T& field, T value)
{
    willChange(key);
    field = std::move(value);
    didChange(key);
}

void ExportSettingsController::setFormatTag(FormatTag tag)
{
    change("formatTag", m_formatTag, tag);
    // Any other item stands for the MPEG-4 one, H.264.
    const MovieFormat* format = MovieFormatForSettingsTag(tag);
    if (!format)
        format = MovieFormatForCodec(media::AVVideoCodecTypeH264);
    m_videoCodec = format->codec;
    m_fileFormatUTI = format->fileType;
    // H.264 is size-limited: the scale shown (and applied) follows the choice at once, not
    // only at the next opening of the sheet.
    setScale(format->code == MVRVideoCodecH264 ? h264Scale(m_size) : 1.0);
}

void ExportSettingsController::setFpsTag(FpsTag tag)
{
    change("fpsTag", m_fpsTag, tag);
}

void ExportSettingsController::setScale(double scale)
{
    m_scale = scale;
    refreshSizeInfo();
}

void ExportSettingsController::refreshSizeInfo()
{
    // A scale that is not a number counts as a change of size.
    const bool same = m_scale == 1.0;
    change("sizeInfoString", m_sizeInfoString,
           same ? foundation::localized("Your timelapse will be exported at the same size as the original images.", "information")
                : foundation::localized("Your timelapse will be exported at a smaller size than the original images because of "
                                        "limitations in H.264 (MP4).",
                                        "information"));
}

media::Time ExportSettingsController::frameDuration() const
{
    static constexpr double rates[] = { 24.0, 25.0, 30.0 };
    if (m_fpsTag < FpsTag::fps24 || m_fpsTag > FpsTag::fps30)
        return media::Time::invalid();
    const auto index = static_cast<unsigned long>(m_fpsTag) - static_cast<unsigned long>(FpsTag::fps24);
    return media::Time::makeWithSeconds(1.0 / rates[index], 600);
}

double ExportSettingsController::h264Scale(graphics::Size size)
{
    const double shortSide = std::min(size.width, size.height);
    const double longSide = std::max(size.width, size.height);
    if (longSide > kH264LongSide || shortSide > kH264ShortSide)
        return std::min(kH264ShortSide / shortSide, kH264LongSide / longSide);
    return 1.0;
}

void ExportSettingsController::refreshFrameRateOptions()
{
    if (m_fpsTag == FpsTag::none)
        setFpsTag(FpsTag::current);
    const double fps = m_fpsProvider ? m_fpsProvider() : 30.0;
    change("hideFPS24", m_hideFPS24, fps == 24.0);
    change("hideFPS25", m_hideFPS25, fps == 25.0);
    change("hideFPS30", m_hideFPS30, fps == 30.0);
    std::string label;
    if (auto text = frameRateString(fps, DurationFormatter::currentLocaleDecimalSeparator())) {
        label = foundation::localized("Current (%@ FPS)", "fps popup item");
        const auto at = label.find("%@");
        if (at != std::string::npos)
            label.replace(at, 2, *text);
    } else {
        label = foundation::localized("Current", "fps popup item");
    }
    change("fpsCurrentLabel", m_fpsCurrentLabel, label);
}

void ExportSettingsController::beginSheetWithCompletionHandler(CompletionHandler handler)
{
    refreshFrameRateOptions();
    if (m_formatTag == FormatTag::h264)
        setScale(h264Scale(m_size));
    else
        refreshSizeInfo();
    SheetController::beginSheetWithCompletionHandler(std::move(handler));
}

const foundation::KeyTable& ExportSettingsController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("isHEVCEncodingEnabled", &ExportSettingsController::isHEVCEncodingEnabled)
            .key("formatTag", &ExportSettingsController::formatTag, &ExportSettingsController::setFormatTag)
            .key("fpsTag", &ExportSettingsController::fpsTag, &ExportSettingsController::setFpsTag)
            .key("hideFPS24", &ExportSettingsController::hideFPS24)
            .key("hideFPS25", &ExportSettingsController::hideFPS25)
            .key("hideFPS30", &ExportSettingsController::hideFPS30)
            .key("fpsCurrentLabel", &ExportSettingsController::fpsCurrentLabel)
            .key("sizeInfoString", &ExportSettingsController::sizeInfoString);
        return t;
    }();
    return table;
}
