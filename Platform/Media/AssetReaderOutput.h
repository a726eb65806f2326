#pragma once
// The outputs of an AssetReader: decoded frames of one track, or frames rendered through a
// video composition. Output settings give "PixelFormatType" (420v, 32ARGB or BGRA as numbers)
// and optionally "Width"/"Height" to scale to. Used by one thread at a time.

#include "Platform/Foundation/Value.h"
#include "Platform/Media/AssetTrack.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Media/VideoComposition.h"

#include <memory>
#include <string>
#include <vector>

namespace media {

class AssetReader;

class AssetReaderOutput {
public:
    virtual ~AssetReaderOutput();

    const std::string& mediaType() const { return m_mediaType; }
    const foundation::Value& outputSettings() const { return m_settings; }

    // The next frame, owned by the caller, or nullptr at the end, after a failure (the reader's
    // status says which) or before the reader started.
    SampleBufferPtr copyNextSampleBuffer();

    struct Impl;
    Impl& impl() const { return *m_impl; }

protected:
    AssetReaderOutput() = default;
    std::string m_mediaType;
    foundation::Value m_settings;
    std::unique_ptr<Impl> m_impl;
};

using AssetReaderOutputPtr = std::shared_ptr<AssetReaderOutput>;

class AssetReaderTrackOutput : public AssetReaderOutput {
public:
    // Throws NSInvalidArgumentException for a non-video track or unsupported settings.
    static std::shared_ptr<AssetReaderTrackOutput> assetReaderTrackOutputWithTrack(const AssetTrackPtr& track,
                                                                                   const foundation::Value& outputSettings);
    const AssetTrackPtr& track() const;
};

class AssetReaderVideoCompositionOutput : public AssetReaderOutput {
public:
    // Throws NSInvalidArgumentException for no tracks or unsupported settings.
    static std::shared_ptr<AssetReaderVideoCompositionOutput> assetReaderVideoCompositionOutputWithVideoTracks(
        const std::vector<AssetTrackPtr>& videoTracks, const foundation::Value& videoSettings);
    const std::vector<AssetTrackPtr>& videoTracks() const;
    const VideoComposition& videoComposition() const;
    // Set before the reader starts; a composition whose frame duration or render size is not
    // positive makes startReading fail.
    void setVideoComposition(const VideoComposition& composition);
};

} // namespace media
