#pragma once
// The movie reader: a PixelBufferSource over the first video track of a movie, decoded as it
// is or rendered through a video composition, delivered as bi-planar 4:2:0 video-range frames.
// Single-use. The load handler runs on the asset's loading thread; the source is then used by
// one thread at a time. A read failure in the middle of the movie is reported as an error,
// never as the end of the movie.

#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/AssetReaderOutput.h"
#include "Platform/Media/VideoComposition.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

// "MovaraKit.AssetReaderPixelBufferSource.Error", codes 0 to 2.
extern const std::string AssetReaderPixelBufferSourceErrorDomain;
enum AssetReaderPixelBufferSourceErrorCode : long {
    AssetReaderPixelBufferSourceNoVideoTrack = 0,
    AssetReaderPixelBufferSourceCantAddReaderTrackOutput = 1,
    AssetReaderPixelBufferSourceReaderFailedToStart = 2,
};

class AssetReaderPixelBufferSource : public PixelBufferSource,
                                     public PixelBufferSourceInfo,
                                     public std::enable_shared_from_this<AssetReaderPixelBufferSource> {
public:
    static std::shared_ptr<AssetReaderPixelBufferSource> init(media::AssetPtr asset,
                                                              std::optional<media::VideoComposition> videoComposition = {});
    static std::shared_ptr<AssetReaderPixelBufferSource> initWithAsset(
        media::AssetPtr asset, std::optional<media::VideoComposition> videoComposition = {})
    {
        return init(std::move(asset), std::move(videoComposition));
    }
    // Stops any loading of the asset still in progress.
    ~AssetReaderPixelBufferSource() override;

    const media::AssetPtr& asset() const { return m_asset; }
    const std::optional<media::VideoComposition>& videoComposition() const { return m_videoComposition; }
    // Set before loading to read only part of the movie; when still invalid at load it becomes
    // the span of the video track's edits, from zero.
    void setTimeRange(const media::TimeRange& range);
    media::AssetTrackPtr videoTrack() const;
    media::AssetReaderPtr reader() const;

    // PixelBufferSource
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override;
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override;

    // PixelBufferSourceInfo, valid after a successful load: the video track's encoded size and
    // preferred transform (also when frames come through a composition).
    graphics::Size size() override;
    media::TimeRange timeRange() override;
    graphics::AffineTransform transform() override;

private:
    AssetReaderPixelBufferSource(media::AssetPtr asset, std::optional<media::VideoComposition> videoComposition);
    foundation::ErrorPtr setUp();

    mutable std::mutex m_mutex;
    media::AssetPtr m_asset;
    media::TimeRange m_timeRange = media::TimeRange::invalid();
    media::AssetTrackPtr m_videoTrack;
    media::AssetReaderPtr m_reader;
    media::AssetReaderOutputPtr m_output;
    std::optional<media::VideoComposition> m_videoComposition;
};
