#pragma once
// One video frame on its way through the pipeline: an image buffer with its timing and format
// description, plus per-sample attachments. Timing and contents are fixed once made (copies
// take new timing); the attachments are guarded by a lock.

#include "Platform/Foundation/Error.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/Time.h"

#include <memory>
#include <mutex>

namespace media {

struct SampleTimingInfo {
    Time duration = Time::invalid();
    Time presentationTimeStamp = Time::invalid();
    Time decodeTimeStamp = Time::invalid();
};

// Sample attachment keys, with the platform's strings.
extern const std::string kCMSampleAttachmentKey_NotSync;         // "NotSync"
extern const std::string kCMSampleAttachmentKey_DependsOnOthers; // "DependsOnOthers"
extern const std::string kCMSampleAttachmentKey_DisplayImmediately; // "DisplayImmediately"

class SampleBuffer {
public:
    // A ready sample for `imageBuffer`. Fails (nullptr, and `error` filled) when the buffer is
    // missing or `formatDescription` does not match it.
    static std::shared_ptr<SampleBuffer> createForImageBuffer(PixelBufferPtr imageBuffer,
                                                              VideoFormatDescriptionPtr formatDescription,
                                                              const SampleTimingInfo& timing,
                                                              foundation::ErrorPtr* error = nullptr);
    // Also makes the format description from the buffer.
    static std::shared_ptr<SampleBuffer> createForImageBuffer(PixelBufferPtr imageBuffer,
                                                              const SampleTimingInfo& timing,
                                                              foundation::ErrorPtr* error = nullptr);
    // Same image, format and attachments, new timing.
    std::shared_ptr<SampleBuffer> createCopyWithNewTiming(const SampleTimingInfo& timing) const;

    const PixelBufferPtr& imageBuffer() const { return m_imageBuffer; }
    const VideoFormatDescriptionPtr& formatDescription() const { return m_formatDescription; }
    const SampleTimingInfo& timingInfo() const { return m_timing; }
    Time presentationTimeStamp() const { return m_timing.presentationTimeStamp; }
    // No edits are applied to samples here, so the output timing is the sample's own.
    Time outputPresentationTimeStamp() const { return m_timing.presentationTimeStamp; }
    Time decodeTimeStamp() const { return m_timing.decodeTimeStamp; }
    Time duration() const { return m_timing.duration; }
    bool isValid() const { return m_imageBuffer != nullptr; }
    bool dataIsReady() const { return true; }
    size_t numSamples() const { return 1; }

    // Per-sample attachments (sync flags and the like).
    Attachments sampleAttachments() const;
    void setSampleAttachment(const std::string& key, const AttachmentValue& value);
    std::shared_ptr<const AttachmentValue> sampleAttachment(const std::string& key) const;

private:
    SampleBuffer() = default;

    PixelBufferPtr m_imageBuffer;
    VideoFormatDescriptionPtr m_formatDescription;
    SampleTimingInfo m_timing;
    mutable std::mutex m_mutex;
    Attachments m_sampleAttachments;
};

using SampleBufferPtr = std::shared_ptr<SampleBuffer>;

} // namespace media
