#include "Platform/Images/ImageSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Images/Codecs.h"
#include "Platform/Images/UTType.h"

namespace images {

const std::string ImageSourceErrorDomain = "ImageSourceErrorDomain";

namespace {

// The file is read, never mapped: a photo truncated or rewritten while it is decoded (the user
// edits it during an export) then reads short, and the decoder reports that, where a mapping
// would kill the process with SIGBUS. Nothing of the file is kept between reads, so a long
// sequence of sources holds no file contents and no descriptors.

// Header readers first get this much of a file; they ask for the rest only when it ends
// inside their header. Cameras put their EXIF, thumbnail and profile well within it.
constexpr size_t kHeaderReadSize = 256 * 1024;
// One image file larger than this is not a photo; refusing it beats exhausting memory.
constexpr uint64_t kMaxFileSize = 2ull * 1024 * 1024 * 1024;
// The same for the kinds that are always compressed (JPEG, GIF, HEIF): even the largest picture
// the decoders take comes nowhere near it, where a TIFF, PNG or camera RAW file may hold its
// samples (nearly) as they are.
constexpr uint64_t kMaxCompressedFileSize = 256ull << 20;

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct FileBytes {
    std::vector<uint8_t> bytes;
    bool partial = false; // the file goes on past `bytes`
    long errorCode = 0;   // an ImageSourceErrorCode when the read failed
    std::string errorText;

    codec::Bytes view() const { return {bytes.data(), bytes.size(), partial}; }
};

// Reads the first `limit` bytes of the regular file at `path` (all of it when it is shorter);
// a file over `maxSize` bytes is refused unread when more than that is asked for, as larger than
// a photo of the kind `kindName` can be. A file that shrinks while it is read gives what was there.
FileBytes readFile(const std::string& path, size_t limit, uint64_t maxSize, const char* kindName)
{
    FileBytes out;
    auto fail = [&](long code, int e) {
        out.bytes.clear();
        out.errorCode = code;
        out.errorText = std::strerror(e ? e : EIO);
        return std::move(out);
    };
    FileDescriptor file;
    // Not blocking: a pipe named like a photo would wait for a writer at its opening. It is
    // refused below, and reads of a regular file never block anyway.
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
        return fail(ImageSourceUnreadableFile, errno);
    if (S_ISDIR(st.st_mode))
        return fail(ImageSourceUnreadableFile, EISDIR);
    if (!S_ISREG(st.st_mode))
        return fail(ImageSourceUnreadableFile, EINVAL);
    const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (size > maxSize && limit > maxSize) {
        out.errorCode = ImageSourceTooLarge;
        out.errorText = kindName ? "the file (" + std::to_string(size >> 20) + " MB) is larger than a " + kindName + " photo can be"
                                 : "the file is too large for an image";
        return out;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, limit));
    out.partial = size > want;
    try {
        out.bytes.resize(want);
    } catch (const std::bad_alloc&) {
        out.errorCode = ImageSourceTooLarge;
        out.errorText = "there is not enough memory to read it";
        out.bytes.clear();
        return out;
    }
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(file.fd, out.bytes.data() + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(ImageSourceUnreadableFile, errno);
        if (n == 0) { // cut short since fstat
            out.partial = false;
            break;
        }
        got += static_cast<size_t>(n);
    }
    out.bytes.resize(got);
    return out;
}

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
        : graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    auto ctx = graphics::BitmapContext::create(nullptr, nw, nh, 8, 0, space, info);
    if (!ctx)
        return nullptr;
    ctx->setInterpolationQuality(graphics::InterpolationQuality::high);
    ctx->drawImage(image, graphics::Rect::make(0, 0, static_cast<double>(nw), static_cast<double>(nh)));
    return ctx->createImage();
}

} // namespace

// The bytes one call works on: the source's own data, or what was just read of its file.
struct Contents {
    FileBytes file;
    codec::Bytes bytes;
};

struct ImageSource::Private {
    std::vector<uint8_t> owned; // the bytes of a source made over data; empty for a file
    bool overData = false;
    Kind kind = Kind::unknown;
    std::optional<size_t> count;
    std::optional<std::optional<ImageProperties>> properties0;
    codec::Failure headerFailure;

    // The first `limit` bytes (all when SIZE_MAX); false with `error` when the file can't be read.
    bool load(const ImageSource& source, size_t limit, Contents& out, foundation::ErrorPtr* error) const
    {
        if (overData) {
            out.bytes = {owned.data(), owned.size(), false};
            return true;
        }
        const bool compressed = kind == Kind::jpeg || kind == Kind::gif || kind == Kind::heif;
        const char* name = kind == Kind::jpeg ? "JPEG" : kind == Kind::gif ? "GIF" : kind == Kind::heif ? "HEIF" : nullptr;
        out.file = readFile(source.path(), limit, compressed ? kMaxCompressedFileSize : kMaxFileSize, name);
        if (out.file.errorCode) {
            if (error)
                *error = source.makeError(out.file.errorCode, out.file.errorText);
            return false;
        }
        out.bytes = out.file.view();
        return true;
    }

    // Reads the header of image 0 once, and with it the image count; read failures are not
    // kept, so a file that comes back is read next time.
    void readHeaders(const ImageSource& source, foundation::ErrorPtr* error)
    {
        if (properties0 && count)
            return;
        Contents contents;
        const bool headerFirst = kind == Kind::jpeg || kind == Kind::png;
        if (!load(source, headerFirst ? kHeaderReadSize : SIZE_MAX, contents, error))
            return;
        codec::Failure f;
        auto props = properties(contents.bytes, f);
        if (!props && f.code == ImageSourceTruncatedData && contents.bytes.partial) {
            if (!load(source, SIZE_MAX, contents, error))
                return;
            f = {};
            props = properties(contents.bytes, f);
        }
        properties0 = props;
        headerFailure = f;
        switch (kind) {
        case Kind::tiff: count = codec::tiffCount(contents.bytes); break;
        case Kind::gif: count = codec::gifCount(contents.bytes); break;
        case Kind::heif: count = codec::heifCount(contents.bytes); break;
        default: count = props ? 1 : 0; break;
        }
    }

    std::optional<ImageProperties> properties(codec::Bytes bytes, codec::Failure& f, size_t index = 0) const
    {
        switch (kind) {
        case Kind::jpeg: return codec::jpegProperties(bytes, f);
        case Kind::png: return codec::pngProperties(bytes, f);
        case Kind::tiff: return codec::tiffProperties(bytes, index, f);
        case Kind::gif: return codec::gifProperties(bytes, f);
        case Kind::heif: return codec::heifProperties(bytes, f);
        case Kind::raw: return codec::rawProperties(bytes, f);
        case Kind::unknown: break;
        }
        return std::nullopt;
    }

    graphics::ImagePtr decode(codec::Bytes bytes, size_t index, codec::Failure& f) const
    {
        switch (kind) {
        case Kind::jpeg: return codec::jpegDecode(bytes, 1, f);
        case Kind::png: return codec::pngDecode(bytes, f);
        case Kind::tiff: return codec::tiffDecode(bytes, index, f);
        case Kind::gif: return codec::gifDecodeFirstFrame(bytes, f);
        case Kind::heif: return codec::heifDecode(bytes, f);
        case Kind::raw: return codec::rawDecode(bytes, f);
        case Kind::unknown: break;
        }
        return nullptr;
    }
};

ImageSource::ImageSource() : m_private(std::make_unique<Private>()) { }
ImageSource::~ImageSource() = default;

foundation::ErrorPtr ImageSource::makeError(long code, const std::string& what) const
{
    const std::string name = m_displayName.empty() ? std::string("the image data") : "“" + m_displayName + "”";
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = "The file " + name + " couldn’t be opened: " + what + ".";
    if (!m_path.empty())
        info[foundation::NSFilePathErrorKey].text = m_path;
    return foundation::Error::make(ImageSourceErrorDomain, code, std::move(info));
}

// A decode that can't get its memory fails for this file alone, with an error that says so:
// the caller (often a worker of a queue) goes on with the next.
template <typename Result, typename Body>
Result ImageSource::guarded(foundation::ErrorPtr* error, Result failed, Body&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    if (error)
        *error = makeError(ImageSourceTooLarge, "there is not enough memory to decode it");
    return failed;
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
    // Enough for every signature we check; the rest is read when it is needed.
    Contents head;
    if (!src->m_private->load(*src, 64, head, error))
        return nullptr;
    src->m_type = typeOfContent(head.bytes.data, head.bytes.size, extensionOf(path));
    src->m_private->kind = kindOf(src->m_type);
    return src;
}

ImageSourcePtr ImageSource::createWithData(std::vector<uint8_t> bytes, const std::string& nameHint)
{
    ImageSourcePtr src(new ImageSource());
    src->m_displayName = nameHint;
    Private& p = *src->m_private;
    p.owned = std::move(bytes);
    p.overData = true;
    src->m_type = typeOfContent(p.owned.data(), p.owned.size(), extensionOf(nameHint));
    p.kind = kindOf(src->m_type);
    return src;
}

size_t ImageSource::count()
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown)
        return 0;
    p.readHeaders(*this, nullptr);
    return p.count.value_or(0);
}

ImageSourceStatus ImageSource::status()
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown)
        return ImageSourceStatus::unknownType;
    if (count() > 0)
        return ImageSourceStatus::complete;
    return p.headerFailure.code == ImageSourceTruncatedData ? ImageSourceStatus::unexpectedEOF
                                                           : ImageSourceStatus::invalidData;
}

std::optional<ImageProperties> ImageSource::propertiesAtIndex(size_t index, foundation::ErrorPtr* error)
{
    return guarded<std::optional<ImageProperties>>(error, std::nullopt, [&] { return readPropertiesAtIndex(index, error); });
}

std::optional<ImageProperties> ImageSource::readPropertiesAtIndex(size_t index, foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (p.kind == Kind::unknown) {
        if (error)
            *error = makeError(ImageSourceUnknownType, "its type is not an image type we can read");
        return std::nullopt;
    }
    if (index == 0) {
        p.readHeaders(*this, error);
        if (!p.properties0)
            return std::nullopt; // the read failed; `error` says why
        if (!*p.properties0 && error)
            *error = makeError(p.headerFailure.code ? p.headerFailure.code : ImageSourceCorruptData, p.headerFailure.message);
        return *p.properties0;
    }
    if (p.kind != Kind::tiff || index >= count()) {
        if (error)
            *error = makeError(ImageSourceIndexOutOfRange, "it has no image at index " + std::to_string(index));
        return std::nullopt;
    }
    Contents contents;
    if (!p.load(*this, SIZE_MAX, contents, error))
        return std::nullopt;
    codec::Failure f;
    auto props = p.properties(contents.bytes, f, index);
    if (!props && error)
        *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message);
    return props;
}

std::optional<std::string> ImageSource::captureDateMetadataAtIndex(size_t index)
{
    auto props = propertiesAtIndex(index);
    if (!props)
        return std::nullopt;
    auto it = props->exif.find(kCGImagePropertyExifDateTimeOriginal);
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
    if (auto sub = props->exif.find(kCGImagePropertyExifSubsecTimeOriginal); sub != props->exif.end()) {
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
    return guarded<graphics::ImagePtr>(error, nullptr, [&] { return decodeImageAtIndex(index, error); });
}

graphics::ImagePtr ImageSource::decodeImageAtIndex(size_t index, foundation::ErrorPtr* error)
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
    Contents contents;
    if (!p.load(*this, SIZE_MAX, contents, error))
        return nullptr;
    codec::Failure f;
    graphics::ImagePtr image = p.decode(contents.bytes, index, f);
    if (!image && error)
        *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message.empty() ? "the data is not readable" : f.message);
    return image;
}

StripOutcome ImageSource::decodeStripsAtIndex(size_t index, size_t minWidth, size_t minHeight, const StripSink& sink,
                                              foundation::ErrorPtr* error)
{
    return guarded<StripOutcome>(error, StripOutcome::failed, [&] {
        return streamStripsAtIndex(index, minWidth, minHeight, sink, error);
    });
}

StripOutcome ImageSource::streamStripsAtIndex(size_t index, size_t minWidth, size_t minHeight, const StripSink& sink,
                                              foundation::ErrorPtr* error)
{
    Private& p = *m_private;
    if (p.kind != Kind::jpeg || index != 0)
        return StripOutcome::unsuitable;
    Contents contents;
    if (!p.load(*this, SIZE_MAX, contents, error))
        return StripOutcome::failed;
    codec::Failure f;
    const StripOutcome outcome = codec::jpegDecodeStrips(contents.bytes, minWidth, minHeight, sink, f);
    if (outcome == StripOutcome::failed && f.code && error)
        *error = makeError(f.code, f.message);
    return outcome;
}

graphics::ImagePtr ImageSource::createThumbnailAtIndex(size_t index, size_t maxPixelSize, bool applyOrientation,
                                                       foundation::ErrorPtr* error)
{
    return guarded<graphics::ImagePtr>(error, nullptr, [&] {
        return decodeThumbnailAtIndex(index, maxPixelSize, applyOrientation, error);
    });
}

graphics::ImagePtr ImageSource::decodeThumbnailAtIndex(size_t index, size_t maxPixelSize, bool applyOrientation,
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
        Contents contents;
        if (!p.load(*this, SIZE_MAX, contents, error))
            return nullptr;
        codec::JPEGHeader h;
        if (codec::jpegHeader(contents.bytes, h, f))
            image = codec::jpegDecode(contents.bytes, jpegScaleFor(h.width, h.height, maxPixelSize), f);
        if (!image && error)
            *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message);
    } else if (p.kind == Kind::raw && index == 0) {
        // The camera's own preview is far cheaper than developing the RAW data.
        Contents contents;
        if (!p.load(*this, SIZE_MAX, contents, error))
            return nullptr;
        std::vector<uint8_t> jpeg = codec::rawEmbeddedJPEG(contents.bytes);
        codec::JPEGHeader h;
        codec::Failure ignored;
        if (!jpeg.empty() && codec::jpegHeader({jpeg.data(), jpeg.size()}, h, ignored)
            && static_cast<size_t>(std::max(h.width, h.height)) >= maxPixelSize)
            image = codec::jpegDecode({jpeg.data(), jpeg.size()}, jpegScaleFor(h.width, h.height, maxPixelSize), ignored);
        if (!image)
            image = p.decode(contents.bytes, index, f);
        if (!image && error)
            *error = makeError(f.code ? f.code : ImageSourceCorruptData, f.message.empty() ? "the data is not readable" : f.message);
    } else {
        image = createImageAtIndex(index, error);
    }
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
        : graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    return graphics::Image::create(ow, oh, 8, 32, ow * 4, space, info, std::move(out));
}

} // namespace images
