#pragma once
// A PixelBufferDestination that writes every frame as a numbered still image ("image 0000.png",
// "image 0001.png", ...) into one folder, as PNG, JPEG or TIFF. Frames are encoded on a
// concurrent queue, at most 8 at a time: eating blocks the feeding thread beyond that, and
// finishing waits for every write. An existing folder is written into: a frame replaces only
// the file of its own name, each in one atomic rename. Until finishing succeeds the replaced
// files are kept aside, so a cancel (from any thread), a failure or a writer dropped midway
// puts them back and removes only what this writer added (and folders it made).

#include <atomic>
#include <memory>
#include <string>

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Foundation/URL.h"

// "MovaraKit.ImageSequencePixelBufferDestination.Error"
extern const std::string ImageSequencePixelBufferDestinationErrorDomain;
enum ImageSequencePixelBufferDestinationErrorCode : long {
    ImageSequencePixelBufferDestinationMissingImageBuffer = 0,
    ImageSequencePixelBufferDestinationFailedToCreateImage = 1,
    ImageSequencePixelBufferDestinationFailedToWriteImage = 2, // the image destination's error underneath
    ImageSequencePixelBufferDestinationNotWriting = 3,         // eaten after finish or cancel
};

class ImageSequencePixelBufferDestination : public PixelBufferDestination {
public:
    static constexpr long maximumWritesInFlight = 8;
    static const std::string ioQueueLabel; // "com.movara.MovaarKit.ImageSequencePixelBufferDestination.ioQueue"

    // `imageType` must be public.png, public.jpeg or public.tiff and `outputURL` a file URL (the
    // folder): anything else is a programming error and stops the process.
    static std::shared_ptr<ImageSequencePixelBufferDestination> init(const std::string& imageType,
                                                                     double lossyCompressionQuality,
                                                                     const foundation::URL& outputURL);
    static std::shared_ptr<ImageSequencePixelBufferDestination> initWithImageType(const std::string& imageType,
                                                                                  double lossyCompressionQuality,
                                                                                  const foundation::URL& outputURL)
    {
        return init(imageType, lossyCompressionQuality, outputURL);
    }
    ~ImageSequencePixelBufferDestination() override;

    const std::string& imageType() const { return m_imageType; }
    double imageLossyCompressionQuality() const { return m_imageLossyCompressionQuality; }
    const foundation::URL& outputURL() const { return m_outputURL; }
    // The file of frame `index`: "image %04lu" and the type's extension, inside outputURL().
    foundation::URL fileURLForFrame(unsigned long index) const;

    // PixelBufferDestination
    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate,
                         foundation::ErrorPtr* error) override;
    bool isReadyForMore() override;
    void startEating(std::function<void()> block) override;
    // Fails at once when an earlier frame could not be written, so a full disk stops the job.
    bool eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error) override;
    // Waits for every write; reports the first frame that failed, if any.
    void finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    void cancel() override;

    struct Output; // what the writes share with the writer: frames written, files kept aside, folders made, first error

private:
    ImageSequencePixelBufferDestination(std::string imageType, double quality, foundation::URL outputURL);

    std::string m_imageType;
    double m_imageLossyCompressionQuality = 0;
    foundation::URL m_outputURL;
    std::string m_imageFileExtension;
    std::atomic<bool> m_isFinished = false;
    unsigned long m_count = 0;
    dispatch::SemaphorePtr m_semaphore;
    dispatch::QueuePtr m_ioQueue;
    dispatch::GroupPtr m_group;
    std::shared_ptr<Output> m_output;
    // Bumped by every eat, finish and cancel, so startEating can tell a block that did nothing.
    std::atomic<unsigned long> m_activity = 0;
};
