#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

// Screens up to this many pixels (64 MB of canvas) are taken as they come.
constexpr uint64_t kLargeScreenPixels = 16ull * 1000 * 1000;

struct Reader {
    Bytes bytes;
    size_t pos = 0;
};

int readFn(GifFileType* gif, GifByteType* buf, int len)
{
    auto* r = static_cast<Reader*>(gif->UserData);
    if (len <= 0 || r->pos >= r->bytes.size)
        return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(len), r->bytes.size - r->pos);
    std::memcpy(buf, r->bytes.data + r->pos, n);
    r->pos += n;
    return static_cast<int>(n);
}

struct GifCloser {
    void operator()(GifFileType* g) const
    {
        if (g) {
            int err = 0;
            DGifCloseFile(g, &err);
        }
    }
};
using GifPtr = std::unique_ptr<GifFileType, GifCloser>;

GifPtr open(Reader& r, Failure& failure)
{
    int err = 0;
    GifFileType* g = DGifOpen(&r, readFn, &err);
    if (!g) {
        const char* why = GifErrorString(err);
        failure = {3, std::string("the GIF header is unreadable: ") + (why ? why : "unknown error")};
    }
    return GifPtr(g);
}

bool skipExtension(GifFileType* g, GifByteType* ext)
{
    while (ext)
        if (DGifGetExtensionNext(g, &ext) != GIF_OK)
            return false;
    return true;
}

} // namespace

size_t gifCount(Bytes in)
{
    Reader r{in};
    Failure ignored;
    GifPtr g = open(r, ignored);
    if (!g)
        return 0;
    size_t frames = 0;
    // Walks the records without decompressing: image data is skipped block by block.
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(g.get(), &type) != GIF_OK)
            return frames;
        if (type == TERMINATE_RECORD_TYPE)
            return frames;
        if (type == IMAGE_DESC_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetImageDesc(g.get()) != GIF_OK || DGifGetCode(g.get(), &code, &block) != GIF_OK)
                return frames;
            while (block)
                if (DGifGetCodeNext(g.get(), &block) != GIF_OK)
                    return frames;
            ++frames;
        } else if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(g.get(), &code, &ext) != GIF_OK || !skipExtension(g.get(), ext))
                return frames;
        }
    }
}

std::optional<ImageProperties> gifProperties(Bytes in, Failure& failure)
{
    Reader r{in};
    GifPtr g = open(r, failure);
    if (!g)
        return std::nullopt;
    ImageProperties p;
    p.pixelWidth = g->SWidth;
    p.pixelHeight = g->SHeight;
    p.colorModel = kCGImagePropertyColorModelRGB;
    p.hasAlpha = true;
    return p;
}

graphics::ImagePtr gifDecodeFirstFrame(Bytes in, Failure& failure)
{
    Reader r{in};
    GifPtr gp = open(r, failure);
    if (!gp)
        return nullptr;
    GifFileType* g = gp.get();
    const int sw = g->SWidth, sh = g->SHeight;
    if (!checkSize(static_cast<uint64_t>(std::max(sw, 0)), static_cast<uint64_t>(std::max(sh, 0)), failure))
        return nullptr;
    // A large screen that the file's data could not paint even once is a forgery: its canvas
    // would cost memory for pixels no frame can have.
    const uint64_t screenPixels = static_cast<uint64_t>(sw) * static_cast<uint64_t>(sh);
    if (screenPixels > kLargeScreenPixels
        && !checkData(screenPixels, in.size, 4096 * 4, static_cast<uint64_t>(sw), static_cast<uint64_t>(sh), "GIF", failure))
        return nullptr;
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(g, &type) != GIF_OK) {
            failure = {4, "the GIF data ends before its first frame"};
            return nullptr;
        }
        if (type == TERMINATE_RECORD_TYPE) {
            failure = {3, "the GIF file has no frames"};
            return nullptr;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(g, &code, &ext) != GIF_OK) {
                failure = {4, "the GIF data ends inside an extension"};
                return nullptr;
            }
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
                GraphicsControlBlock gcb;
                if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK)
                    transparent = gcb.TransparentColor;
            }
            if (!skipExtension(g, ext)) {
                failure = {4, "the GIF data ends inside an extension"};
                return nullptr;
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE)
            continue;
        if (DGifGetImageDesc(g) != GIF_OK) {
            failure = {4, "the GIF frame header is damaged"};
            return nullptr;
        }
        const GifImageDesc& d = g->Image;
        const ColorMapObject* map = d.ColorMap ? d.ColorMap : g->SColorMap;
        if (!map || !map->Colors) {
            failure = {3, "the GIF frame has no colour table"};
            return nullptr;
        }
        if (d.Width <= 0 || d.Height <= 0 || d.Width > 65535 || d.Height > 65535) {
            failure = {3, "the GIF frame has an impossible size"};
            return nullptr;
        }
        // The frame is decoded a row at a time, so only its part on the screen costs memory;
        // still, each of its pixels takes decoding. An LZW code of at least two bits stands
        // for at most 4096 pixels, so the rest of the file bounds how many pixels are there.
        const uint64_t framePixels = static_cast<uint64_t>(d.Width) * static_cast<uint64_t>(d.Height);
        if (framePixels > kMaxPixels) {
            failure = {6, "the GIF frame is too large (" + std::to_string(d.Width) + " x " + std::to_string(d.Height) + ")"};
            return nullptr;
        }
        if (!checkData(framePixels, in.size - std::min(in.size, r.pos), 4096 * 4, static_cast<uint64_t>(d.Width),
                       static_cast<uint64_t>(d.Height), "GIF frame", failure))
            return nullptr;
        // Interlaced frames store every 8th row, then every 8th from 4, every 4th from 2, every 2nd from 1.
        std::vector<int> order;
        order.reserve(static_cast<size_t>(d.Height));
        if (d.Interlace) {
            const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = starts[pass]; y < d.Height; y += steps[pass])
                    order.push_back(y);
        } else {
            for (int y = 0; y < d.Height; ++y)
                order.push_back(y);
        }
        // The frame is placed on the transparent canvas of the logical screen. Cleared pages
        // straight from the system: the parts no frame paints cost no memory until written.
        const size_t canvasBytes = static_cast<size_t>(sw) * static_cast<size_t>(sh) * 4;
        std::shared_ptr<uint8_t> px(static_cast<uint8_t*>(std::calloc(canvasBytes, 1)), std::free);
        if (!px) {
            failure = {6, "there is not enough memory for the GIF's screen"};
            return nullptr;
        }
        std::vector<GifPixelType> row(static_cast<size_t>(d.Width));
        for (int y : order) {
            if (DGifGetLine(g, row.data(), d.Width) != GIF_OK) {
                failure = {4, "the GIF data ends before the frame does"};
                return nullptr;
            }
            const int cy = d.Top + y;
            if (cy < 0 || cy >= sh)
                continue;
            for (int x = 0; x < d.Width; ++x) {
                const int cx = d.Left + x;
                if (cx < 0 || cx >= sw)
                    continue;
                const int idx = row[static_cast<size_t>(x)];
                if (idx == transparent || idx >= map->ColorCount)
                    continue;
                uint8_t* o = px.get() + (static_cast<size_t>(cy) * sw + cx) * 4;
                o[0] = map->Colors[idx].Red;
                o[1] = map->Colors[idx].Green;
                o[2] = map->Colors[idx].Blue;
                o[3] = 255;
            }
        }
        const uint8_t* data = px.get();
        const size_t size = canvasBytes;
        // Alpha is 0 or 255, so the straight and premultiplied forms agree.
        return graphics::Image::createWithData(static_cast<size_t>(sw), static_cast<size_t>(sh), 8, 32,
                                               static_cast<size_t>(sw) * 4,
                                               graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                               {graphics::AlphaInfo::premultipliedLast, graphics::ByteOrder::orderDefault},
                                               data, size, std::move(px));
    }
}

} // namespace images::codec
