#pragma once
// A frame source over an ordered list of still images: frame i is image i at i x frameDuration,
// the first image's orientation is the stream's transform and its pixel size the stream's size.
// Images are decoded ahead on the global queues, a few frames at a time and in order, so the
// writer sets the pace and memory stays bounded however long the sequence. An image that
// does not decode ends the stream with an error naming the file. One caller thread at a time.

#include <memory>
#include <optional>
#include <vector>

#include "MovaraKit/Media/MVRImageSource.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/PixelBuffer.h"

// Draws `image` into a new 32ARGB buffer (X, R, G, B) of its pixel size, owned by the caller.
// RGB images keep their colour space, others are converted to generic RGB; the space's ICC
// profile is attached (propagating). Null for a missing or empty image.
media::PixelBufferPtr MVRCreate32ARGBPixelBufferWithCGImage(const graphics::ImagePtr& image);

class MVRImageSequencePixelBufferSource : public PixelBufferSource,
                                          public PixelBufferSourceInfo,
                                          public std::enable_shared_from_this<MVRImageSequencePixelBufferSource> {
public:
    static std::shared_ptr<MVRImageSequencePixelBufferSource> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources);
    ~MVRImageSequencePixelBufferSource() override;

    const std::vector<MVRImageSourcePtr>& imageSources() const { return m_imageSources; }

    // A factor in (0, 1) renders every frame at that fraction of the first image's size,
    // decoding with the JPEG decoder's DCT scaling; 0 (the default) or 1 keeps full size.
    double scale() const { return m_scale; }
    void setScale(double scale) { m_scale = scale; }
    // The bytes that images decoded ahead may hold at once (decoded pixels and frames); a
    // frame that needs more is decoded only when no other is in flight. Set before the first
    // frame is taken.
    size_t decodeAheadBudget() const { return m_decodeAheadBudget; }
    void setDecodeAheadBudget(size_t bytes) { m_decodeAheadBudget = bytes; }
    // The most bytes frames decoded ahead have held at once so far.
    size_t peakBytesInFlight() const;
    // Set before the first frame is taken; invalid until then.
    media::Time frameDuration() const { return m_frameDuration; }
    void setFrameDuration(const media::Time& duration) { m_frameDuration = duration; }

    // PixelBufferSource: loading decodes the first frame (it sizes the movie) and fails with
    // the reason, naming the photo, when it doesn't decode.
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override;
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override;

    // PixelBufferSourceInfo: the first frame's size (zero when there is none or it does not
    // decode), (0, frameDuration x count), and the first image's orientation as a rotation.
    graphics::Size size() override;
    media::TimeRange timeRange() override;
    graphics::AffineTransform transform() override;
    // JPEG photos of the movie's shape then stream straight into frames of that format (at
    // most a strip of each is held as it decodes); other images are drawn as before.
    void setPreferredFrameFormat(const media::AssetWriterInput::NativeFrameFormat& format) override;

    struct Pipeline;

private:
    explicit MVRImageSequencePixelBufferSource(std::vector<MVRImageSourcePtr> imageSources);
    Pipeline& pipeline();

    std::optional<graphics::AffineTransform> m_transform;
    int64_t m_idx = 0;
    std::optional<graphics::Size> m_size;
    std::vector<MVRImageSourcePtr> m_imageSources;
    double m_scale = 0;
    size_t m_decodeAheadBudget;
    media::Time m_frameDuration = media::Time::invalid();
    std::shared_ptr<Pipeline> m_pipeline;
    foundation::ErrorPtr m_failure; // once set, the stream has ended with it
};
