#include "Tests/Support/CameraFixtures.h"

#include <libheif/heif.h>
#include <tiffio.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace fixtures {

namespace {

void check(heif_error error, const char* what)
{
    if (error.code != heif_error_Ok)
        throw std::runtime_error(std::string(what) + ": " + (error.message ? error.message : "?"));
}

heif_error appendBytes(heif_context*, const void* data, size_t size, void* userdata)
{
    auto* out = static_cast<std::vector<uint8_t>*>(userdata);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
    return heif_error {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

} // namespace

std::vector<uint8_t> makeHEIC(int width, int height, RGB8 left, RGB8 right, const std::optional<Exif>& exif)
{
    std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    check(heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &rawEncoder), "HEVC encoder");
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), 95);

    heif_image* rawImage = nullptr;
    check(heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage), "image");
    std::unique_ptr<heif_image, void (*)(const heif_image*)> image(rawImage, heif_image_release);
    check(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8), "plane");
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            std::memcpy(plane + y * stride + x * 3, (x < width / 2 ? left : right).data(), 3);

    heif_image_handle* rawHandle = nullptr;
    check(heif_context_encode_image(ctx.get(), image.get(), encoder.get(), nullptr, &rawHandle), "encode");
    std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> handle(rawHandle, heif_image_handle_release);
    if (exif) {
        // libheif wants the TIFF structure itself, without the JPEG segment's "Exif\0\0".
        std::vector<uint8_t> block = exifBlock(*exif);
        const size_t skip = block.size() > 6 && std::memcmp(block.data(), "Exif\0\0", 6) == 0 ? 6 : 0;
        check(heif_context_add_exif_metadata(ctx.get(), handle.get(), block.data() + skip, int(block.size() - skip)),
              "EXIF");
    }
    std::vector<uint8_t> out;
    heif_writer writer {};
    writer.writer_api_version = 1;
    writer.write = appendBytes;
    check(heif_context_write(ctx.get(), &writer, &out), "write");
    return out;
}

void writeDNG(const std::filesystem::path& path, const DNGSpec& recipe)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff)
        throw std::runtime_error("cannot write " + path.string());
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, recipe.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, recipe.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, 34892); // LinearRaw
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, recipe.orientation);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, recipe.height);
    TIFFSetField(tiff, TIFFTAG_MAKE, "Quintor");
    TIFFSetField(tiff, TIFFTAG_MODEL, "Fixture");
    TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Quintor Fixture");
    if (recipe.dateTime)
        TIFFSetField(tiff, TIFFTAG_DATETIME, recipe.dateTime->c_str());
    uint8_t version[4] = {1, 4, 0, 0};
    TIFFSetField(tiff, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tiff, TIFFTAG_DNGBACKWARDVERSION, version);
    float colorMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, 9, colorMatrix);
    TIFFSetField(tiff, TIFFTAG_CALIBRATIONILLUMINANT1, 21);
    float neutral[3] = {1, 1, 1};
    TIFFSetField(tiff, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    uint32_t whiteLevel = 65535;
    TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, &whiteLevel);
    std::vector<uint16_t> row(size_t(recipe.width) * 3);
    for (int y = 0; y < recipe.height; ++y) {
        for (int x = 0; x < recipe.width; ++x)
            for (int k = 0; k < 3; ++k)
                row[size_t(x) * 3 + size_t(k)] = uint16_t((x < recipe.width / 2 ? recipe.left : recipe.right)[size_t(k)] * 257);
        TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0);
    }
    TIFFClose(tiff);
}

} // namespace fixtures
