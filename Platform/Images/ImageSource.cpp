#include "Platform/Images/ImageSource.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Images/Codecs.h"
#include "Platform/Images/UTType.h"

namespace images {

const std::string ImageSourceErrorDomain = "ImageSourceErrorDomain";

namespace {

// A read-only mapping of a whole file.
struct Mapping {
    void* base = MAP_FAILED;
    size_t size = 0;
    ~Mapping()
    {
        if (base != MAP_FAILED)
            ::munmap(base, size);
    }
};

enum class Kind { unknown, jpeg, png, tiff, gif, heif, raw };

Kind kindOf(const std::string& type)
{
    if (type == kUTTypeJPEG)
        return Kind::jpeg;
    if (type == kUTTypePNG)
        return Kind::png;
    if (type == kUTTypeTIFF)
        return Kind::tiff;
    if (type == kUTTypeGIF)
        return Kind::gif;
    if (type == kUTTypeHEIC || type == kUTTypeHEIF)
        return Kind::heif;
    if (typeConformsTo(type, kUTTypeRawImage))
        return Kind::raw;
    return Kind::unknown;
}

std::string extensionOf(const std::string& name)
{
    const auto slash = name.find_last_of('/');
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 >= name.size())
        return {};
    return name.substr(dot + 1);
}

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A whole-image scale for the DCT decoder: the largest reduction that still leaves the
// longer side at least `target` pixels.
int jpegScaleFor(int width, int height, size_t target)
{
    const double longer = std::max(width, height);
    for (int d : {8, 4, 2})
        if (std::ceil(longer / d) >= static_cast<double>(target))
            return d;
    return 1;
}

graphics::ImagePtr downscale(const graphics::ImagePtr& image, size_t maxPixelSize)
{
    const size_t w = image->width(), h = image->height();
    const size_t longer = std::max(w, h);
    if (longer <= maxPixelSize)
        return image;
    const double s = static_cast<double>(maxPixelSize) / static_cast<double>(longer);
    const size_t nw = std::max<size_t>(1, static_cast<size_t>(std::lround(static_cast<double>(w) * s)));
    const size_t nh = std::max<size_t>(1, static_cast<size_t>(std::lround(static_cast<double>(h) * s)));
    const graphics::BitmapInfo info{image->isOpaque() ? graphics::AlphaInfo::noneSkipFirst : graphics::AlphaInfo::premultipliedFirst,
                                    graphics::ByteOrder::order32Little};
    graphics::ColorSpacePtr space = image->colorSpace() && image->colorSpace()->model() == graphics::ColorSpaceModel::rgb
        ? image->colorSpace()
        : graphics::ColorSpace::createWithName(graphics::kColorSpaceSRGB);
    auto ctx = graphics::BitmapContext::create(nullptr, nw, nh, 8, 0, space, info);
    if (!ctx)
        return nullptr;
    ctx->setInterpolationQuality(graphics::InterpolationQuality::high);
    ctx->drawImage(image, graphics::Rect::make(0, 0, static_cast<double>(nw), static_cast<double>(nh)));
    return ctx->createImage();
}

} // namespace

struct ImageSource::Private {
    Mapping mapping;
    std::vector<uint8_t> owned;
    codec::Bytes bytes;
    Kind kind = Kind::unknown;
    std::optional<size_t> count;
    std::optional<std::optional<ImageProperties>> properties0;
    codec::Failure headerFailure;
};

ImageSource::ImageSource() : m_private(std::make_unique<Private>()) { }
ImageSource::~ImageSource() = default;

foundation::ErrorPtr ImageSource::makeError(long code, const std::string& what) const
{
    const std::string name = m_displayName.empty() ? std::string("the image data") : "“" + m_displayName + "”";
    foundation::Error::UserInfo info;
    info[foundation::LocalizedDescriptionKey].text = "The file " + name + " couldn’t be opened: " + what + ".";
    if (!m_path.empty())
        info[foundation::FilePathErrorKey].text = m_path;
    return foundation::Error::make(ImageSourceErrorDomain, code, std::move(info));
}

ImageSourcePtr ImageSource::createWithURL(const foundation::URL& url, foundation::ErrorPtr* error)
{
    if (!url.isFileURL()) {
        if (error)
            *error = foundation::Error::make(ImageSourceErrorDomain, ImageSourceUnreadableFile,
                                             "The URL " + url.absoluteString() + " is not a file URL.");
        return nullptr;
    }
    return createWithPath(url.path(), error);
}

ImageSourcePtr ImageSource::createWithPath(const std::string& path, foundation::ErrorPtr* error)
{
    ImageSourcePtr src(new ImageSource());
    src->m_path = path;
    src->m_displayName = baseName(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = fd < 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : errno);
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = src->makeError(ImageSourceUnreadableFile, std::strerror(e ? e : EINVAL));
        return nullptr;
    }
    Private& p = *src->m_private;
    if (st.st_size > 0) {
        p.mapping.size = static_cast<size_t>(st.st_size);
        p.mapping.base = ::mmap(nullptr, p.mapping.size, PROT_READ, MAP_PRIVATE, fd, 0);
        const int e = errno;
        ::close(fd);
        if (p.mapping.base == MAP_FAILED) {
            if (error)
                *error = src->makeError(ImageSourceUnreadableFile, std::strerror(e));
            return nullptr;
        }
        p.bytes = {static_cast<const uint8_t*>(p.mapping.base), p.mapping.size};
    } else {
        ::close(fd);
    }
    src->m_type = typeOfData(p.bytes.data, p.bytes.size, extensionOf(path));
    p.kind = kindOf(src->m_type);
    return src;
}

ImageSourcePtr ImageSource::createWithData(std::vector<uint8_t> bytes, const std::string& nameHint)
{
    ImageSourcePtr src(new ImageSource());
    src->m_displayName = nameHint;
    Private& p = *src->m_private;
    p.owned = std::move(bytes);
    p.bytes = {p.owned.data(), p.owned.size()};
    src->m_type = typeOfData(p.bytes.data, p.bytes.size, extensionOf(nameHint));
    p.kind = kindOf(src->m_type);
    return src;
}

size_t ImageSource::count()
{
    Private& p = *m_private;
    if (p.count)
        return *p.count;
    size_t n = 0;
    codec::Failure f;
    switch (p.kind) {
    case Kind::jpeg: n = codec::jpegProperties(p.bytes, f) ? 1 : 0; break;
    case Kind::png: n = codec::pngProperties(p.bytes, f) ? 1 : 0; break;
    case Kind::tiff: n = codec::tiffCount(p.bytes); break;
    case Kind::gif: n = codec::gifCount(p.bytes); break;
    case Kind::heif: n = codec::heifCount(p.bytes); break;
    case Kind::raw: n = codec::rawProperties(p.bytes, f) ? 1 : 0; break;
    case Kind::unknown: break;
    }
    p.count = n;
    return n;
}

ImageSourceStatus ImageSource::status()
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown)
        return ImageSourceStatus::unknownType;
    if (count() > 0)
        return ImageSourceStatus::complete;
    propertiesAtIndex(0);
    return p.headerFailure.code == ImageSourceTruncatedData ? ImageSourceStatus::unexpectedEOF
                                                           : ImageSourceStatus::invalidData;
}

std::optional<ImageProperties> ImageSource::propertiesAtIndex(size_t index, foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown) {
        if (error)
            *error = makeError(ImageSourceUnknownType, "its type is not an image type we can read");
        return std::nullopt;
    }
    if (index == 0 && p.properties0) {
        if (!*p.properties0 && error)
            *error = makeError(p.headerFailure.code, p.headerFailure.message);
        return *p.properties0;
    }
    if (index > 0 && (p.kind != Kind::tiff || index >= count())) {
        if (error)
            *error = makeError(ImageSourceIndexOutOfRange, "it has no image at index " + std::to_string(index));
        return std::nullopt;
    }
    codec::Failure f;
    std::optional<ImageProperties> props;
    switch (p.kind) {
    case Kind::jpeg: props = codec::jpegProperties(p.bytes, f); break;
    case Kind::png: props = codec::pngProperties(p.bytes, f); break;
    case Kind::tiff: props = codec::tiffProperties(p.bytes, index, f); break;
    case Kind::gif: props = codec::gifProperties(p.bytes, f); break;
    case Kind::heif: props = codec::heifProperties(p.bytes, f); break;
    case Kind::raw: props = codec::rawProperties(p.bytes, f); break;
    case Kind::unknown: break;
    }
    if (index == 0) {
        p.properties0 = props;
        p.headerFailure = f;
    }
    if (!props && error)
        *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message);
    return props;
}

std::optional<std::string> ImageSource::captureDateMetadataAtIndex(size_t index)
{
    auto props = propertiesAtIndex(index);
    if (!props)
        return std::nullopt;
    auto it = props->exif.find(kExifDateTimeOriginal);
    if (it == props->exif.end() || it->second.empty())
        return std::nullopt;
    const std::string& dt = it->second;
    // "YYYY:MM:DD HH:MM:SS" (the separators between date and time vary little in practice).
    auto digitsAt = [&](size_t at, size_t n) {
        if (at + n > dt.size())
            return false;
        return std::all_of(dt.begin() + static_cast<std::ptrdiff_t>(at), dt.begin() + static_cast<std::ptrdiff_t>(at + n),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    const bool shaped = dt.size() >= 19 && digitsAt(0, 4) && dt[4] == ':' && digitsAt(5, 2) && dt[7] == ':'
        && digitsAt(8, 2) && (dt[10] == ' ' || dt[10] == 'T') && digitsAt(11, 2) && dt[13] == ':' && digitsAt(14, 2)
        && dt[16] == ':' && digitsAt(17, 2);
    if (!shaped)
        return dt;
    std::string millis = "000";
    if (auto sub = props->exif.find(kExifSubsecTimeOriginal); sub != props->exif.end()) {
        // Sub-seconds are the digits of a decimal fraction: "5" is 500 ms, "12345" is 123 ms.
        std::string digits;
        for (char c : sub->second) {
            if (c < '0' || c > '9')
                break;
            digits += c;
        }
        if (!digits.empty()) {
            digits.resize(3, '0');
            millis = digits;
        }
    }
    return dt.substr(0, 4) + "-" + dt.substr(5, 2) + "-" + dt.substr(8, 2) + "T" + dt.substr(11, 8) + "." + millis;
}

graphics::ImagePtr ImageSource::createImageAtIndex(size_t index, foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown) {
        if (error)
            *error = makeError(ImageSourceUnknownType, "its type is not an image type we can read");
        return nullptr;
    }
    if (index > 0 && (p.kind != Kind::tiff || index >= count())) {
        if (error)
            *error = makeError(ImageSourceIndexOutOfRange, "it has no image at index " + std::to_string(index));
        return nullptr;
    }
    codec::Failure f;
    graphics::ImagePtr image;
    switch (p.kind) {
    case Kind::jpeg: image = codec::jpegDecode(p.bytes, 1, f); break;
    case Kind::png: image = codec::pngDecode(p.bytes, f); break;
    case Kind::tiff: image = codec::tiffDecode(p.bytes, index, f); break;
    case Kind::gif: image = codec::gifDecodeFirstFrame(p.bytes, f); break;
    case Kind::heif: image = codec::heifDecode(p.bytes, f); break;
    case Kind::raw: image = codec::rawDecode(p.bytes, f); break;
    case Kind::unknown: break;
    }
    if (!image && error)
        *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message.empty() ? "the data is not readable" : f.message);
    return image;
}

graphics::ImagePtr ImageSource::createThumbnailAtIndex(size_t index, size_t maxPixelSize, bool applyOrientation,
                                                       foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (maxPixelSize == 0) {
        if (error)
            *error = makeError(ImageSourceCorruptData, "a thumbnail of no pixels was asked for");
        return nullptr;
    }
    graphics::ImagePtr image;
    codec::Failure f;
    if (p.kind == Kind::jpeg && index == 0) {
        codec::JPEGHeader h;
        if (codec::jpegHeader(p.bytes, h, f))
            image = codec::jpegDecode(p.bytes, jpegScaleFor(h.width, h.height, maxPixelSize), f);
        if (!image && error)
            *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message);
    } else if (p.kind == Kind::raw && index == 0) {
        // The camera's own preview is far cheaper than developing the RAW data.
        std::vector<uint8_t> jpeg = codec::rawEmbeddedJPEG(p.bytes);
        codec::JPEGHeader h;
        codec::Failure ignored;
        if (!jpeg.empty() && codec::jpegHeader({jpeg.data(), jpeg.size()}, h, ignored)
            && static_cast<size_t>(std::max(h.width, h.height)) >= maxPixelSize)
            image = codec::jpegDecode({jpeg.data(), jpeg.size()}, jpegScaleFor(h.width, h.height, maxPixelSize), ignored);
    }
    if (!image && p.kind != Kind::jpeg)
        image = createImageAtIndex(index, error);
    if (!image)
        return nullptr;
    image = downscale(image, maxPixelSize);
    if (image && applyOrientation)
        if (auto props = propertiesAtIndex(index))
            image = imageByApplyingOrientation(image, props->orientation);
    return image;
}

graphics::ImagePtr imageByApplyingOrientation(const graphics::ImagePtr& image, int orientation)
{
    if (!image || orientation <= 1 || orientation > 8)
        return image;
    const size_t w = image->width(), h = image->height();
    const bool swap = orientation >= 5;
    const size_t ow = swap ? h : w, oh = swap ? w : h;
    std::vector<uint8_t> src(w * h * 4);
    if (!image->copyPixels(src.data(), w * 4, graphics::PixelFormat::bgra8, true))
        return nullptr;
    std::vector<uint8_t> out(ow * oh * 4);
    const auto* s = reinterpret_cast<const uint32_t*>(src.data());
    auto* d = reinterpret_cast<uint32_t*>(out.data());
    // For each stored pixel (x, y), where it lands when the image is shown upright.
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            size_t ox = x, oy = y;
            switch (orientation) {
            case 2: ox = w - 1 - x; oy = y; break;
            case 3: ox = w - 1 - x; oy = h - 1 - y; break;
            case 4: ox = x; oy = h - 1 - y; break;
            case 5: ox = y; oy = x; break;
            case 6: ox = h - 1 - y; oy = x; break;
            case 7: ox = h - 1 - y; oy = w - 1 - x; break;
            case 8: ox = y; oy = w - 1 - x; break;
            default: break;
            }
            d[oy * ow + ox] = s[y * w + x];
        }
    }
    const graphics::BitmapInfo info{image->isOpaque() ? graphics::AlphaInfo::noneSkipFirst : graphics::AlphaInfo::premultipliedFirst,
                                    graphics::ByteOrder::order32Little};
    graphics::ColorSpacePtr space = image->colorSpace() && image->colorSpace()->model() == graphics::ColorSpaceModel::rgb
        ? image->colorSpace()
        : graphics::ColorSpace::createWithName(graphics::kColorSpaceSRGB);
    return graphics::Image::create(ow, oh, 8, 32, ow * 4, space, info, std::move(out));
}

} // namespace images
