#include "Platform/Media/FormatDescription.h"

#include <limits>

namespace media {

const std::string kCMFormatDescriptionExtension_ColorPrimaries = "CVImageBufferColorPrimaries";
const std::string kCMFormatDescriptionExtension_TransferFunction = "CVImageBufferTransferFunction";
const std::string kCMFormatDescriptionExtension_YCbCrMatrix = "CVImageBufferYCbCrMatrix";
const std::string kCMFormatDescriptionExtension_ICCProfile = "CVImageBufferICCProfile";
const std::string kCMFormatDescriptionKey_PixelAspectRatioHorizontalSpacing = "HorizontalSpacing";
const std::string kCMFormatDescriptionKey_PixelAspectRatioVerticalSpacing = "VerticalSpacing";

namespace {

const std::string* const kColourKeys[] = {
    &kCVImageBufferColorPrimariesKey,
    &kCVImageBufferTransferFunctionKey,
    &kCVImageBufferYCbCrMatrixKey,
    &kCVImageBufferICCProfileKey,
};

// The colour tags of a buffer, whichever way they were attached: a buffer tagged only for
// itself is still in that colour space, and its description must say so.
Attachments colourExtensionsOf(const PixelBuffer& buffer)
{
    Attachments out;
    for (const std::string* key : kColourKeys)
        if (auto value = buffer.attachment(*key))
            out[*key] = *value;
    return out;
}

} // namespace

std::shared_ptr<const VideoFormatDescription> VideoFormatDescription::create(CodecType codecType, int32_t width,
                                                                             int32_t height,
                                                                             const Attachments& extensions)
{
    if (width < 0 || height < 0)
        return nullptr;
    std::shared_ptr<VideoFormatDescription> d(new VideoFormatDescription());
    d->m_codecType = codecType;
    d->m_dimensions = {width, height};
    d->m_extensions = extensions;
    return d;
}

std::shared_ptr<const VideoFormatDescription> VideoFormatDescription::createForImageBuffer(const PixelBuffer& imageBuffer)
{
    constexpr size_t kMax = std::numeric_limits<int32_t>::max();
    if (imageBuffer.width() > kMax || imageBuffer.height() > kMax)
        return nullptr;
    return create(imageBuffer.pixelFormatType(), static_cast<int32_t>(imageBuffer.width()),
                  static_cast<int32_t>(imageBuffer.height()), colourExtensionsOf(imageBuffer));
}

const AttachmentValue* VideoFormatDescription::extension(const std::string& key) const
{
    auto it = m_extensions.find(key);
    return it == m_extensions.end() ? nullptr : &it->second;
}

graphics::Size VideoFormatDescription::presentationDimensions(bool usePixelAspectRatio, bool) const
{
    graphics::Size size = graphics::Size::make(m_dimensions.width, m_dimensions.height);
    if (!usePixelAspectRatio)
        return size;
    const auto* h = std::get_if<int64_t>(extension(kCMFormatDescriptionKey_PixelAspectRatioHorizontalSpacing));
    const auto* v = std::get_if<int64_t>(extension(kCMFormatDescriptionKey_PixelAspectRatioVerticalSpacing));
    if (h && v && *h > 0 && *v > 0)
        size.width = size.width * double(*h) / double(*v);
    return size;
}

bool VideoFormatDescription::matchesImageBuffer(const PixelBuffer& imageBuffer) const
{
    if (imageBuffer.pixelFormatType() != m_codecType || imageBuffer.width() != size_t(m_dimensions.width) ||
        imageBuffer.height() != size_t(m_dimensions.height))
        return false;
    const Attachments tags = colourExtensionsOf(imageBuffer);
    for (const std::string* key : kColourKeys) {
        const AttachmentValue* mine = extension(*key);
        auto it = tags.find(*key);
        const AttachmentValue* theirs = it == tags.end() ? nullptr : &it->second;
        if ((mine == nullptr) != (theirs == nullptr) || (mine && *mine != *theirs))
            return false;
    }
    return true;
}

bool VideoFormatDescription::equals(const VideoFormatDescription& other) const
{
    return m_codecType == other.m_codecType && m_dimensions.width == other.m_dimensions.width &&
           m_dimensions.height == other.m_dimensions.height && m_extensions == other.m_extensions;
}

} // namespace media
