#include "Platform/Images/GIFWriter.h"

#include <dlfcn.h>
#include <gif_lib.h>
#include <libimagequant.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "Platform/Images/ImageDestination.h"

namespace images {

const std::string kCGImagePropertyGIFLoopCount = "LoopCount";
const std::string kCGImagePropertyGIFDelayTime = "DelayTime";
const std::string kCGImagePropertyGIFUnclampedDelayTime = "UnclampedDelayTime";

namespace {

foundation::ErrorPtr encodingError(const std::string& text)
{
    return foundation::Error::make(ImageDestinationErrorDomain, ImageDestinationEncodingFailed, text);
}

// libimagequant parallelises with OpenMP and gets slower beyond two threads, so every
// quantising thread caps its own team. Looked up at run time: the OpenMP runtime comes with
// libimagequant, and we don't want to depend on how the program itself was linked.
void capQuantiserThreads()
{
    using SetThreads = void (*)(int);
    static const SetThreads set = reinterpret_cast<SetThreads>(::dlsym(RTLD_DEFAULT, "omp_set_num_threads"));
    if (set)
        set(2);
}

struct LiqAttrDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
};
struct LiqImageDeleter {
    void operator()(liq_image* i) const { liq_image_destroy(i); }
};
struct LiqResultDeleter {
    void operator()(liq_result* r) const { liq_result_destroy(r); }
};
struct ColorMapDeleter {
    void operator()(ColorMapObject* m) const { GifFreeMapObject(m); }
};

std::optional<double> extraValue(const DestinationProperties& p, const std::string& key)
{
    auto it = p.extra.find(key);
    if (it == p.extra.end())
        return std::nullopt;
    return it->second;
}

// Seconds to the hundredths a GIF stores; nonsense (negative, NaN) becomes no delay.
int hundredths(double seconds)
{
    if (!(seconds > 0))
        return 0;
    return static_cast<int>(std::min(65535.0, std::round(seconds * 100.0)));
}

class GIFWriter final : public ImageWriter {
public:
    ~GIFWriter() override
    {
        if (m_gif) {
            int ignored = 0;
            EGifCloseFile(m_gif, &ignored);
        }
    }

    bool supportsMultipleImages() const override { return true; }

    void setProperties(const DestinationProperties& p) override
    {
        if (auto loops = extraValue(p, kCGImagePropertyGIFLoopCount))
            m_loopCount = loops;
    }

    bool addImage(const graphics::ImagePtr& image, const DestinationProperties& p, foundation::ErrorPtr* error) override
    {
        auto fail = [&](const std::string& text) {
            if (error)
                *error = encodingError(text);
            return false;
        };
        const size_t w = image->width(), h = image->height();
        if (w == 0 || h == 0 || w > 65535 || h > 65535)
            return fail("A GIF frame must be between 1 and 65535 pixels wide and high.");
        if (!m_gif) {
            setProperties(p);
            if (!begin(w, h))
                return fail("The GIF encoder could not start: " + gifError());
        } else if (w != m_width || h != m_height) {
            return fail("Every frame of a GIF must have the size of the first.");
        }

        std::vector<uint8_t> rgba(w * h * 4);
        if (!image->copyPixels(rgba.data(), w * 4, graphics::PixelFormat::rgba8, false))
            return fail("The image’s pixel layout cannot be written as GIF.");

        capQuantiserThreads();
        std::unique_ptr<liq_attr, LiqAttrDeleter> attr(liq_attr_create());
        if (!attr || liq_set_max_colors(attr.get(), 256) != LIQ_OK)
            return fail("The GIF colour quantiser could not start.");
        std::unique_ptr<liq_image, LiqImageDeleter> liqImage(
            liq_image_create_rgba(attr.get(), rgba.data(), static_cast<int>(w), static_cast<int>(h), 0));
        if (!liqImage)
            return fail("The GIF colour quantiser rejected the frame.");
        liq_result* rawResult = nullptr;
        if (liq_image_quantize(liqImage.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult)
            return fail("The frame’s colours could not be reduced to a GIF palette.");
        std::unique_ptr<liq_result, LiqResultDeleter> result(rawResult);
        liq_set_dithering_level(result.get(), 1.0f);
        std::vector<uint8_t> indices(w * h);
        if (liq_write_remapped_image(result.get(), liqImage.get(), indices.data(), indices.size()) != LIQ_OK)
            return fail("The frame’s colours could not be reduced to a GIF palette.");
        const liq_palette* palette = liq_get_palette(result.get());
        if (!palette || palette->count == 0 || palette->count > 256)
            return fail("The frame’s colours could not be reduced to a GIF palette.");

        // A colour table holds a power of two entries (at least 2); unused ones stay black.
        int tableSize = 2;
        while (tableSize < static_cast<int>(palette->count))
            tableSize *= 2;
        std::vector<GifColorType> colors(static_cast<size_t>(tableSize), GifColorType{0, 0, 0});
        int transparent = NO_TRANSPARENT_COLOR;
        for (unsigned i = 0; i < palette->count; ++i) {
            colors[i] = GifColorType{palette->entries[i].r, palette->entries[i].g, palette->entries[i].b};
            if (transparent == NO_TRANSPARENT_COLOR && !image->isOpaque() && palette->entries[i].a < 128)
                transparent = static_cast<int>(i);
        }
        std::unique_ptr<ColorMapObject, ColorMapDeleter> map(GifMakeMapObject(tableSize, colors.data()));
        if (!map)
            return fail("The GIF colour table could not be made.");

        const double delay = extraValue(p, kCGImagePropertyGIFUnclampedDelayTime).value_or(extraValue(p, kCGImagePropertyGIFDelayTime).value_or(0.0));
        GraphicsControlBlock gcb;
        gcb.DisposalMode = transparent == NO_TRANSPARENT_COLOR ? DISPOSE_DO_NOT : DISPOSE_BACKGROUND;
        gcb.UserInputFlag = false;
        gcb.DelayTime = hundredths(delay);
        gcb.TransparentColor = transparent;
        GifByteType extension[4];
        const size_t extensionLength = EGifGCBToExtension(&gcb, extension);

        if (EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(extensionLength), extension) != GIF_OK
            || EGifPutImageDesc(m_gif, 0, 0, static_cast<int>(w), static_cast<int>(h), false, map.get()) != GIF_OK)
            return fail("The GIF frame could not be encoded: " + gifError());
        for (size_t y = 0; y < h; ++y)
            if (EGifPutLine(m_gif, &indices[y * w], static_cast<int>(w)) != GIF_OK)
                return fail("The GIF frame could not be encoded: " + gifError());
        ++m_frames;
        return true;
    }

    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) override
    {
        if (!m_gif || m_frames == 0) {
            if (error)
                *error = encodingError("A GIF needs at least one frame.");
            return false;
        }
        int code = 0;
        const int rc = EGifCloseFile(m_gif, &code); // writes the trailer and frees, either way
        m_gif = nullptr;
        if (rc != GIF_OK) {
            if (error)
                *error = encodingError(std::string("The GIF could not be completed: ") + errorText(code));
            return false;
        }
        out = std::move(m_bytes);
        return true;
    }

private:
    static int put(GifFileType* gif, const GifByteType* bytes, int length)
    {
        auto* self = static_cast<GIFWriter*>(gif->UserData);
        if (length > 0)
            self->m_bytes.insert(self->m_bytes.end(), bytes, bytes + length);
        return length;
    }

    static std::string errorText(int code)
    {
        const char* text = GifErrorString(code);
        return text ? text : "unknown error";
    }
    std::string gifError() const { return errorText(m_gif ? m_gif->Error : m_openError); }

    bool begin(size_t w, size_t h)
    {
        m_gif = EGifOpen(this, &GIFWriter::put, &m_openError);
        if (!m_gif)
            return false;
        EGifSetGifVersion(m_gif, true);
        // Every frame carries its own palette, so there is no global one.
        if (EGifPutScreenDesc(m_gif, static_cast<int>(w), static_cast<int>(h), 8, 0, nullptr) != GIF_OK)
            return false;
        if (m_loopCount) {
            const int loops = static_cast<int>(std::clamp(std::isfinite(*m_loopCount) ? *m_loopCount : 0.0, 0.0, 65535.0));
            const GifByteType count[3] = {1, static_cast<GifByteType>(loops & 0xFF), static_cast<GifByteType>(loops >> 8)};
            if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_OK
                || EGifPutExtensionBlock(m_gif, 11, "NETSCAPE2.0") != GIF_OK
                || EGifPutExtensionBlock(m_gif, 3, count) != GIF_OK || EGifPutExtensionTrailer(m_gif) != GIF_OK)
                return false;
        }
        m_width = w;
        m_height = h;
        return true;
    }

    GifFileType* m_gif = nullptr;
    int m_openError = 0;
    std::vector<uint8_t> m_bytes;
    std::optional<double> m_loopCount;
    size_t m_width = 0;
    size_t m_height = 0;
    size_t m_frames = 0;
};

// Spelled out: kUTTypeGIF, a global of another file, may not be constructed yet here.
const bool registered = [] {
    ImageDestination::registerWriter("com.compuserve.gif", [] { return std::make_unique<GIFWriter>(); });
    return true;
}();

} // namespace

} // namespace images
