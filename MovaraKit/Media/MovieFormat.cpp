#include "MovaraKit/Media/MovieFormat.h"

#include "Platform/Foundation/StringUtils.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>

const std::vector<MovieFormat>& MovieFormats()
{
    using P = MoviePixelBufferDestinationPreset;
    using Tag = MovieFormat::SettingsTag;
    static const std::vector<MovieFormat> formats = {
        {"h264", media::AVVideoCodecTypeH264, MVRVideoCodecH264, P::h264, media::AVFileTypeMPEG4, "mp4", Tag::h264},
        {"prores422", media::AVVideoCodecTypeAppleProRes422, MVRVideoCodecAppleProRes422, P::proRes422,
         media::AVFileTypeQuickTimeMovie, "mov", Tag::proRes422},
        {"prores4444", media::AVVideoCodecTypeAppleProRes4444, MVRVideoCodecAppleProRes4444, P::proRes4444,
         media::AVFileTypeQuickTimeMovie, "mov", Tag::proRes4444},
        {"hevc", media::AVVideoCodecTypeHEVC, MVRVideoCodecHEVC, P::hevc, media::AVFileTypeMPEG4, "mp4", Tag::hevc},
    };
    return formats;
}

namespace {

template <class Matches> const MovieFormat* find(Matches matches)
{
    const auto& formats = MovieFormats();
    auto it = std::find_if(formats.begin(), formats.end(), matches);
    return it == formats.end() ? nullptr : &*it;
}

} // namespace

const MovieFormat* MovieFormatForCodec(const std::string& codec)
{
    return find([&](const MovieFormat& f) { return f.codec == codec; });
}

const MovieFormat* MovieFormatForCode(long code)
{
    return find([&](const MovieFormat& f) { return f.code == code; });
}

const MovieFormat* MovieFormatNamed(const std::string& name)
{
    return find([&](const MovieFormat& f) { return f.name == name; });
}

const MovieFormat* MovieFormatForSettingsTag(MovieFormat::SettingsTag tag)
{
    return find([&](const MovieFormat& f) { return f.settingsTag == tag; });
}

std::string MovieFileTypeForExtension(const MovieFormat& format, const std::string& extension)
{
    if (format.fileType == media::AVFileTypeMPEG4 && foundation::asciiLowercase(extension) == "mov")
        return media::AVFileTypeQuickTimeMovie;
    return format.fileType;
}
