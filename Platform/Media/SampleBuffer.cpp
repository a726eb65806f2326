#include "Platform/Media/SampleBuffer.h"

namespace media {

const std::string kCMSampleAttachmentKey_NotSync = "NotSync";
const std::string kCMSampleAttachmentKey_DependsOnOthers = "DependsOnOthers";
const std::string kCMSampleAttachmentKey_DisplayImmediately = "DisplayImmediately";

namespace {

// The platform's codes for these refusals.
constexpr long kSampleBufferRequiredParameterMissing = -12731;
constexpr long kSampleBufferInvalidMediaFormat = -12743;

void fail(foundation::ErrorPtr* error, long code, const std::string& text)
{
    if (error)
        *error = foundation::Error::make(foundation::NSOSStatusErrorDomain, code, text);
}

} // namespace

std::shared_ptr<SampleBuffer> SampleBuffer::createForImageBuffer(PixelBufferPtr imageBuffer,
                                                                 VideoFormatDescriptionPtr formatDescription,
                                                                 const SampleTimingInfo& timing,
                                                                 foundation::ErrorPtr* error)
{
    if (!imageBuffer || !formatDescription) {
        fail(error, kSampleBufferRequiredParameterMissing, "A sample needs an image buffer and a format description.");
        return nullptr;
    }
    if (!formatDescription->matchesImageBuffer(*imageBuffer)) {
        fail(error, kSampleBufferInvalidMediaFormat, "The format description does not describe the image buffer.");
        return nullptr;
    }
    std::shared_ptr<SampleBuffer> sample(new SampleBuffer());
    sample->m_imageBuffer = std::move(imageBuffer);
    sample->m_formatDescription = std::move(formatDescription);
    sample->m_timing = timing;
    return sample;
}

std::shared_ptr<SampleBuffer> SampleBuffer::createForImageBuffer(PixelBufferPtr imageBuffer,
                                                                 const SampleTimingInfo& timing,
                                                                 foundation::ErrorPtr* error)
{
    if (!imageBuffer) {
        fail(error, kSampleBufferRequiredParameterMissing, "A sample needs an image buffer.");
        return nullptr;
    }
    auto description = VideoFormatDescription::createForImageBuffer(*imageBuffer);
    return createForImageBuffer(std::move(imageBuffer), std::move(description), timing, error);
}

std::shared_ptr<SampleBuffer> SampleBuffer::createCopyWithNewTiming(const SampleTimingInfo& timing) const
{
    std::shared_ptr<SampleBuffer> copy(new SampleBuffer());
    copy->m_imageBuffer = m_imageBuffer;
    copy->m_formatDescription = m_formatDescription;
    copy->m_timing = timing;
    copy->m_sampleAttachments = sampleAttachments();
    return copy;
}

Attachments SampleBuffer::sampleAttachments() const
{
    std::lock_guard lock(m_mutex);
    return m_sampleAttachments;
}

void SampleBuffer::setSampleAttachment(const std::string& key, const AttachmentValue& value)
{
    std::lock_guard lock(m_mutex);
    m_sampleAttachments[key] = value;
}

std::shared_ptr<const AttachmentValue> SampleBuffer::sampleAttachment(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_sampleAttachments.find(key);
    return it == m_sampleAttachments.end() ? nullptr : std::make_shared<const AttachmentValue>(it->second);
}

} // namespace media
