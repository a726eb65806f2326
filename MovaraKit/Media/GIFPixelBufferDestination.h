#pragma once
// A PixelBufferDestination that writes all frames into one animated GIF that loops for ever,
// each frame shown until the next one's presentation time (so uneven frame rates keep their
// timing). Everything runs synchronously on the feeding thread; cancel() may come from any
// thread. The file appears at the output URL only when finishing succeeds.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageDestination.h"

// "MovaraKit.GIFPixelBufferDestination.Error"; codes are the cases' positions.
extern const std::string GIFPixelBufferDestinationErrorDomain;
enum GIFPixelBufferDestinationErrorCode : long {
    GIFPixelBufferDestinationMissingImageBuffer = 0,
    GIFPixelBufferDestinationFailedToCreateCGImageFromPixelBuffer = 1,
    GIFPixelBufferDestinationFailedToCreateImageDestination = 2,
    GIFPixelBufferDestinationFailedToFinalizeImageDestination = 3,
};

class GIFPixelBufferDestination : public PixelBufferDestination {
public:
    static std::shared_ptr<GIFPixelBufferDestination> init(const foundation::URL& outputURL);
    static std::shared_ptr<GIFPixelBufferDestination> initWithOutputURL(const foundation::URL& outputURL)
    {
        return init(outputURL);
    }

    const foundation::URL& outputURL() const { return m_outputURL; }

    // PixelBufferDestination
    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate,
                         foundation::ErrorPtr* error) override;
    bool isReadyForMore() override;
    void startEating(std::function<void()> block) override;
    // A frame is shown until the next one starts, so each frame is written when the next
    // arrives (or at finish, with the gap before it).
    bool eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error) override;
    void finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    void cancel() override;

private:
    explicit GIFPixelBufferDestination(foundation::URL outputURL) : m_outputURL(std::move(outputURL)) { }
    void addImage(const graphics::ImagePtr& image, double delaySeconds);

    struct PendingFrame {
        graphics::ImagePtr image;
        media::Time presentationTime;
    };

    foundation::URL m_outputURL;
    std::optional<PendingFrame> m_pending;
    std::optional<double> m_lastDelay;
    images::ImageDestinationPtr m_imageDestination;
    std::atomic<bool> m_isFinished = false;
    // Bumped by every eat, finish and cancel, so startEating can tell a block that did nothing.
    std::atomic<unsigned long> m_activity = 0;
};
