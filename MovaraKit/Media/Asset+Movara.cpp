#include "MovaraKit/Media/Asset+Movara.h"

#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/VideoSettings.h"

media::AssetTrackPtr mvr_videoTrack(const media::AssetPtr& asset)
{
    if (!asset)
        return nullptr;
    const std::vector<media::AssetTrackPtr> tracks = asset->tracksWithMediaType(media::AVMediaTypeVideo);
    return tracks.empty() ? nullptr : tracks.front();
}

graphics::Size mvr_presentationSize(const media::AssetTrack& track)
{
    const auto& descriptions = track.formatDescriptions();
    if (descriptions.empty() || !descriptions.front())
        return track.naturalSize();
    return descriptions.front()->presentationDimensions(true, true);
}
