#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

// libtiff reads through these procedures from the mapped bytes; nothing is written.
struct MemoryFile {
    explicit MemoryFile(Bytes b) : bytes(b) { }
    Bytes bytes;
    toff_t pos = 0;
    std::string lastError;
};

tmsize_t readProc(thandle_t h, void* buf, tmsize_t size)
{
    auto* f = static_cast<MemoryFile*>(h);
    if (size < 0 || f->pos >= f->bytes.size)
        return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(size), f->bytes.size - f->pos);
    std::memcpy(buf, f->bytes.data + f->pos, n);
    f->pos += n;
    return static_cast<tmsize_t>(n);
}
tmsize_t writeProc(thandle_t, void*, tmsize_t) { return 0; }
toff_t seekProc(thandle_t h, toff_t off, int whence)
{
    auto* f = static_cast<MemoryFile*>(h);
    toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->bytes.size : 0;
    f->pos = base + off;
    return f->pos;
}
int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size; }
int mapProc(thandle_t h, void** base, toff_t* size)
{
    auto* f = static_cast<MemoryFile*>(h);
    *base = const_cast<uint8_t*>(f->bytes.data);
    *size = f->bytes.size;
    return 1;
}
void unmapProc(thandle_t, void*, toff_t) { }

int errorHandler(TIFF*, void* user, const char* module, const char* fmt, va_list ap)
{
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    auto* f = static_cast<MemoryFile*>(user);
    f->lastError = std::string(module ? module : "") + ": " + buf;
    return 1;
}
int warningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TIFFCloser {
    void operator()(TIFF* t) const
    {
        if (t)
            TIFFClose(t);
    }
};
using TIFFPtr = std::unique_ptr<TIFF, TIFFCloser>;

// Per-handle error handlers keep messages out of stderr and threads apart.
TIFFPtr open(MemoryFile& file)
{
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, errorHandler, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, warningHandler, &file);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(kMaxPixels) * 8);
    TIFF* t = TIFFClientOpenExt("image", "rm", &file, readProc, writeProc, seekProc, closeProc, sizeProc, mapProc,
                                unmapProc, opts);
    TIFFOpenOptionsFree(opts);
    return TIFFPtr(t);
}

// How many times the directory's compression can expand its data at most, as bytes of
// samples per byte stored.
uint64_t maxExpansion(uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 64;                  // two bytes repeat one up to 128 times
    case COMPRESSION_LZW: return 4096 * 8 / 9 + 1;         // codes of nine bits or more, strings of up to 4096
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return 1032;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG: return 64 * 8 * 2;             // a bit per 8 x 8 block of 16-bit samples
    default: return 1u << 17;                              // other coders (zstd's runs, say): a loose bound
    }
}

// The stored bytes of the current directory's strips or tiles, as far as the file holds them.
uint64_t storedBytes(TIFF* t, const Bytes& in)
{
    const uint32_t chunks = TIFFIsTiled(t) ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t);
    uint64_t total = 0;
    for (uint32_t i = 0; i < chunks && total < in.size; ++i) {
        const uint64_t offset = TIFFGetStrileOffset(t, i);
        const uint64_t count = TIFFGetStrileByteCount(t, i);
        if (offset < in.size)
            total += std::min<uint64_t>(count, in.size - offset);
    }
    return std::min<uint64_t>(total, in.size);
}

std::string failureText(const MemoryFile& f, const char* what)
{
    return f.lastError.empty() ? std::string(what) : std::string(what) + " (" + f.lastError + ")";
}

} // namespace

size_t tiffCount(Bytes in)
{
    MemoryFile f(in);
    TIFFPtr t = open(f);
    if (!t)
        return 0;
    return TIFFNumberOfDirectories(t.get());
}

std::optional<ImageProperties> tiffProperties(Bytes in, size_t index, Failure& failure)
{
    MemoryFile f(in);
    TIFFPtr t = open(f);
    if (!t || !TIFFSetDirectory(t.get(), static_cast<tdir_t>(index))) {
        failure = {3, failureText(f, "the TIFF header is unreadable")};
        return std::nullopt;
    }
    ImageProperties p;
    readExif(in, p); // IFD0's orientation, make, model and EXIF directory
    uint32_t w = 0, h = 0;
    uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, orientation = 1, extra = 0;
    uint16_t* extraTypes = nullptr;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    if (TIFFGetField(t.get(), TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8)
        p.orientation = orientation;
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_EXTRASAMPLES, &extra, &extraTypes);
    p.pixelWidth = static_cast<int>(std::min<uint32_t>(w, INT32_MAX));
    p.pixelHeight = static_cast<int>(std::min<uint32_t>(h, INT32_MAX));
    p.depth = bps;
    p.hasAlpha = extra > 0;
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE: p.colorModel = kCGImagePropertyColorModelGray; break;
    case PHOTOMETRIC_SEPARATED: p.colorModel = kCGImagePropertyColorModelCMYK; break;
    case PHOTOMETRIC_CIELAB: p.colorModel = kCGImagePropertyColorModelLab; break;
    default: p.colorModel = kCGImagePropertyColorModelRGB; break;
    }
    float xr = 0, yr = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit != RESUNIT_NONE) {
        const double f2 = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        if (TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xr) && xr > 0)
            p.dpiWidth = xr * f2;
        if (TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &yr) && yr > 0)
            p.dpiHeight = yr * f2;
    }
    uint32_t iccLen = 0;
    void* icc = nullptr;
    if (TIFFGetField(t.get(), TIFFTAG_ICCPROFILE, &iccLen, &icc) && icc && iccLen) {
        std::vector<uint8_t> bytes(static_cast<uint8_t*>(icc), static_cast<uint8_t*>(icc) + iccLen);
        if (auto cs = graphics::ColorSpace::createWithICCData(bytes))
            p.profileName = cs->description();
    }
    return p;
}

graphics::ImagePtr tiffDecode(Bytes in, size_t index, Failure& failure)
{
    MemoryFile f(in);
    TIFFPtr tp = open(f);
    TIFF* t = tp.get();
    if (!t || !TIFFSetDirectory(t, static_cast<tdir_t>(index))) {
        failure = {3, failureText(f, "the TIFF header is unreadable")};
        return nullptr;
    }
    uint32_t w = 0, h = 0;
    uint16_t bps = 1, spp = 1, photometric = 0xFFFF, planar = PLANARCONFIG_CONTIG, orientation = 1, extra = 0,
             inkset = INKSET_CMYK, sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t* extraTypes = nullptr;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra, &extraTypes);
    TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &inkset);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    if (!checkSize(w, h, failure))
        return nullptr;
    {
        uint16_t compression = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
        const uint64_t needed = (static_cast<uint64_t>(w) * spp * bps + 7) / 8 * h;
        const uint64_t stored = storedBytes(t, in);
        // Fax coders spend at least a bit on a row, however wide.
        const bool fax = compression == COMPRESSION_CCITTRLE || compression == COMPRESSION_CCITTRLEW
            || compression == COMPRESSION_CCITTFAX3 || compression == COMPRESSION_CCITTFAX4;
        if (fax ? !checkData(h, stored, 8, w, h, "TIFF", failure)
                : !checkData(needed, stored, maxExpansion(compression), w, h, "TIFF", failure)
                    || !checkExpansion(needed, stored, w, h, "TIFF", failure))
            return nullptr;
    }

    graphics::ColorSpacePtr embedded;
    {
        uint32_t iccLen = 0;
        void* icc = nullptr;
        if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &iccLen, &icc) && icc && iccLen)
            embedded = graphics::ColorSpace::createWithICCData(
                std::vector<uint8_t>(static_cast<uint8_t*>(icc), static_cast<uint8_t*>(icc) + iccLen));
    }

    const bool gray = (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) && spp - extra == 1;
    const bool rgb = photometric == PHOTOMETRIC_RGB && spp - extra == 3;
    const bool cmyk = photometric == PHOTOMETRIC_SEPARATED && inkset == INKSET_CMYK && spp == 4;
    const bool exact = (bps == 8 || bps == 16) && planar == PLANARCONFIG_CONTIG && sampleFormat == SAMPLEFORMAT_UINT
        && extra <= 1 && (gray || rgb || cmyk);

    if (exact) {
        // Samples read as stored (no premultiplication) a row at a time, and narrowed to 8 bits
        // straight into the image: only a row (or a row of tiles) of them is held.
        const size_t bytesPerSample = bps / 8;
        const size_t rowBytes = static_cast<size_t>(w) * spp * bytesPerSample;
        const bool hasAlpha = extra == 1 && extraTypes
            && (extraTypes[0] == EXTRASAMPLE_ASSOCALPHA || extraTypes[0] == EXTRASAMPLE_UNASSALPHA);
        const bool assoc = hasAlpha && extraTypes[0] == EXTRASAMPLE_ASSOCALPHA;
        // Grey without alpha and CMYK keep their components; RGB, or grey with alpha, become
        // R,G,B,A in memory.
        const bool keepsComponents = (gray && !hasAlpha) || cmyk;
        const size_t comps = keepsComponents ? (gray ? 1 : 4) : 4;
        auto px = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w) * h * comps);
        auto convertRow = [&](const uint8_t* raw, uint32_t y) {
            auto sample = [&](size_t i) -> uint8_t {
                if (bytesPerSample == 1)
                    return raw[i];
                uint16_t v;
                std::memcpy(&v, &raw[i * 2], 2); // libtiff hands out samples in native order
                return static_cast<uint8_t>((v * 255u + 32767u) / 65535u);
            };
            uint8_t* out = &(*px)[static_cast<size_t>(y) * w * comps];
            for (size_t x = 0; x < w; ++x) {
                uint8_t* o = out + x * comps;
                if (keepsComponents) {
                    for (size_t c = 0; c < comps; ++c) {
                        const uint8_t v = sample(x * spp + c);
                        o[c] = photometric == PHOTOMETRIC_MINISWHITE ? uint8_t(255 - v) : v;
                    }
                    continue;
                }
                if (gray) {
                    uint8_t v = sample(x * spp);
                    if (photometric == PHOTOMETRIC_MINISWHITE)
                        v = static_cast<uint8_t>(255 - v);
                    o[0] = o[1] = o[2] = v;
                } else {
                    o[0] = sample(x * spp);
                    o[1] = sample(x * spp + 1);
                    o[2] = sample(x * spp + 2);
                }
                o[3] = hasAlpha ? sample(x * spp + spp - 1) : 255;
            }
        };
        if (TIFFIsTiled(t)) {
            uint32_t tw = 0, th = 0;
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
            TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
            const tmsize_t tileSize = TIFFTileSize(t);
            if (tw == 0 || th == 0 || tileSize <= 0) {
                failure = {3, failureText(f, "the TIFF tiles are malformed")};
                return nullptr;
            }
            const size_t tileRow = static_cast<size_t>(tw) * spp * bytesPerSample;
            if (static_cast<size_t>(tileSize) < tileRow * th) {
                failure = {3, "the TIFF tiles are malformed"};
                return nullptr;
            }
            // Tiles may be far taller than the image (a hostile header): a band holds the
            // rows of one row of tiles that the image has.
            const uint32_t bandRows = std::min(th, h);
            std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
            std::vector<uint8_t> band(rowBytes * bandRows);
            for (uint32_t y = 0; y < h; y += th) {
                const uint32_t rows = std::min(th, h - y);
                for (uint32_t x = 0; x < w; x += tw) {
                    if (TIFFReadTile(t, tile.data(), x, y, 0, 0) < 0) {
                        failure = {4, failureText(f, "a TIFF tile could not be read")};
                        return nullptr;
                    }
                    const size_t cols = std::min<size_t>(tw, w - x);
                    for (uint32_t r = 0; r < rows; ++r)
                        std::memcpy(&band[r * rowBytes + static_cast<size_t>(x) * spp * bytesPerSample], &tile[r * tileRow],
                                    cols * spp * bytesPerSample);
                }
                for (uint32_t r = 0; r < rows; ++r)
                    convertRow(&band[r * rowBytes], y + r);
            }
        } else {
            if (static_cast<size_t>(TIFFScanlineSize(t)) < rowBytes) {
                failure = {3, "the TIFF rows are malformed"};
                return nullptr;
            }
            std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(t)));
            for (uint32_t y = 0; y < h; ++y) {
                if (TIFFReadScanline(t, line.data(), y, 0) < 0) {
                    failure = {4, failureText(f, "the TIFF data ends before the image does")};
                    return nullptr;
                }
                convertRow(line.data(), y);
            }
        }
        const uint8_t* d = px->data();
        const size_t size = px->size();
        if (keepsComponents) {
            graphics::ColorSpacePtr space = gray ? graphics::ColorSpace::createDeviceGray() : graphics::ColorSpace::createDeviceCMYK();
            if (embedded && embedded->numberOfComponents() == static_cast<int>(comps))
                space = embedded;
            return graphics::Image::createWithData(w, h, 8, comps * 8, static_cast<size_t>(w) * comps, space, {}, d, size,
                                                   std::move(px));
        }
        graphics::ColorSpacePtr space = embedded && embedded->model() == graphics::ColorSpaceModel::rgb
            ? embedded
            : graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
        const graphics::AlphaInfo ai = !hasAlpha ? graphics::AlphaInfo::noneSkipLast
            : assoc                              ? graphics::AlphaInfo::premultipliedLast
                                                 : graphics::AlphaInfo::last;
        return graphics::Image::createWithData(w, h, 8, 32, static_cast<size_t>(w) * 4, space, {ai, graphics::ByteOrder::orderDefault},
                                               d, size, std::move(px));
    }

    // Palettes, bilevel, YCbCr and other layouts: libtiff's RGBA reader, asked for the file's
    // own orientation so the rows stay as stored. It premultiplies alpha, which we declare.
    char emsg[1024] = {};
    if (!TIFFRGBAImageOK(t, emsg)) {
        failure = {3, std::string("the TIFF layout is not supported: ") + emsg};
        return nullptr;
    }
    auto px = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w) * h * 4);
    const int req = orientation >= 1 && orientation <= 4 ? orientation : ORIENTATION_TOPLEFT;
    if (!TIFFReadRGBAImageOriented(t, w, h, reinterpret_cast<uint32_t*>(px->data()), req, 0)) {
        failure = {4, failureText(f, "the TIFF data could not be read")};
        return nullptr;
    }
    const uint8_t* d = px->data();
    const size_t size = px->size();
    // Packed as A<<24|B<<16|G<<8|R: R,G,B,A in memory on this (little-endian) machine.
    return graphics::Image::createWithData(w, h, 8, 32, static_cast<size_t>(w) * 4,
                                           graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                           {extra ? graphics::AlphaInfo::premultipliedLast : graphics::AlphaInfo::noneSkipLast,
                                            graphics::ByteOrder::orderDefault},
                                           d, size, std::move(px));
}

} // namespace images::codec
