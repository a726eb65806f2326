#pragma once
// Describes the frames of a video stream: codec (or pixel format, for uncompressed frames),
// dimensions and extensions such as the colour tags. Immutable once made; any thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/PixelBuffer.h"

#include <memory>

namespace media {

using CodecType = OSType;

constexpr OSType MediaType_Video = fourCC("vide");

// Codec types of the compressed formats the system writes.
constexpr CodecType VideoCodecType_H264 = fourCC("avc1");
constexpr CodecType VideoCodecType_HEVC = fourCC("hvc1");
constexpr CodecType VideoCodecType_AppleProRes422 = fourCC("apcn");
constexpr CodecType VideoCodecType_AppleProRes4444 = fourCC("ap4h");

// Extension keys shared with the image-buffer attachment keys of the same meaning.
extern const std::string kCMFormatDescriptionExtension_ColorPrimaries;   // "CVImageBufferColorPrimaries"
extern const std::string kCMFormatDescriptionExtension_TransferFunction; // "CVImageBufferTransferFunction"
extern const std::string kCMFormatDescriptionExtension_YCbCrMatrix;      // "CVImageBufferYCbCrMatrix"
extern const std::string kCMFormatDescriptionExtension_ICCProfile;       // "CVImageBufferICCProfile"
// The shape of a stored pixel, as two whole numbers: horizontal spacing : vertical spacing.
extern const std::string kCMFormatDescriptionKey_PixelAspectRatioHorizontalSpacing; // "HorizontalSpacing"
extern const std::string kCMFormatDescriptionKey_PixelAspectRatioVerticalSpacing;   // "VerticalSpacing"

struct VideoDimensions {
    int32_t width = 0;
    int32_t height = 0;
};

class VideoFormatDescription {
public:
    // nullptr for negative dimensions.
    static std::shared_ptr<const VideoFormatDescription> create(CodecType codecType, int32_t width, int32_t height,
                                                                const Attachments& extensions = {});
    // Codec type = the buffer's pixel format; extensions = the buffer's colour attachments.
    // nullptr when the buffer's size does not fit 32 bits.
    static std::shared_ptr<const VideoFormatDescription> createForImageBuffer(const PixelBuffer& imageBuffer);

    OSType mediaType() const { return MediaType_Video; }
    CodecType codecType() const { return m_codecType; }
    VideoDimensions dimensions() const { return m_dimensions; }
    const Attachments& extensions() const { return m_extensions; }
    const AttachmentValue* extension(const std::string& key) const;
    // The size the picture is shown at: with the pixel aspect ratio applied, a stored pixel
    // twice as wide as tall doubles the width. Movies carry no clean aperture we read, so that
    // flag changes nothing.
    graphics::Size presentationDimensions(bool usePixelAspectRatio, bool useCleanAperture) const;

    // Whether frames in `imageBuffer` are described by this: same pixel format, size and colour tags.
    bool matchesImageBuffer(const PixelBuffer& imageBuffer) const;
    bool equals(const VideoFormatDescription& other) const;

private:
    VideoFormatDescription() = default;

    CodecType m_codecType = 0;
    VideoDimensions m_dimensions;
    Attachments m_extensions;
};

using VideoFormatDescriptionPtr = std::shared_ptr<const VideoFormatDescription>;

} // namespace media
