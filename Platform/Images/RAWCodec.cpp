#include <libraw/libraw.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

struct RawClose {
    void operator()(libraw_data_t* r) const { libraw_close(r); }
};
using Raw = std::unique_ptr<libraw_data_t, RawClose>;

Raw openRaw(Bytes in, Failure& failure)
{
    Raw r(libraw_init(0));
    if (!r) {
        failure = {3, "the camera RAW decoder could not start"};
        return nullptr;
    }
    const int rc = libraw_open_buffer(r.get(), const_cast<uint8_t*>(in.data), in.size);
    if (rc != LIBRAW_SUCCESS) {
        failure = {rc == LIBRAW_FILE_UNSUPPORTED ? 2L : 3L, std::string("the camera RAW data is unreadable: ") + libraw_strerror(rc)};
        return nullptr;
    }
    return r;
}

int orientationOfFlip(int flip)
{
    switch (flip) {
    case 3: return 3;
    case 5: return 8;
    case 6: return 6;
    default: return 1;
    }
}

} // namespace

std::optional<ImageProperties> rawProperties(Bytes in, Failure& failure)
{
    Raw r = openRaw(in, failure);
    if (!r)
        return std::nullopt;
    ImageProperties p;
    p.pixelWidth = r->sizes.width;
    p.pixelHeight = r->sizes.height;
    p.orientation = orientationOfFlip(r->sizes.flip);
    p.colorModel = kCGImagePropertyColorModelRGB;
    p.depth = 16;
    p.make = r->idata.make;
    p.model = r->idata.model;
    // TIFF-based files carry a full EXIF directory; the others get the decoder's timestamp.
    ImageProperties exif;
    if (readExif(in, exif))
        p.exif = exif.exif;
    if (!p.exif.count(kCGImagePropertyExifDateTimeOriginal) && r->other.timestamp > 0) {
        std::tm tm{};
        const std::time_t ts = r->other.timestamp;
        if (localtime_r(&ts, &tm)) {
            char buf[32];
            std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm);
            p.exif[kCGImagePropertyExifDateTimeOriginal] = buf;
        }
    }
    return p;
}

graphics::ImagePtr rawDecode(Bytes in, Failure& failure)
{
    Raw r = openRaw(in, failure);
    if (!r)
        return nullptr;
    if (!checkSize(static_cast<uint64_t>(r->sizes.width), static_cast<uint64_t>(r->sizes.height), failure)
        || !checkSize(static_cast<uint64_t>(r->sizes.raw_width), static_cast<uint64_t>(r->sizes.raw_height), failure))
        return nullptr;
    // Even lossy camera data spends a bit on each 8 x 8 block of its sensor's samples.
    if (!checkData(static_cast<uint64_t>(r->sizes.raw_width) * r->sizes.raw_height, in.size, 64 * 8, r->sizes.raw_width,
                   r->sizes.raw_height, "camera RAW", failure))
        return nullptr;
    r->params.use_camera_wb = 1;
    r->params.output_bps = 8;
    r->params.user_flip = 0; // pixels as stored; the orientation is reported separately
    int rc = libraw_unpack(r.get());
    if (rc == LIBRAW_SUCCESS)
        rc = libraw_dcraw_process(r.get());
    if (rc != LIBRAW_SUCCESS) {
        failure = {3, std::string("the camera RAW data could not be decoded: ") + libraw_strerror(rc)};
        return nullptr;
    }
    int err = 0;
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> img(
        libraw_dcraw_make_mem_image(r.get(), &err), libraw_dcraw_clear_mem);
    if (!img || img->type != LIBRAW_IMAGE_BITMAP || img->colors != 3 || img->bits != 8) {
        failure = {3, "the camera RAW image could not be rendered"};
        return nullptr;
    }
    const size_t w = img->width, h = img->height;
    if (img->data_size < w * h * 3) {
        failure = {3, "the camera RAW image is incomplete"};
        return nullptr;
    }
    auto px = std::make_shared<std::vector<uint8_t>>(w * h * 4);
    for (size_t i = 0; i < w * h; ++i) {
        (*px)[i * 4] = img->data[i * 3];
        (*px)[i * 4 + 1] = img->data[i * 3 + 1];
        (*px)[i * 4 + 2] = img->data[i * 3 + 2];
        (*px)[i * 4 + 3] = 255;
    }
    const uint8_t* data = px->data();
    const size_t size = px->size();
    return graphics::Image::createWithData(w, h, 8, 32, w * 4, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                           {graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault}, data,
                                           size, std::move(px));
}

std::vector<uint8_t> rawEmbeddedJPEG(Bytes in)
{
    Failure ignored;
    Raw r = openRaw(in, ignored);
    if (!r || libraw_unpack_thumb(r.get()) != LIBRAW_SUCCESS)
        return {};
    if (r->thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG || !r->thumbnail.thumb || r->thumbnail.tlength == 0)
        return {};
    return std::vector<uint8_t>(r->thumbnail.thumb, r->thumbnail.thumb + r->thumbnail.tlength);
}

} // namespace images::codec
