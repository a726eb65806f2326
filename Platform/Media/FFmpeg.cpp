#include "Platform/Media/FFmpeg.h"

#include "Platform/Media/MediaError.h"

#include <mutex>

namespace media {

const std::string AVFoundationErrorDomain = "AVFoundationErrorDomain";

foundation::ErrorPtr makeMediaError(long code, const std::string& description, const std::string& reason,
                                    int ffmpegCode)
{
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = description;
    if (!reason.empty())
        info[foundation::NSLocalizedFailureReasonErrorKey].text = reason;
    if (ffmpegCode != 0)
        info[foundation::NSUnderlyingErrorKey].error
            = foundation::Error::make(foundation::NSOSStatusErrorDomain, ffmpegCode, ff::errorString(ffmpegCode));
    return foundation::Error::make(AVFoundationErrorDomain, code, std::move(info));
}

namespace ff {

std::string errorString(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void configureLogging()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace ff
} // namespace media
