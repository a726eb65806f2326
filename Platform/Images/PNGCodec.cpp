#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

struct PNGInfo {
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = 0;
    bool transparency = false;
    bool declaresGamma = false; // gAMA, sRGB or iCCP: libpng then knows how samples are encoded
};

// Walks the chunks before the image data: IHDR, tRNS, pHYs, eXIf, iCCP.
bool walkChunks(Bytes in, PNGInfo& info, ImageProperties* props, Failure& failure)
{
    const uint8_t* d = in.data;
    const size_t n = in.size;
    if (n < 8 || std::memcmp(d, "\x89PNG\r\n\x1A\n", 8) != 0) {
        failure = {3, "not a PNG file"};
        return false;
    }
    size_t at = 8;
    bool sawHeader = false;
    bool sawData = false;
    while (at + 8 <= n) {
        const uint32_t len = be32(d + at);
        const uint8_t* type = d + at + 4;
        if (len > n || at + 12 + len > n) {
            failure = {4, "the PNG data ends inside a chunk"};
            return false;
        }
        const uint8_t* body = d + at + 8;
        if (!sawHeader) {
            if (std::memcmp(type, "IHDR", 4) != 0 || len < 13) {
                failure = {3, "the PNG file does not start with its header"};
                return false;
            }
            info.width = be32(body);
            info.height = be32(body + 4);
            info.bitDepth = body[8];
            info.colorType = body[9];
            sawHeader = true;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            info.transparency = true;
        } else if (std::memcmp(type, "gAMA", 4) == 0 || std::memcmp(type, "sRGB", 4) == 0) {
            info.declaresGamma = true;
        } else if (std::memcmp(type, "iCCP", 4) == 0) {
            info.declaresGamma = true;
            if (props) {
                const void* nul = std::memchr(body, 0, std::min<size_t>(len, 80));
                if (nul)
                    props->profileName.assign(reinterpret_cast<const char*>(body), static_cast<const uint8_t*>(nul) - body);
            }
        } else if (props && std::memcmp(type, "pHYs", 4) == 0 && len >= 9 && body[8] == 1) {
            // Pixels per metre.
            const uint32_t x = be32(body), y = be32(body + 4);
            if (x)
                props->dpiWidth = x * 0.0254;
            if (y)
                props->dpiHeight = y * 0.0254;
        } else if (props && std::memcmp(type, "eXIf", 4) == 0) {
            readExif({body, len}, *props);
        } else if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) {
            sawData = true;
            break;
        }
        at += 12 + len;
    }
    if (!sawHeader || (in.partial && !sawData)) {
        failure = {4, "the PNG data ends before its header"};
        return false;
    }
    return true;
}

// The bytes of all the image data chunks, as far as the file holds them.
uint64_t imageDataBytes(Bytes in)
{
    uint64_t total = 0;
    for (size_t at = 8; at + 8 <= in.size;) {
        const uint32_t len = be32(in.data + at);
        const size_t room = in.size - at - 8;
        if (std::memcmp(in.data + at + 4, "IDAT", 4) == 0)
            total += std::min<uint64_t>(len, room);
        if (len > room || room - len < 4)
            break;
        at += 12 + len;
    }
    return total;
}

int channelsOf(int colorType)
{
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1; // grey, palette
    }
}

} // namespace

std::optional<ImageProperties> pngProperties(Bytes in, Failure& failure)
{
    PNGInfo info;
    ImageProperties p;
    if (!walkChunks(in, info, &p, failure))
        return std::nullopt;
    p.pixelWidth = static_cast<int>(std::min<uint32_t>(info.width, INT32_MAX));
    p.pixelHeight = static_cast<int>(std::min<uint32_t>(info.height, INT32_MAX));
    p.depth = info.bitDepth;
    const bool gray = (info.colorType & PNG_COLOR_MASK_COLOR) == 0;
    p.colorModel = gray ? kCGImagePropertyColorModelGray : kCGImagePropertyColorModelRGB;
    p.hasAlpha = (info.colorType & PNG_COLOR_MASK_ALPHA) != 0 || info.transparency;
    return p;
}

graphics::ImagePtr pngDecode(Bytes in, Failure& failure)
{
    PNGInfo info;
    if (!walkChunks(in, info, nullptr, failure))
        return nullptr;
    if (!checkSize(info.width, info.height, failure))
        return nullptr;
    // Deflate expands at most 1032 times: the rows (one filter byte each, then the samples)
    // must fit in that many times the image data.
    const uint64_t rowBytes = 1 + (static_cast<uint64_t>(info.width) * channelsOf(info.colorType) * std::max(info.bitDepth, 1) + 7) / 8;
    const uint64_t stored = imageDataBytes(in);
    if (!checkData(rowBytes * info.height, stored, 1032, info.width, info.height, "PNG", failure)
        || !checkExpansion(rowBytes * info.height, stored, info.width, info.height, "PNG", failure))
        return nullptr;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, in.data, in.size)) {
        failure = {3, std::string("the PNG data is corrupt: ") + image.message};
        png_image_free(&image);
        return nullptr;
    }
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    const bool gray = (image.format & PNG_FORMAT_FLAG_COLOR) == 0 && !alpha;
    const size_t bpp = gray ? 1 : 4;
    const size_t stride = static_cast<size_t>(image.width) * bpp;
    auto pixels = std::make_shared<std::vector<uint8_t>>(stride * image.height);
    // Grey stays grey; everything else becomes B,G,R,A, which cairo draws from directly
    // (opaque images report the alpha byte as skipped). libpng's simple reader would take
    // 16-bit samples that declare no gamma as linear light and brighten them on the way to 8
    // bits; such files are encoded like 8-bit ones in practice, so it is told they are sRGB.
    // A declared gamma (gAMA, sRGB, iCCP) still wins.
    image.format = gray ? PNG_FORMAT_GRAY : PNG_FORMAT_BGRA;
    if (info.bitDepth == 16 && !info.declaresGamma)
        image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    const bool ok = png_image_finish_read(&image, nullptr, pixels->data(), static_cast<png_int_32>(stride), nullptr) != 0;
    if (!ok) {
        const std::string msg = image.message;
        png_image_free(&image);
        const bool truncated = msg.find("end") != std::string::npos || msg.find("Not enough") != std::string::npos
            || msg.find("Read Error") != std::string::npos;
        failure = {truncated ? 4L : 3L, "the PNG data is " + std::string(truncated ? "truncated: " : "corrupt: ") + msg};
        return nullptr;
    }
    png_image_free(&image);
    graphics::ColorSpacePtr space = gray ? graphics::ColorSpace::createDeviceGray()
                                         : graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    graphics::BitmapInfo bi;
    if (!gray)
        bi = {alpha ? graphics::AlphaInfo::first : graphics::AlphaInfo::noneSkipFirst,
              graphics::ByteOrder::order32Little};
    const uint8_t* data = pixels->data();
    const size_t size = pixels->size();
    return graphics::Image::createWithData(info.width, info.height, 8, bpp * 8, stride, space, bi, data, size,
                                           std::move(pixels));
}

} // namespace images::codec
