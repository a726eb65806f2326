#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using HeifImage = std::shared_ptr<heif_image>;

// Encoders cut large pictures into tiles of 512 x 512 pixels or less.
constexpr int kLargestTile = 1024;

// `maximumSide`, when given, is the widest picture or tile libheif may allocate for.
Context openContext(Bytes in, Failure& failure, int maximumSide = 0)
{
    Context ctx(heif_context_alloc());
    if (!ctx) {
        failure = {3, "the HEIF decoder could not start"};
        return nullptr;
    }
    if (maximumSide > 0)
        heif_context_set_maximum_image_size_limit(ctx.get(), maximumSide);
    heif_error err = heif_context_read_from_memory_without_copy(ctx.get(), in.data, in.size, nullptr);
    if (err.code != heif_error_Ok) {
        failure = {3, std::string("the HEIF data is unreadable: ") + (err.message ? err.message : "")};
        return nullptr;
    }
    return ctx;
}

Handle primary(heif_context* ctx, Failure& failure)
{
    heif_image_handle* h = nullptr;
    heif_error err = heif_context_get_primary_image_handle(ctx, &h);
    if (err.code != heif_error_Ok || !h) {
        failure = {3, std::string("the HEIF file has no primary image: ") + (err.message ? err.message : "")};
        return nullptr;
    }
    return Handle(h);
}

} // namespace

size_t heifCount(Bytes in)
{
    Failure ignored;
    Context ctx = openContext(in, ignored);
    return ctx ? static_cast<size_t>(std::max(0, heif_context_get_number_of_top_level_images(ctx.get()))) : 0;
}

std::optional<ImageProperties> heifProperties(Bytes in, Failure& failure)
{
    Context ctx = openContext(in, failure);
    if (!ctx)
        return std::nullopt;
    Handle h = primary(ctx.get(), failure);
    if (!h)
        return std::nullopt;
    ImageProperties p;
    // The stored size (before any rotation the file asks for).
    p.pixelWidth = heif_image_handle_get_ispe_width(h.get());
    p.pixelHeight = heif_image_handle_get_ispe_height(h.get());
    if (p.pixelWidth <= 0 || p.pixelHeight <= 0) {
        p.pixelWidth = heif_image_handle_get_width(h.get());
        p.pixelHeight = heif_image_handle_get_height(h.get());
    }
    p.hasAlpha = heif_image_handle_has_alpha_channel(h.get());
    p.depth = std::max(8, heif_image_handle_get_luma_bits_per_pixel(h.get()));
    p.colorModel = kCGImagePropertyColorModelRGB;
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(h.get(), "Exif", &id, 1) == 1) {
        const size_t size = heif_image_handle_get_metadata_size(h.get(), id);
        std::vector<uint8_t> exif(size);
        if (size > 4 && heif_image_handle_get_metadata(h.get(), id, exif.data()).code == heif_error_Ok) {
            // The block starts with the offset of the TIFF header within it.
            const uint32_t skip = (uint32_t(exif[0]) << 24) | (uint32_t(exif[1]) << 16) | (uint32_t(exif[2]) << 8) | exif[3];
            if (skip <= size - 4)
                readExif({exif.data() + 4 + skip, size - 4 - skip}, p);
        }
    }
    return p;
}

graphics::ImagePtr heifDecode(Bytes in, Failure& failure)
{
    Context ctx = openContext(in, failure);
    if (!ctx)
        return nullptr;
    Handle h = primary(ctx.get(), failure);
    if (!h)
        return nullptr;
    if (!checkSize(static_cast<uint64_t>(std::max(0, heif_image_handle_get_width(h.get()))),
                   static_cast<uint64_t>(std::max(0, heif_image_handle_get_height(h.get()))), failure))
        return nullptr;
    // A grid picture is allocated at the size its grid descriptor declares, which libheif does not
    // hold to the size the file states for the picture: a few bytes could name a grid of a hundred
    // million pixels. The file is read again with the stated size (or a tile's usual size) as the
    // limit of every side.
    const int stated = std::max({heif_image_handle_get_width(h.get()), heif_image_handle_get_height(h.get()),
                                 heif_image_handle_get_ispe_width(h.get()), heif_image_handle_get_ispe_height(h.get()),
                                 kLargestTile});
    ctx = openContext(in, failure, stated);
    if (!ctx)
        return nullptr;
    h = primary(ctx.get(), failure);
    if (!h)
        return nullptr;
    std::unique_ptr<heif_decoding_options, void (*)(heif_decoding_options*)> opts(heif_decoding_options_alloc(),
                                                                                    heif_decoding_options_free);
    // Pixels as stored: the orientation is reported, not applied, as for every other type.
    opts->ignore_transformations = 1;
    heif_image* raw = nullptr;
    heif_error err = heif_decode_image(h.get(), &raw, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, opts.get());
    if (err.code != heif_error_Ok || !raw) {
        failure = {3, std::string("the HEIF image could not be decoded: ") + (err.message ? err.message : "")};
        return nullptr;
    }
    HeifImage img(raw, heif_image_release);
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(img.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(img.get(), heif_channel_interleaved);
    const int hh = heif_image_get_height(img.get(), heif_channel_interleaved);
    if (!data || w <= 0 || hh <= 0 || stride < w * 4) {
        failure = {3, "the HEIF image has no pixels"};
        return nullptr;
    }
    const bool alpha = heif_image_handle_has_alpha_channel(h.get());
    return graphics::Image::createWithData(
        static_cast<size_t>(w), static_cast<size_t>(hh), 8, 32, static_cast<size_t>(stride),
        graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
        {alpha ? graphics::AlphaInfo::last : graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault}, data,
        static_cast<size_t>(stride) * static_cast<size_t>(hh), img);
}

} // namespace images::codec
