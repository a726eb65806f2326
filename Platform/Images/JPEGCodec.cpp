#include <turbojpeg.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

struct TJDeleter {
    void operator()(void* h) const
    {
        if (h)
            tjDestroy(h);
    }
};
using TJHandle = std::unique_ptr<void, TJDeleter>;

bool isSOF(uint8_t m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

} // namespace

bool jpegWarningLeavesWholeImage(const std::string& warning)
{
    // Most warnings leave a whole image (stray bytes before a marker, say). Data that ends
    // early, with the file ("Premature end of JPEG file") or at a marker ("premature end of
    // data segment"), leaves the rest of the picture grey: that photo would show broken.
    std::string lower = warning;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find("premature end") == std::string::npos;
}

bool jpegHeader(Bytes in, JPEGHeader& h, Failure& failure)
{
    const uint8_t* d = in.data;
    const size_t n = in.size;
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8) {
        failure = {3, "not a JPEG file"};
        return false;
    }
    std::map<int, std::vector<uint8_t>> iccChunks;
    int iccCount = 0;
    bool sawFrame = false;
    size_t at = 2;
    bool sawScan = false;
    while (at + 4 <= n) {
        if (d[at] != 0xFF) {
            failure = {3, "the JPEG markers are damaged"};
            return false;
        }
        const uint8_t marker = d[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {
            if (marker == 0xDA)
                h.scanStart = at;
            sawScan = true;
            break;
        }
        const size_t len = (size_t(d[at + 2]) << 8) | d[at + 3];
        if (len < 2 || at + 2 + len > n) {
            failure = {4, "the JPEG data ends inside a header segment"};
            return false;
        }
        const uint8_t* seg = d + at + 4;
        const size_t segLen = len - 2;
        if (isSOF(marker) && !sawFrame) {
            if (segLen < 6) {
                failure = {3, "the JPEG frame header is too short"};
                return false;
            }
            h.precision = seg[0];
            h.height = (seg[1] << 8) | seg[2];
            h.width = (seg[3] << 8) | seg[4];
            h.components = seg[5];
            h.arithmetic = marker >= 0xC9;
            sawFrame = true;
        } else if (marker == 0xE0 && segLen >= 12 && std::memcmp(seg, "JFIF\0", 5) == 0) {
            h.densityUnit = seg[7];
            h.densityX = (seg[8] << 8) | seg[9];
            h.densityY = (seg[10] << 8) | seg[11];
        } else if (marker == 0xE1 && segLen > 6 && std::memcmp(seg, "Exif\0", 5) == 0 && !h.exif.data) {
            h.exif = {seg + 6, segLen - 6};
        } else if (marker == 0xE2 && segLen > 14 && std::memcmp(seg, "ICC_PROFILE\0", 12) == 0) {
            iccCount = seg[13];
            iccChunks[seg[12]].assign(seg + 14, seg + segLen);
        } else if (marker == 0xEE && segLen >= 12 && std::memcmp(seg, "Adobe", 5) == 0) {
            h.adobe = true;
        }
        at += 2 + len;
    }
    if (in.partial && !sawScan) {
        // Tables, a profile or EXIF may still follow the frame header.
        failure = {4, "the JPEG data ends inside its header"};
        return false;
    }
    if (!sawFrame) {
        failure = {at + 4 > n ? 4L : 3L, at + 4 > n ? "the JPEG data ends before its frame header"
                                                    : "the JPEG file has no frame header"};
        return false;
    }
    // The profile may be split over several APP2 markers, numbered from 1.
    if (iccCount > 0 && static_cast<int>(iccChunks.size()) == iccCount) {
        for (int i = 1; i <= iccCount; ++i) {
            auto it = iccChunks.find(i);
            if (it == iccChunks.end()) {
                h.icc.clear();
                break;
            }
            h.icc.insert(h.icc.end(), it->second.begin(), it->second.end());
        }
    }
    return true;
}

bool jpegDataHoldsPicture(Bytes in, const JPEGHeader& h, Failure& failure)
{
    const uint64_t blocks = ((static_cast<uint64_t>(h.width) + 7) / 8) * ((static_cast<uint64_t>(h.height) + 7) / 8);
    const uint64_t scanBytes = h.scanStart > 0 && h.scanStart < in.size ? in.size - h.scanStart : 0;
    // One bit per block: eight blocks a byte. Arithmetic coding adapts to runs of empty
    // blocks, so it is only held to a far looser bound.
    return checkData(blocks, scanBytes, h.arithmetic ? 8 * 64 : 8, static_cast<uint64_t>(h.width),
                     static_cast<uint64_t>(h.height), "JPEG", failure);
}

std::optional<ImageProperties> jpegProperties(Bytes in, Failure& failure)
{
    JPEGHeader h;
    if (!jpegHeader(in, h, failure))
        return std::nullopt;
    ImageProperties p;
    p.pixelWidth = h.width;
    p.pixelHeight = h.height;
    p.depth = h.precision;
    p.colorModel = h.components == 1 ? kCGImagePropertyColorModelGray : h.components == 4 ? kCGImagePropertyColorModelCMYK : kCGImagePropertyColorModelRGB;
    if (h.densityUnit == 1 || h.densityUnit == 2) {
        const double f = h.densityUnit == 2 ? 2.54 : 1.0;
        if (h.densityX > 0)
            p.dpiWidth = h.densityX * f;
        if (h.densityY > 0)
            p.dpiHeight = h.densityY * f;
    }
    if (h.exif.data)
        readExif(h.exif, p);
    if (!h.icc.empty())
        if (auto cs = graphics::ColorSpace::createWithICCData(h.icc))
            p.profileName = cs->description();
    if (!p.dpiWidth)
        p.dpiWidth = 72;
    if (!p.dpiHeight)
        p.dpiHeight = 72;
    return p;
}

graphics::ImagePtr jpegDecode(Bytes in, int scaleDenominator, Failure& failure)
{
    JPEGHeader h;
    if (!jpegHeader(in, h, failure))
        return nullptr;
    TJHandle tj(tjInitDecompress());
    if (!tj) {
        failure = {3, "the JPEG decoder could not start"};
        return nullptr;
    }
    int w = 0, hgt = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), in.data, static_cast<unsigned long>(in.size), &w, &hgt, &subsamp, &colorspace) != 0) {
        failure = {3, std::string("the JPEG header is unreadable: ") + tjGetErrorStr2(tj.get())};
        return nullptr;
    }
    if (!checkSize(static_cast<uint64_t>(w), static_cast<uint64_t>(hgt), failure) || !jpegDataHoldsPicture(in, h, failure))
        return nullptr;
    const tjscalingfactor factor{1, std::clamp(scaleDenominator, 1, 8)};
    const int sw = TJSCALED(w, factor);
    const int sh = TJSCALED(hgt, factor);

    graphics::ColorSpacePtr space;
    graphics::BitmapInfo info;
    int pixelFormat = TJPF_BGRX;
    size_t bpp = 4;
    graphics::ColorSpacePtr embedded = h.icc.empty() ? nullptr : graphics::ColorSpace::createWithICCData(h.icc);
    if (colorspace == TJCS_GRAY) {
        pixelFormat = TJPF_GRAY;
        bpp = 1;
        space = embedded && embedded->model() == graphics::ColorSpaceModel::monochrome ? embedded
                                                                                        : graphics::ColorSpace::createDeviceGray();
    } else if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) {
        pixelFormat = TJPF_CMYK;
        space = embedded && embedded->model() == graphics::ColorSpaceModel::cmyk ? embedded
                                                                                  : graphics::ColorSpace::createDeviceCMYK();
    } else {
        // B,G,R,skip is what cairo draws from directly.
        info = {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Little};
        space = embedded && embedded->model() == graphics::ColorSpaceModel::rgb ? embedded
                                                                                 : graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    }
    const size_t stride = static_cast<size_t>(sw) * bpp;
    auto pixels = std::make_shared<std::vector<uint8_t>>(stride * static_cast<size_t>(sh));
    const int rc = tjDecompress2(tj.get(), in.data, static_cast<unsigned long>(in.size), pixels->data(), sw,
                                 static_cast<int>(stride), sh, pixelFormat, TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS);
    if (rc != 0) {
        const std::string why = tjGetErrorStr2(tj.get());
        if (tjGetErrorCode(tj.get()) == TJERR_FATAL) {
            failure = {3, "the JPEG data is corrupt: " + why};
            return nullptr;
        }
        if (!jpegWarningLeavesWholeImage(why)) {
            failure = {4, "the JPEG data ends before the image does"};
            return nullptr;
        }
    }
    if (pixelFormat == TJPF_CMYK && h.adobe) {
        // Photoshop stores CMYK inverted (0 = full ink) and says so with its APP14 marker.
        for (uint8_t& v : *pixels)
            v = static_cast<uint8_t>(255 - v);
    }
    const uint8_t* data = pixels->data();
    const size_t size = pixels->size();
    return graphics::Image::createWithData(static_cast<size_t>(sw), static_cast<size_t>(sh), 8, bpp * 8, stride, space,
                                           info, data, size, std::move(pixels));
}

} // namespace images::codec
