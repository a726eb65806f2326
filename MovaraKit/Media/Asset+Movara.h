#pragma once
// The first video track of a movie, as the cinemagraph reader and the uploader look for it.
// Reads the asset's track list (blocking while the file is read the first time); any thread.

#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetTrack.h"

// The first of the asset's tracks of the video media type; none when it has none, when the
// file cannot be read, or for no asset.
media::AssetTrackPtr mvr_videoTrack(const media::AssetPtr& asset);
