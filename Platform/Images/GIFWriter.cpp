#include "Platform/Images/GIFWriter.h"

#include <dlfcn.h>
#include <gif_lib.h>
#include <libimagequant.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <thread>
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

// libimagequant parallelises with OpenMP, whose idle team members spin: on a busy machine they
// burn more time than they save. Frames are quantised side by side instead, each on one thread
// (two when only one frame fits in memory at a time). OpenMP's thread count belongs to the
// calling thread, so every quantising thread sets its own. Looked up at run time: the OpenMP
// runtime comes with libimagequant, and we don't want to depend on how the program itself was
// linked.
void capQuantiserThreads(int threads)
{
    using SetThreads = void (*)(int);
    static const SetThreads set = reinterpret_cast<SetThreads>(::dlsym(RTLD_DEFAULT, "omp_set_num_threads"));
    if (set)
        set(threads);
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

// Seconds a frame lasts; nonsense (negative, NaN, infinite) is no time.
double frameSeconds(double seconds)
{
    return seconds > 0 && std::isfinite(seconds) ? seconds : 0.0;
}

// A frame reduced to a palette of its own, ready to be written.
struct QuantisedFrame {
    std::vector<GifColorType> colors; // a power of two entries, at least 2
    std::vector<uint8_t> indices;
    int transparent = NO_TRANSPARENT_COLOR;
    int delay = 0; // hundredths
    std::string failure; // why the frame could not be reduced; empty when it was
};

constexpr int QuantiserSpeed = 8;

QuantisedFrame quantise(std::vector<uint8_t> rgba, size_t w, size_t h, bool opaque, int delay, int threads)
{
    QuantisedFrame out;
    out.delay = delay;
    auto fail = [&](const char* text) {
        out.failure = text;
        return std::move(out);
    };
    capQuantiserThreads(threads);
    std::unique_ptr<liq_attr, LiqAttrDeleter> attr(liq_attr_create());
    // Speed 8 of 10 skips the palette's refining passes: a quarter of the time of the default
    // (4), for a palette still closer to the frame than one palette for the whole movie comes.
    if (!attr || liq_set_max_colors(attr.get(), 256) != LIQ_OK || liq_set_speed(attr.get(), QuantiserSpeed) != LIQ_OK)
        return fail("The GIF colour quantiser could not start.");
    std::unique_ptr<liq_image, LiqImageDeleter> liqImage(
        liq_image_create_rgba(attr.get(), rgba.data(), static_cast<int>(w), static_cast<int>(h), 0));
    if (!liqImage)
        return fail("The GIF colour quantiser rejected the frame.");
    liq_result* rawResult = nullptr;
    if (liq_image_quantize(liqImage.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult)
        return fail("The frame’s colours could not be reduced to a GIF palette.");
    std::unique_ptr<liq_result, LiqResultDeleter> result(rawResult);
    // Half-strength dithering: smooth gradients without the grain full strength scatters over
    // colours the palette is already close to (a frame closer to its picture, by SSIM).
    liq_set_dithering_level(result.get(), 0.5f);
    out.indices.resize(w * h);
    if (liq_write_remapped_image(result.get(), liqImage.get(), out.indices.data(), out.indices.size()) != LIQ_OK)
        return fail("The frame’s colours could not be reduced to a GIF palette.");
    const liq_palette* palette = liq_get_palette(result.get());
    if (!palette || palette->count == 0 || palette->count > 256)
        return fail("The frame’s colours could not be reduced to a GIF palette.");

    // A colour table holds a power of two entries (at least 2); unused ones stay black.
    size_t tableSize = 2;
    while (tableSize < palette->count)
        tableSize *= 2;
    out.colors.assign(tableSize, GifColorType{0, 0, 0});
    for (unsigned i = 0; i < palette->count; ++i) {
        out.colors[i] = GifColorType{palette->entries[i].r, palette->entries[i].g, palette->entries[i].b};
        if (out.transparent == NO_TRANSPARENT_COLOR && !opaque && palette->entries[i].a < 128)
            out.transparent = static_cast<int>(i);
    }
    return out;
}

// What quantising a frame holds at once, a pixel: its RGBA copy, the quantiser's float copy
// and its indices.
constexpr size_t QuantisingBytesPerPixel = 4 + 16 + 1;
// Frames quantised side by side may hold this much together; a frame larger than that is
// quantised alone.
constexpr size_t QuantisingBudget = size_t(512) << 20;

class GIFWriter final : public ImageWriter {
public:
    ~GIFWriter() override
    {
        // Frames still being quantised own everything they use; the futures wait for them.
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

    // Frames are quantised on threads of their own, several at once, and written in order as
    // they complete; a frame that fails fails the call that writes it, or finish().
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
            const size_t cores = std::max(1u, std::thread::hardware_concurrency());
            m_maxInFlight = std::clamp<size_t>(QuantisingBudget / (w * h * QuantisingBytesPerPixel), 1, cores);
        } else if (w != m_width || h != m_height) {
            return fail("Every frame of a GIF must have the size of the first.");
        }

        std::vector<uint8_t> rgba(w * h * 4);
        if (!image->copyPixels(rgba.data(), w * 4, graphics::PixelFormat::rgba8, false))
            return fail("The image’s pixel layout cannot be written as GIF.");
        const double seconds = frameSeconds(
            extraValue(p, kCGImagePropertyGIFUnclampedDelayTime).value_or(extraValue(p, kCGImagePropertyGIFDelayTime).value_or(0.0)));
        // A GIF counts in hundredths of a second: each frame ends at the hundredth nearest to
        // where it ends in time, so 1/30 s frames last 3 or 4 hundredths and the whole keeps
        // the movie's time instead of running a tenth fast.
        m_elapsedSeconds += seconds;
        const double end = std::round(std::min(m_elapsedSeconds * 100.0, 1e15));
        const int delay = static_cast<int>(std::clamp(end - double(m_elapsedHundredths), 0.0, 65535.0));
        m_elapsedHundredths += delay;
        if (end - double(m_elapsedHundredths) > 0.5)
            m_elapsedSeconds = double(m_elapsedHundredths) / 100.0; // clipped: the next frame does not make up for it

        while (m_inFlight.size() >= m_maxInFlight)
            if (!writeOldest(error))
                return false;
        m_inFlight.push_back(std::async(std::launch::async, quantise, std::move(rgba), w, h, image->isOpaque(), delay,
                                        m_maxInFlight > 1 ? 1 : 2));
        return true;
    }

    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) override
    {
        while (!m_inFlight.empty())
            if (!writeOldest(error))
                return false;
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
    // Waits for the oldest frame being quantised and writes it.
    bool writeOldest(foundation::ErrorPtr* error)
    {
        QuantisedFrame frame = m_inFlight.front().get();
        m_inFlight.pop_front();
        auto fail = [&](const std::string& text) {
            if (error)
                *error = encodingError(text);
            return false;
        };
        if (!frame.failure.empty())
            return fail(frame.failure);
        std::unique_ptr<ColorMapObject, ColorMapDeleter> map(
            GifMakeMapObject(static_cast<int>(frame.colors.size()), frame.colors.data()));
        if (!map)
            return fail("The GIF colour table could not be made.");

        GraphicsControlBlock gcb;
        gcb.DisposalMode = frame.transparent == NO_TRANSPARENT_COLOR ? DISPOSE_DO_NOT : DISPOSE_BACKGROUND;
        gcb.UserInputFlag = false;
        gcb.DelayTime = frame.delay;
        gcb.TransparentColor = frame.transparent;
        GifByteType extension[4];
        const size_t extensionLength = EGifGCBToExtension(&gcb, extension);

        if (EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(extensionLength), extension) != GIF_OK
            || EGifPutImageDesc(m_gif, 0, 0, static_cast<int>(m_width), static_cast<int>(m_height), false, map.get()) != GIF_OK)
            return fail("The GIF frame could not be encoded: " + gifError());
        for (size_t y = 0; y < m_height; ++y)
            if (EGifPutLine(m_gif, &frame.indices[y * m_width], static_cast<int>(m_width)) != GIF_OK)
                return fail("The GIF frame could not be encoded: " + gifError());
        ++m_frames;
        return true;
    }

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
    size_t m_maxInFlight = 1;
    double m_elapsedSeconds = 0;   // the frames' own time so far
    int64_t m_elapsedHundredths = 0; // the time the frames written so far last
    std::deque<std::future<QuantisedFrame>> m_inFlight;
};

// Spelled out: kUTTypeGIF, a global of another file, may not be constructed yet here.
const bool registered = [] {
    ImageDestination::registerWriter("com.compuserve.gif", [] { return std::make_unique<GIFWriter>(); });
    return true;
}();

} // namespace

} // namespace images
