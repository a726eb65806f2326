#pragma once
// The first video track of a movie, as the cinemagraph reader and the uploader look for it,
// and the size its picture is shown at.
// Reads the asset's track list (blocking while the file is read the first time); any thread.

#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetTrack.h"

// The first of the asset's tracks of the video media type; none when it has none, when the
// file cannot be read, or for no asset.
media::AssetTrackPtr mvr_videoTrack(const media::AssetPtr& asset);

// The size the track's frames are shown at: its first format description's dimensions with
// the pixel aspect ratio (and clean aperture) applied, so pixels stored twice as wide as tall
// double the width; the natural (stored) size when the track describes no format.
graphics::Size mvr_presentationSize(const media::AssetTrack& track);
