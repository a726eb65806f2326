#pragma once
// The frame source of every cinemagraph export: reads the cinemagraph's movie (optionally at a
// fixed frame rate), renders the filter graph for every frame into the buffer the destination
// hands out, and, for the reverse loop, plays the frames forward and then backward.
//
// The reader renders a snapshot of the cinemagraph's filter graph and canvas objects taken
// when it is made, so the host may go on editing while an export runs. A failed read or
// render ends the stream with an error, never with a clean end or a blank frame. Driven by
// one thread at a time (the transcode operation's).
//
// The backward pass starts one frame after the last forward frame and every frame lasts as
// long as in the movie: for frames at 0, f, ..., L (L the last), the backward frames L - f
// down to f are shown at L + f up to 2L - f, so the loop is 2L long and plays on to frame 0
// without a held or repeated frame at either turn; timeRange() says so before reading.
//
// Canvas objects blend in the colour space of the first buffer the destination hands out.
// Frames of non-square pixels are composited at the size they are shown at.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "MovaraKit/Service/MVRError.h"
#include "Platform/Media/AssetReader.h"

class MVRCinemagraphReader : public PixelBufferSource,
                             public PixelBufferSourceInfo,
                             public PixelBufferScribbling,
                             public std::enable_shared_from_this<MVRCinemagraphReader> {
public:
    static std::shared_ptr<MVRCinemagraphReader> initWithCinemagraph(MVRCinemagraphPtr cinemagraph);
    ~MVRCinemagraphReader() override;

    static bool canScribble() { return true; }

    const MVRCinemagraphPtr& cinemagraph() const { return m_cinemagraph; }
    double scale() const { return m_scale; }
    // Before reading only (NSInternalInconsistencyException after): clamped to 0...1.
    void setScale(double scale);
    const media::Time& frameDuration() const { return m_frameDuration; }
    // Before reading only; a time that is not numeric is ignored.
    void setFrameDuration(const media::Time& duration);
    // 0 not started, 1 forward, 2 backward, 3 finished.
    int state() const { return m_state; }
    // The snapshot of the cinemagraph's graph that this reader renders.
    const MVRFilterGraphPtr& filterGraph() const { return m_graph; }

    // PixelBufferSource
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override;
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    // PixelBufferSourceInfo
    graphics::Size size() override;
    media::TimeRange timeRange() override;
    graphics::AffineTransform transform() override { return graphics::AffineTransform::identity(); }
    // PixelBufferScribbling
    media::Time scribbleOnPixelBuffer(const media::PixelBufferPtr& pixelBuffer, bool* finished,
                                      foundation::ErrorPtr* error) override;

    // The next source frame of the current pass, or none (at the end, or with `error`).
    media::SampleBufferPtr copyNextSourceSampleBuffer(foundation::ErrorPtr* error);

    explicit MVRCinemagraphReader(MVRCinemagraphPtr cinemagraph);

private:
    struct LoopTime {
        media::Time sourceTime;
        media::Time presentationTime;
    };

    bool setUp(foundation::ErrorPtr* error);
    media::AssetReaderOutputPtr makeReaderOutput(const media::AssetPtr& asset);
    media::SampleBufferPtr copyNextForwardSample(foundation::ErrorPtr* error);
    media::SampleBufferPtr copyNextReverseSample(foundation::ErrorPtr* error);
    // The length of one output frame, when it can be known before reading.
    media::Time frameStep() const;
    static graphics::FilterImagePtr rotatedImage(const graphics::FilterImagePtr& image, const graphics::AffineTransform& transform);

    MVRCinemagraphPtr m_cinemagraph;
    MVRFilterGraphPtr m_graph; // the snapshot that is rendered
    double m_scale = 1.0;
    media::Time m_frameDuration = media::Time::invalid();
    int m_state = 0;
    media::AssetReaderPtr m_reader;
    media::AssetReaderOutputPtr m_output;
    std::vector<LoopTime> m_loopTimes;
    bool m_reverseListMade = false;
    size_t m_reverseNext = 0;
    bool m_shouldApplyVideoTransform = true;
    bool m_hasSetBlendColorSpace = false;
    // Where frames are read as stored, the size they are shown at (pixels may not be square).
    std::optional<graphics::Size> m_storedFrameShownSize;
};
