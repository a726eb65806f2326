#include "Platform/Images/ImageDestination.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "Platform/Images/UTType.h"

namespace images {

const std::string ImageDestinationErrorDomain = "ImageDestinationErrorDomain";

namespace {

foundation::ErrorPtr destError(long code, const std::string& text)
{
    return foundation::Error::make(ImageDestinationErrorDomain, code, text);
}

void put16(std::vector<uint8_t>& v, uint16_t x, bool big = true)
{
    if (big) {
        v.push_back(uint8_t(x >> 8));
        v.push_back(uint8_t(x));
    } else {
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    }
}
void put32be(std::vector<uint8_t>& v, uint32_t x)
{
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(uint8_t(x >> s));
}

// A minimal EXIF block in TIFF layout (big-endian) holding only the orientation.
std::vector<uint8_t> exifWithOrientation(int orientation)
{
    std::vector<uint8_t> t = {'M', 'M', 0, 42, 0, 0, 0, 8};
    put16(t, 1);          // one entry
    put16(t, 0x0112);     // Orientation
    put16(t, 3);          // SHORT
    put32be(t, 1);
    put16(t, static_cast<uint16_t>(orientation));
    put16(t, 0);
    put32be(t, 0);        // no next IFD
    return t;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0)
{
    static uint32_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    });
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<uint8_t> pngChunk(const char* type, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> c;
    put32be(c, static_cast<uint32_t>(body.size()));
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), body.begin(), body.end());
    put32be(c, crc32(c.data() + 4, c.size() - 4));
    return c;
}

bool validOrientation(const std::optional<int>& o) { return o && *o >= 1 && *o <= 8; }

DestinationProperties merged(const DestinationProperties& base, const DestinationProperties& over)
{
    DestinationProperties m = base;
    if (over.lossyCompressionQuality)
        m.lossyCompressionQuality = over.lossyCompressionQuality;
    if (over.orientation)
        m.orientation = over.orientation;
    if (over.dpiWidth)
        m.dpiWidth = over.dpiWidth;
    if (over.dpiHeight)
        m.dpiHeight = over.dpiHeight;
    for (const auto& [k, v] : over.extra)
        m.extra[k] = v;
    return m;
}

class JPEGWriter final : public ImageWriter {
public:
    bool supportsMultipleImages() const override { return false; }
    void setProperties(const DestinationProperties& p) override { m_props = merged(m_props, p); }
    bool addImage(const graphics::ImagePtr& image, const DestinationProperties& p, foundation::ErrorPtr*) override
    {
        m_image = image;
        m_props = merged(m_props, p);
        return true;
    }
    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) override
    {
        const graphics::Image& img = *m_image;
        const bool gray = img.pixelFormat() == graphics::PixelFormat::gray8;
        const size_t bpp = gray ? 1 : 4;
        std::vector<uint8_t> px(img.width() * img.height() * bpp);
        // Alpha has no place in JPEG: premultiplied colour is what it looks like over black.
        if (!img.copyPixels(px.data(), img.width() * bpp, gray ? graphics::PixelFormat::gray8 : graphics::PixelFormat::bgra8, true)) {
            if (error)
                *error = destError(ImageDestinationEncodingFailed, "The image’s pixel layout cannot be written as JPEG.");
            return false;
        }
        std::unique_ptr<void, int (*)(void*)> tj(tjInitCompress(), tjDestroy);
        const double q = std::clamp(m_props.lossyCompressionQuality.value_or(0.85), 0.0, 1.0);
        const int quality = std::clamp(static_cast<int>(std::lround(q * 100.0)), 1, 100);
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        const int rc = tj ? tjCompress2(tj.get(), px.data(), static_cast<int>(img.width()), static_cast<int>(img.width() * bpp),
                                        static_cast<int>(img.height()), gray ? TJPF_GRAY : TJPF_BGRX, &jpeg, &size,
                                        gray ? TJSAMP_GRAY : TJSAMP_420, quality, TJFLAG_ACCURATEDCT)
                          : -1;
        if (rc != 0 || !jpeg || size < 20) {
            if (jpeg)
                tjFree(jpeg);
            if (error)
                *error = destError(ImageDestinationEncodingFailed, "The image could not be encoded as JPEG.");
            return false;
        }
        std::vector<uint8_t> encoded(jpeg, jpeg + size);
        tjFree(jpeg);
        // TurboJPEG writes SOI and a JFIF APP0; DPI goes into APP0 and our markers after it.
        size_t insertAt = 2;
        if (encoded[2] == 0xFF && encoded[3] == 0xE0 && std::memcmp(&encoded[6], "JFIF", 4) == 0) {
            if (m_props.dpiWidth || m_props.dpiHeight) {
                auto dpi = [](std::optional<double> v) {
                    return static_cast<uint16_t>(std::clamp(std::lround(v.value_or(72.0)), 1L, 65535L));
                };
                const uint16_t x = dpi(m_props.dpiWidth ? m_props.dpiWidth : m_props.dpiHeight);
                const uint16_t y = dpi(m_props.dpiHeight ? m_props.dpiHeight : m_props.dpiWidth);
                encoded[13] = 1; // dots per inch
                encoded[14] = uint8_t(x >> 8);
                encoded[15] = uint8_t(x);
                encoded[16] = uint8_t(y >> 8);
                encoded[17] = uint8_t(y);
            }
            insertAt = 4 + ((size_t(encoded[4]) << 8) | encoded[5]);
        }
        std::vector<uint8_t> markers;
        if (validOrientation(m_props.orientation)) {
            std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0};
            auto tiff = exifWithOrientation(*m_props.orientation);
            exif.insert(exif.end(), tiff.begin(), tiff.end());
            markers.push_back(0xFF);
            markers.push_back(0xE1);
            put16(markers, static_cast<uint16_t>(exif.size() + 2));
            markers.insert(markers.end(), exif.begin(), exif.end());
        }
        const auto& icc = img.colorSpace() ? img.colorSpace()->iccData() : std::vector<uint8_t>{};
        const bool iccFits = !icc.empty() && !gray && img.colorSpace()->model() == graphics::ColorSpaceModel::rgb;
        if (iccFits) {
            // A profile travels in numbered APP2 chunks of at most 65519 bytes.
            const size_t chunk = 65519;
            const size_t chunks = (icc.size() + chunk - 1) / chunk;
            if (chunks <= 255) {
                for (size_t i = 0; i < chunks; ++i) {
                    const size_t n = std::min(chunk, icc.size() - i * chunk);
                    markers.push_back(0xFF);
                    markers.push_back(0xE2);
                    put16(markers, static_cast<uint16_t>(n + 2 + 14));
                    const char tag[] = "ICC_PROFILE";
                    markers.insert(markers.end(), tag, tag + 12);
                    markers.push_back(static_cast<uint8_t>(i + 1));
                    markers.push_back(static_cast<uint8_t>(chunks));
                    markers.insert(markers.end(), icc.begin() + static_cast<std::ptrdiff_t>(i * chunk),
                                   icc.begin() + static_cast<std::ptrdiff_t>(i * chunk + n));
                }
            }
        }
        encoded.insert(encoded.begin() + static_cast<std::ptrdiff_t>(insertAt), markers.begin(), markers.end());
        out = std::move(encoded);
        return true;
    }

private:
    graphics::ImagePtr m_image;
    DestinationProperties m_props;
};

class PNGWriter final : public ImageWriter {
public:
    bool supportsMultipleImages() const override { return false; }
    void setProperties(const DestinationProperties& p) override { m_props = merged(m_props, p); }
    bool addImage(const graphics::ImagePtr& image, const DestinationProperties& p, foundation::ErrorPtr*) override
    {
        m_image = image;
        m_props = merged(m_props, p);
        return true;
    }
    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) override
    {
        const graphics::Image& img = *m_image;
        const bool gray = img.pixelFormat() == graphics::PixelFormat::gray8;
        const bool alpha = !img.isOpaque();
        const size_t bpp = gray ? 1 : alpha ? 4 : 3;
        std::vector<uint8_t> px(img.width() * img.height() * (gray ? 1 : 4));
        if (!img.copyPixels(px.data(), img.width() * (gray ? 1 : 4), gray ? graphics::PixelFormat::gray8 : graphics::PixelFormat::rgba8, false)) {
            if (error)
                *error = destError(ImageDestinationEncodingFailed, "The image’s pixel layout cannot be written as PNG.");
            return false;
        }
        if (bpp == 3) { // opaque: drop the constant alpha channel in place
            for (size_t i = 0, n = img.width() * img.height(); i < n; ++i)
                std::memmove(&px[i * 3], &px[i * 4], 3);
            px.resize(img.width() * img.height() * 3);
        }
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = static_cast<png_uint_32>(img.width());
        image.height = static_cast<png_uint_32>(img.height());
        image.format = gray ? PNG_FORMAT_GRAY : alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
        png_alloc_size_t size = 0;
        const png_int_32 stride = static_cast<png_int_32>(img.width() * bpp);
        if (!png_image_write_get_memory_size(image, size, 0, px.data(), stride, nullptr)) {
            png_image_free(&image);
            if (error)
                *error = destError(ImageDestinationEncodingFailed, std::string("The image could not be encoded as PNG: ") + image.message);
            return false;
        }
        std::vector<uint8_t> encoded(size);
        if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, px.data(), stride, nullptr)) {
            png_image_free(&image);
            if (error)
                *error = destError(ImageDestinationEncodingFailed, std::string("The image could not be encoded as PNG: ") + image.message);
            return false;
        }
        encoded.resize(size);
        // pHYs and eXIf go right after IHDR (8 bytes of signature, 25 of IHDR).
        std::vector<uint8_t> extra;
        if (m_props.dpiWidth || m_props.dpiHeight) {
            auto ppm = [](std::optional<double> v) {
                return static_cast<uint32_t>(std::clamp(std::lround(v.value_or(72.0) / 0.0254), 1L, 0x7FFFFFFFL));
            };
            std::vector<uint8_t> body;
            put32be(body, ppm(m_props.dpiWidth ? m_props.dpiWidth : m_props.dpiHeight));
            put32be(body, ppm(m_props.dpiHeight ? m_props.dpiHeight : m_props.dpiWidth));
            body.push_back(1);
            auto c = pngChunk("pHYs", body);
            extra.insert(extra.end(), c.begin(), c.end());
        }
        if (validOrientation(m_props.orientation)) {
            auto c = pngChunk("eXIf", exifWithOrientation(*m_props.orientation));
            extra.insert(extra.end(), c.begin(), c.end());
        }
        if (encoded.size() > 33)
            encoded.insert(encoded.begin() + 33, extra.begin(), extra.end());
        out = std::move(encoded);
        return true;
    }

private:
    graphics::ImagePtr m_image;
    DestinationProperties m_props;
};

// libtiff writes into memory through these procedures.
struct TIFFMemory {
    std::vector<uint8_t> bytes;
    toff_t pos = 0;
    std::string lastError;
};

tmsize_t tmRead(thandle_t h, void* buf, tmsize_t n)
{
    auto* m = static_cast<TIFFMemory*>(h);
    if (n <= 0 || m->pos >= m->bytes.size())
        return 0;
    const size_t k = std::min<size_t>(static_cast<size_t>(n), m->bytes.size() - m->pos);
    std::memcpy(buf, m->bytes.data() + m->pos, k);
    m->pos += k;
    return static_cast<tmsize_t>(k);
}
tmsize_t tmWrite(thandle_t h, void* buf, tmsize_t n)
{
    auto* m = static_cast<TIFFMemory*>(h);
    if (n <= 0)
        return 0;
    if (m->pos + static_cast<size_t>(n) > m->bytes.size())
        m->bytes.resize(m->pos + static_cast<size_t>(n));
    std::memcpy(m->bytes.data() + m->pos, buf, static_cast<size_t>(n));
    m->pos += static_cast<toff_t>(n);
    return n;
}
toff_t tmSeek(thandle_t h, toff_t off, int whence)
{
    auto* m = static_cast<TIFFMemory*>(h);
    const toff_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->bytes.size() : 0;
    m->pos = base + off;
    return m->pos;
}
int tmClose(thandle_t) { return 0; }
toff_t tmSize(thandle_t h) { return static_cast<TIFFMemory*>(h)->bytes.size(); }
int tmMap(thandle_t, void**, toff_t*) { return 0; }
void tmUnmap(thandle_t, void*, toff_t) { }
int tmError(TIFF*, void* user, const char*, const char* fmt, va_list ap)
{
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    static_cast<TIFFMemory*>(user)->lastError = buf;
    return 1;
}

class TIFFWriter final : public ImageWriter {
public:
    bool supportsMultipleImages() const override { return true; }
    void setProperties(const DestinationProperties& p) override { m_props = merged(m_props, p); }
    bool addImage(const graphics::ImagePtr& image, const DestinationProperties& p, foundation::ErrorPtr*) override
    {
        m_pages.push_back({image, merged(m_props, p)});
        return true;
    }
    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) override
    {
        TIFFMemory mem;
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(opts, tmError, &mem);
        TIFF* t = TIFFClientOpenExt("image", "w", &mem, tmRead, tmWrite, tmSeek, tmClose, tmSize, tmMap, tmUnmap, opts);
        TIFFOpenOptionsFree(opts);
        if (!t) {
            if (error)
                *error = destError(ImageDestinationEncodingFailed, "The TIFF encoder could not start.");
            return false;
        }
        bool ok = true;
        for (const auto& [img, props] : m_pages) {
            if (!(ok = writePage(t, *img, props)))
                break;
        }
        TIFFClose(t);
        if (!ok) {
            if (error)
                *error = destError(ImageDestinationEncodingFailed, "The image could not be encoded as TIFF" +
                                                                       (mem.lastError.empty() ? std::string(".") : ": " + mem.lastError));
            return false;
        }
        out = std::move(mem.bytes);
        return true;
    }

private:
    static bool writePage(TIFF* t, const graphics::Image& img, const DestinationProperties& props)
    {
        const bool gray = img.pixelFormat() == graphics::PixelFormat::gray8;
        const bool cmyk = img.pixelFormat() == graphics::PixelFormat::cmyk8;
        const bool alpha = !img.isOpaque();
        const size_t spp = gray ? 1 : cmyk ? 4 : alpha ? 4 : 3;
        const size_t w = img.width(), h = img.height();
        std::vector<uint8_t> px(w * h * spp);
        if (cmyk) {
            for (size_t y = 0; y < h; ++y)
                std::memcpy(&px[y * w * 4], img.data() + y * img.bytesPerRow(), w * 4);
        } else if (gray) {
            img.copyPixels(px.data(), w, graphics::PixelFormat::gray8, false);
        } else {
            std::vector<uint8_t> rgba(w * h * 4);
            img.copyPixels(rgba.data(), w * 4, graphics::PixelFormat::rgba8, false);
            for (size_t i = 0; i < w * h; ++i)
                std::memcpy(&px[i * spp], &rgba[i * 4], spp);
        }
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(w));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(h));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(spp));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, gray ? PHOTOMETRIC_MINISBLACK : cmyk ? PHOTOMETRIC_SEPARATED : PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        if (alpha && !gray && !cmyk) {
            uint16_t kind = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
        }
        if (validOrientation(props.orientation))
            TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<uint16_t>(*props.orientation));
        if (props.dpiWidth || props.dpiHeight) {
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
            TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(props.dpiWidth.value_or(props.dpiHeight.value_or(72))));
            TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(props.dpiHeight.value_or(props.dpiWidth.value_or(72))));
        }
        const auto& icc = img.colorSpace() ? img.colorSpace()->iccData() : std::vector<uint8_t>{};
        if (!icc.empty())
            TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
        for (size_t y = 0; y < h; ++y)
            if (TIFFWriteScanline(t, &px[y * w * spp], static_cast<uint32_t>(y), 0) < 0)
                return false;
        return TIFFWriteDirectory(t) == 1;
    }

    struct Page {
        graphics::ImagePtr image;
        DestinationProperties props;
    };
    std::vector<Page> m_pages;
    DestinationProperties m_props;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, ImageWriterFactory> writers;
};

Registry& registry()
{
    static Registry* r = [] {
        auto* reg = new Registry; // lives for the process: writers may be looked up during exit
        reg->writers[kUTTypeJPEG] = [] { return std::make_unique<JPEGWriter>(); };
        reg->writers[kUTTypePNG] = [] { return std::make_unique<PNGWriter>(); };
        reg->writers[kUTTypeTIFF] = [] { return std::make_unique<TIFFWriter>(); };
        return reg;
    }();
    return *r;
}

std::unique_ptr<ImageWriter> makeWriter(const std::string& type)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.writers.find(type);
    return it == r.writers.end() ? nullptr : it->second();
}

// Writes next to the target and renames over it, so a failure never leaves half a file.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, foundation::ErrorPtr* error)
{
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string tmp = dir + "/.imgdst-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    auto fail = [&](int e) {
        if (error)
            *error = foundation::Error::make(ImageDestinationErrorDomain, ImageDestinationWriteFailed,
                                             "The file “" + path.substr(slash == std::string::npos ? 0 : slash + 1) +
                                                 "” couldn’t be saved: " + std::strerror(e) + ".",
                                             foundation::Error::posix(e));
        return false;
    };
    if (fd < 0)
        return fail(errno);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmp.c_str());
            return fail(e);
        }
        done += static_cast<size_t>(n);
    }
    // mkstemp makes the file 0600; an image should get the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail(e);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail(e);
    }
    return true;
}

} // namespace

void ImageDestination::registerWriter(const std::string& type, ImageWriterFactory factory)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.writers[type] = std::move(factory);
}

std::vector<std::string> ImageDestination::typeIdentifiers()
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> ids;
    for (const auto& [k, v] : r.writers)
        ids.push_back(k);
    return ids;
}

ImageDestinationPtr ImageDestination::createWithURL(const foundation::URL& url, const std::string& type, size_t count)
{
    if (!url.isFileURL())
        return nullptr;
    return createWithPath(url.path(), type, count);
}

ImageDestinationPtr ImageDestination::createWithPath(const std::string& path, const std::string& type, size_t count)
{
    if (path.empty())
        return nullptr;
    auto writer = makeWriter(type);
    if (!writer || count == 0 || (count > 1 && !writer->supportsMultipleImages()))
        return nullptr;
    ImageDestinationPtr d(new ImageDestination());
    d->m_path = path;
    d->m_type = type;
    d->m_count = count;
    d->m_writer = std::move(writer);
    return d;
}

ImageDestinationPtr ImageDestination::createWithData(std::vector<uint8_t>* data, const std::string& type, size_t count)
{
    if (!data)
        return nullptr;
    auto writer = makeWriter(type);
    if (!writer || count == 0 || (count > 1 && !writer->supportsMultipleImages()))
        return nullptr;
    ImageDestinationPtr d(new ImageDestination());
    d->m_data = data;
    d->m_type = type;
    d->m_count = count;
    d->m_writer = std::move(writer);
    return d;
}

void ImageDestination::setProperties(const DestinationProperties& properties)
{
    if (m_writer && !m_finalized)
        m_writer->setProperties(properties);
}

void ImageDestination::addImage(const graphics::ImagePtr& image, const DestinationProperties& properties)
{
    if (m_error || m_finalized)
        return;
    if (!image) {
        m_error = destError(ImageDestinationEncodingFailed, "No image was given to write.");
        return;
    }
    if (m_added >= m_count) {
        m_error = destError(ImageDestinationTooManyImages, "More images were added than the destination was made for.");
        return;
    }
    foundation::ErrorPtr e;
    if (!m_writer->addImage(image, properties, &e)) {
        m_error = e ? e : destError(ImageDestinationEncodingFailed, "The image could not be added.");
        return;
    }
    ++m_added;
}

bool ImageDestination::finalize(foundation::ErrorPtr* error)
{
    auto fail = [&](foundation::ErrorPtr e) {
        if (error)
            *error = e;
        return false;
    };
    if (m_finalized)
        return fail(destError(ImageDestinationAlreadyFinalized, "The destination was already finalized."));
    m_finalized = true;
    if (m_error)
        return fail(m_error);
    if (m_added == 0)
        return fail(destError(ImageDestinationNoImages, "No images were added to the destination."));
    std::vector<uint8_t> bytes;
    foundation::ErrorPtr e;
    if (!m_writer->finish(bytes, &e))
        return fail(e ? e : destError(ImageDestinationEncodingFailed, "The images could not be encoded."));
    if (m_data) {
        *m_data = std::move(bytes);
        return true;
    }
    if (!writeFileAtomically(m_path, bytes, &e))
        return fail(e);
    return true;
}

} // namespace images
