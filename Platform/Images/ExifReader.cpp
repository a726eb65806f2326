#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "Platform/Images/Codecs.h"
#include "Platform/Graphics/Image.h"

namespace images {

const std::string kCGImagePropertyExifDateTimeOriginal = "DateTimeOriginal";
const std::string kCGImagePropertyExifDateTimeDigitized = "DateTimeDigitized";
const std::string kCGImagePropertyExifSubsecTimeOriginal = "SubsecTimeOriginal";
const std::string kCGImagePropertyExifPixelXDimension = "PixelXDimension";
const std::string kCGImagePropertyExifPixelYDimension = "PixelYDimension";
const std::string kCGImagePropertyColorModelRGB = "RGB";
const std::string kCGImagePropertyColorModelGray = "Gray";
const std::string kCGImagePropertyColorModelCMYK = "CMYK";
const std::string kCGImagePropertyColorModelLab = "Lab";

namespace codec {

bool checkSize(uint64_t width, uint64_t height, Failure& failure)
{
    if (width == 0 || height == 0) {
        failure = {3, "the image has no pixels"};
        return false;
    }
    if (width > 65535 * 4 || height > 65535 * 4 || width * height > kMaxPixels) {
        failure = {6, "the image is too large (" + std::to_string(width) + " x " + std::to_string(height) + ")"};
        return false;
    }
    return true;
}

bool checkData(uint64_t needed, uint64_t available, uint64_t maxRatio, uint64_t width, uint64_t height, const char* kind,
               Failure& failure)
{
    // A little slack for the compressor's own framing.
    const long double most = (static_cast<long double>(available) + 64) * static_cast<long double>(maxRatio);
    if (static_cast<long double>(needed) <= most)
        return true;
    failure = {4, std::string("the ") + kind + " data (" + std::to_string(available) + " bytes) is far too short for the "
                  + std::to_string(width) + " x " + std::to_string(height) + " pixels its header declares"};
    return false;
}

bool checkExpansion(uint64_t needed, uint64_t available, uint64_t width, uint64_t height, const char* kind, Failure& failure)
{
    if (needed <= kBombBytes || needed / kBombRatio <= available)
        return true;
    failure = {6, std::string("the ") + kind + " data (" + std::to_string(available) + " bytes) would expand to "
                  + std::to_string(width) + " x " + std::to_string(height) + " nearly empty pixels"};
    return false;
}

namespace {

// A bounds-checked view of a TIFF structure in either byte order.
class TiffView {
public:
    TiffView(Bytes b) : m_b(b) { }

    bool header(uint32_t& ifd0)
    {
        if (m_b.size < 8)
            return false;
        if (m_b.data[0] == 'I' && m_b.data[1] == 'I')
            m_little = true;
        else if (m_b.data[0] == 'M' && m_b.data[1] == 'M')
            m_little = false;
        else
            return false;
        uint16_t magic = 0;
        if (!u16(2, magic) || (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55))
            return false;
        return u32(4, ifd0);
    }

    bool u16(size_t at, uint16_t& v) const
    {
        if (at > m_b.size || m_b.size - at < 2)
            return false;
        const uint8_t* p = m_b.data + at;
        v = m_little ? uint16_t(p[0] | (p[1] << 8)) : uint16_t((p[0] << 8) | p[1]);
        return true;
    }
    bool u32(size_t at, uint32_t& v) const
    {
        if (at > m_b.size || m_b.size - at < 4)
            return false;
        const uint8_t* p = m_b.data + at;
        v = m_little ? (uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24))
                     : ((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]));
        return true;
    }

    struct Entry {
        uint16_t tag = 0, type = 0;
        uint32_t count = 0;
        size_t valueAt = 0; // offset of the value bytes
    };

    static size_t typeSize(uint16_t type)
    {
        switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
        }
    }

    // Reads the entries of the IFD at `offset`; false when it lies outside the data.
    bool entries(uint32_t offset, std::vector<Entry>& out) const
    {
        uint16_t n = 0;
        if (!u16(offset, n))
            return false;
        for (uint16_t i = 0; i < n; ++i) {
            const size_t at = size_t(offset) + 2 + size_t(i) * 12;
            Entry e;
            uint32_t inl = 0;
            if (!u16(at, e.tag) || !u16(at + 2, e.type) || !u32(at + 4, e.count) || !u32(at + 8, inl))
                return false;
            const size_t ts = typeSize(e.type);
            if (ts == 0 || e.count > m_b.size)
                continue;
            const size_t total = ts * e.count;
            e.valueAt = total <= 4 ? at + 8 : inl;
            if (e.valueAt > m_b.size || m_b.size - e.valueAt < total)
                continue; // a value pointing outside the data is skipped, not trusted
            out.push_back(e);
        }
        return true;
    }

    std::optional<double> number(const Entry& e, uint32_t index = 0) const
    {
        if (index >= e.count)
            return std::nullopt;
        const size_t at = e.valueAt + index * typeSize(e.type);
        switch (e.type) {
        case 1: return m_b.data[at];
        case 6: return static_cast<int8_t>(m_b.data[at]);
        case 3: { uint16_t v; return u16(at, v) ? std::optional<double>(v) : std::nullopt; }
        case 8: { uint16_t v; return u16(at, v) ? std::optional<double>(static_cast<int16_t>(v)) : std::nullopt; }
        case 4: { uint32_t v; return u32(at, v) ? std::optional<double>(v) : std::nullopt; }
        case 9: { uint32_t v; return u32(at, v) ? std::optional<double>(static_cast<int32_t>(v)) : std::nullopt; }
        case 5: case 10: {
            uint32_t n = 0, d = 0;
            if (!u32(at, n) || !u32(at + 4, d) || d == 0)
                return std::nullopt;
            if (e.type == 10)
                return static_cast<double>(static_cast<int32_t>(n)) / static_cast<int32_t>(d);
            return static_cast<double>(n) / d;
        }
        default: return std::nullopt;
        }
    }

    std::string text(const Entry& e) const
    {
        if (e.type != 2 && e.type != 7 && e.type != 1)
            return {};
        std::string s(reinterpret_cast<const char*>(m_b.data + e.valueAt), e.count);
        // ASCII values end at their first NUL; trailing blanks are padding.
        if (auto nul = s.find('\0'); nul != std::string::npos)
            s.resize(nul);
        while (!s.empty() && (s.back() == ' '))
            s.pop_back();
        return s;
    }

    std::string formatted(const Entry& e) const
    {
        if (e.type == 2)
            return text(e);
        if (e.type == 7)
            return {};
        std::string out;
        for (uint32_t i = 0; i < e.count && i < 8; ++i) {
            auto v = number(e, i);
            if (!v)
                break;
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.10g", *v);
            if (!out.empty())
                out += " ";
            out += buf;
        }
        return out;
    }

private:
    Bytes m_b;
    bool m_little = true;
};

const char* exifTagName(uint16_t tag)
{
    switch (tag) {
    case 0x829A: return "ExposureTime";
    case 0x829D: return "FNumber";
    case 0x8822: return "ExposureProgram";
    case 0x8827: return "ISOSpeedRatings";
    case 0x9000: return "ExifVersion";
    case 0x9003: return "DateTimeOriginal";
    case 0x9004: return "DateTimeDigitized";
    case 0x9010: return "OffsetTime";
    case 0x9011: return "OffsetTimeOriginal";
    case 0x9012: return "OffsetTimeDigitized";
    case 0x9201: return "ShutterSpeedValue";
    case 0x9202: return "ApertureValue";
    case 0x9204: return "ExposureBiasValue";
    case 0x9207: return "MeteringMode";
    case 0x9209: return "Flash";
    case 0x920A: return "FocalLength";
    case 0x9290: return "SubsecTime";
    case 0x9291: return "SubsecTimeOriginal";
    case 0x9292: return "SubsecTimeDigitized";
    case 0xA001: return "ColorSpace";
    case 0xA002: return "PixelXDimension";
    case 0xA003: return "PixelYDimension";
    case 0xA402: return "ExposureMode";
    case 0xA403: return "WhiteBalance";
    case 0xA405: return "FocalLenIn35mmFilm";
    case 0xA434: return "LensModel";
    default: return nullptr;
    }
}

} // namespace

namespace {

// A directory offset or an enumerated value as the integer it must be: a fraction, a negative
// number or one beyond the type (any field type may stand in a crafted file) reads as none.
template <typename T>
std::optional<T> wholeNumber(std::optional<double> value)
{
    if (!value || !std::isfinite(*value) || *value != std::floor(*value)
        || *value < static_cast<double>(std::numeric_limits<T>::min())
        || *value > static_cast<double>(std::numeric_limits<T>::max()))
        return std::nullopt;
    return static_cast<T>(*value);
}

} // namespace

bool readExif(Bytes tiff, ImageProperties& out)
{
    TiffView v(tiff);
    uint32_t ifd0 = 0;
    if (!v.header(ifd0))
        return false;
    std::vector<TiffView::Entry> entries;
    if (!v.entries(ifd0, entries))
        return true; // a header without a readable directory: nothing to add
    std::optional<double> xres, yres;
    int unit = 2;
    uint32_t exifIFD = 0;
    for (const auto& e : entries) {
        switch (e.tag) {
        case 0x0112: {
            auto o = v.number(e);
            if (o && *o >= 1 && *o <= 8)
                out.orientation = static_cast<int>(*o);
            break;
        }
        case 0x010F: out.make = v.text(e); break;
        case 0x0110: out.model = v.text(e); break;
        case 0x011A: xres = v.number(e); break;
        case 0x011B: yres = v.number(e); break;
        case 0x0128: unit = wholeNumber<int>(v.number(e)).value_or(2); break;
        case 0x8769: exifIFD = wholeNumber<uint32_t>(v.number(e)).value_or(0); break;
        default: break;
        }
    }
    // Resolution is per inch (2) or per centimetre (3); "no unit" (1) carries no DPI.
    auto toDPI = [unit](std::optional<double> r) -> std::optional<double> {
        if (!r || !std::isfinite(*r) || *r <= 0 || unit == 1)
            return std::nullopt;
        return unit == 3 ? *r * 2.54 : *r;
    };
    if (!out.dpiWidth)
        out.dpiWidth = toDPI(xres);
    if (!out.dpiHeight)
        out.dpiHeight = toDPI(yres);

    if (exifIFD) {
        std::vector<TiffView::Entry> ex;
        if (v.entries(exifIFD, ex)) {
            for (const auto& e : ex) {
                const char* name = exifTagName(e.tag);
                if (!name)
                    continue;
                std::string value = v.formatted(e);
                if (!value.empty())
                    out.exif[name] = value;
            }
        }
    }
    return true;
}

} // namespace codec
} // namespace images
