#include "MovaraKit/Media/Asset+Movara.h"

#include "Platform/Media/VideoSettings.h"

media::AssetTrackPtr mvr_videoTrack(const media::AssetPtr& asset)
{
    if (!asset)
        return nullptr;
    const std::vector<media::AssetTrackPtr> tracks = asset->tracksWithMediaType(media::AVMediaTypeVideo);
    return tracks.empty() ? nullptr : tracks.front();
}
