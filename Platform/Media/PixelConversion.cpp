#include "Platform/Media/PixelConversion.h"

#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Media/FrameConverter.h"
#include "Platform/Media/MediaError.h"

#include <algorithm>

namespace media {

struct PixelConverter::Private {
    detail::FrameConverter converter;
};

namespace {

bool isYCbCr(OSType format)
{
    return format == PixelFormatType_420YpCbCr8BiPlanarVideoRange ||
           format == PixelFormatType_420YpCbCr8BiPlanarFullRange ||
           format == PixelFormatType_420YpCbCr8PlanarVideoRange || format == PixelFormatType_422YpCbCr10PlanarVideoRange;
}

int matrixOf(const PixelBuffer& buffer)
{
    if (auto tag = buffer.attachment(kCVImageBufferYCbCrMatrixKey)) {
        if (const auto* s = std::get_if<std::string>(tag.get()); s && *s == "ITU_R_601_4")
            return AVCOL_SPC_SMPTE170M;
    }
    return AVCOL_SPC_BT709;
}

void fail(foundation::ErrorPtr* error, const std::string& reason, int ffmpegCode = 0)
{
    if (error)
        *error = makeMediaError(AVErrorUnknown, "The frame could not be converted.", reason, ffmpegCode);
}

} // namespace

PixelConverter::PixelConverter() : m_private(std::make_unique<Private>()) {}
PixelConverter::~PixelConverter() = default;

bool PixelConverter::convert(const PixelBufferPtr& source, const PixelBufferPtr& destination,
                             foundation::ErrorPtr* error)
{
    if (!source || !destination) {
        fail(error, "A source and a destination buffer are needed.");
        return false;
    }
    if (source == destination) {
        fail(error, "A buffer cannot be converted into itself.");
        return false;
    }
    ff::FramePtr src = detail::wrapPixelBuffer(source);
    ff::FramePtr dst = detail::wrapPixelBuffer(destination);
    if (!src || !dst) {
        fail(error, "Unsupported pixel format " + pixelFormatName(!src ? source->pixelFormatType()
                                                                       : destination->pixelFormatType()) + ".");
        return false;
    }
    detail::FrameConverter::Side side;
    side.frame = src.get();
    side.matrix = matrixOf(*source);
    side.fullRange = detail::isFullRangeFormat(source->pixelFormatType());
    const int rc = m_private->converter.convert(side, dst.get(), {}, matrixOf(*destination),
                                                detail::isFullRangeFormat(destination->pixelFormatType()));
    if (rc < 0) {
        fail(error, "The pixel converter refused the frame.", rc);
        return false;
    }
    return true;
}

struct StripConverter::Private {
    ff::SwsPtr context;
    PixelBufferPtr destination;
    size_t width = 0;
    size_t height = 0;
    size_t rowsIn = 0;
};

std::unique_ptr<StripConverter> StripConverter::make(size_t imageWidth, size_t imageHeight, PixelBufferPtr destination,
                                                     foundation::ErrorPtr* error)
{
    constexpr size_t largestSide = size_t(1) << 20;
    if (!destination || imageWidth == 0 || imageHeight == 0 || imageWidth > largestSide || imageHeight > largestSide) {
        fail(error, "There is no image to convert.");
        return nullptr;
    }
    const AVPixelFormat format = detail::avPixelFormat(destination->pixelFormatType());
    if (format == AV_PIX_FMT_NONE) {
        fail(error, "Unsupported pixel format " + pixelFormatName(destination->pixelFormatType()) + ".");
        return nullptr;
    }
    // One thread: strips must reach the scaler in order, and the callers convert several
    // images side by side anyway. The filter and rounding are the frame converter's.
    ff::SwsPtr context(sws_getContext(static_cast<int>(imageWidth), static_cast<int>(imageHeight), AV_PIX_FMT_BGR0,
                                      static_cast<int>(destination->width()), static_cast<int>(destination->height()),
                                      format, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                      nullptr));
    if (!context) {
        fail(error, "The pixel converter refused the image’s size.");
        return nullptr;
    }
    const int* coefficients = sws_getCoefficients(matrixOf(*destination));
    if (sws_setColorspaceDetails(context.get(), coefficients, 1, coefficients,
                                 detail::isFullRangeFormat(destination->pixelFormatType()) ? 1 : 0, 0, 1 << 16, 1 << 16)
        < 0) {
        fail(error, "The pixel converter refused the colour conversion.");
        return nullptr;
    }
    std::unique_ptr<StripConverter> converter(new StripConverter);
    converter->m_private = std::make_unique<Private>();
    converter->m_private->context = std::move(context);
    converter->m_private->destination = std::move(destination);
    converter->m_private->width = imageWidth;
    converter->m_private->height = imageHeight;
    return converter;
}

StripConverter::~StripConverter() = default;

bool StripConverter::append(const uint8_t* rows, size_t bytesPerRow, size_t count, foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (count == 0)
        return true;
    if (!rows || count > p.height - p.rowsIn || bytesPerRow < p.width * 4) {
        fail(error, "More rows arrived than the image has.");
        return false;
    }
    const PixelBuffer& out = *p.destination;
    uint8_t* planes[4] = {};
    int strides[4] = {};
    const size_t planeCount = std::max<size_t>(1, out.planeCount());
    for (size_t i = 0; i < planeCount && i < 4; ++i) {
        planes[i] = static_cast<uint8_t*>(out.planeCount() ? out.baseAddressOfPlane(i) : out.baseAddress());
        strides[i] = static_cast<int>(out.planeCount() ? out.bytesPerRowOfPlane(i) : out.bytesPerRow());
    }
    const uint8_t* source[4] = {rows};
    const int sourceStrides[4] = {static_cast<int>(bytesPerRow)};
    const int rc = sws_scale(p.context.get(), source, sourceStrides, static_cast<int>(p.rowsIn), static_cast<int>(count),
                             planes, strides);
    if (rc < 0) {
        fail(error, "The pixel converter refused the rows.", rc);
        return false;
    }
    p.rowsIn += count;
    return true;
}

bool StripConverter::isComplete() const { return m_private->rowsIn == m_private->height; }

PixelBufferPtr createConvertedPixelBuffer(const PixelBufferPtr& source, OSType format, foundation::ErrorPtr* error)
{
    if (!source) {
        fail(error, "No source buffer.");
        return nullptr;
    }
    PixelBufferReturn rc = ReturnSuccess;
    PixelBufferPtr out = PixelBuffer::create(source->width(), source->height(), format, {}, &rc);
    if (!out) {
        fail(error, "Cannot make a " + pixelFormatName(format) + " buffer (" + std::to_string(rc) + ").");
        return nullptr;
    }
    source->propagateAttachments(*out);
    if (isYCbCr(format) && !out->attachment(kCVImageBufferYCbCrMatrixKey))
        out->setAttachment(kCVImageBufferYCbCrMatrixKey, kCVImageBufferYCbCrMatrix_ITU_R_709_2, AttachmentMode::ShouldPropagate);
    // One converter per thread: streams of same-shaped frames then reuse the set-up.
    thread_local PixelConverter converter;
    if (!converter.convert(source, out, error))
        return nullptr;
    return out;
}

PixelBufferPtr createPixelBufferWithImage(const graphics::ImagePtr& image)
{
    if (!image || image->width() == 0 || image->height() == 0)
        return nullptr;
    graphics::ColorSpacePtr space = image->colorSpace();
    if (!space || space->model() != graphics::ColorSpaceModel::rgb)
        space = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB);
    PixelBufferPtr buffer = PixelBuffer::create(image->width(), image->height(), PixelFormatType_32ARGB);
    if (!buffer || !space)
        return nullptr;
    // The context draws straight into the buffer's memory: no copy of the frame is made.
    auto context = graphics::BitmapContext::create(buffer->baseAddress(), buffer->width(), buffer->height(), 8,
                                                   buffer->bytesPerRow(), space,
                                                   {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::orderDefault});
    if (!context)
        return nullptr;
    context->drawImage(image, graphics::Rect{{0, 0}, {double(image->width()), double(image->height())}});
    context->flush();
    if (!space->iccData().empty())
        buffer->setAttachment(kCVImageBufferICCProfileKey, space->iccData(), AttachmentMode::ShouldPropagate);
    return buffer;
}

graphics::ImagePtr createImageWithPixelBuffer(const PixelBufferPtr& buffer, foundation::ErrorPtr* error)
{
    if (!buffer) {
        fail(error, "No pixel buffer.");
        return nullptr;
    }
    PixelBufferPtr packed = buffer;
    if (isYCbCr(buffer->pixelFormatType())) {
        packed = createConvertedPixelBuffer(buffer, PixelFormatType_32BGRA, error);
        if (!packed)
            return nullptr;
    }
    graphics::BitmapInfo info;
    switch (packed->pixelFormatType()) {
    // Frames are opaque: the pipeline draws them without alpha (see createPixelBufferWithImage)
    // and the converters carry that unused byte along, so it may hold anything.
    case PixelFormatType_32ARGB:
        info = {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::orderDefault};
        break;
    case PixelFormatType_32BGRA:
        info = {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Little};
        break;
    default:
        fail(error, "Unsupported pixel format " + pixelFormatName(packed->pixelFormatType()) + ".");
        return nullptr;
    }
    graphics::ColorSpacePtr space;
    if (auto icc = packed->attachment(kCVImageBufferICCProfileKey))
        if (const auto* bytes = std::get_if<std::vector<uint8_t>>(icc.get()))
            space = graphics::ColorSpace::createWithICCData(*bytes);
    if (!space || space->model() != graphics::ColorSpaceModel::rgb)
        space = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    auto image = graphics::Image::createWithData(packed->width(), packed->height(), 8, 32, packed->bytesPerRow(), space,
                                                 info, static_cast<const uint8_t*>(packed->baseAddress()),
                                                 packed->bytesPerRow() * packed->height(), packed);
    if (!image)
        fail(error, "The frame’s layout cannot be read as an image.");
    return image;
}

} // namespace media
