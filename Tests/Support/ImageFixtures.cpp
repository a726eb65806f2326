#include "Tests/Support/ImageFixtures.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <gif_lib.h>
#include <jpeglib.h>
#include <libexif/exif-data.h>
#include <png.h>
#include <tiffio.h>

namespace fixtures {

std::vector<uint8_t> exifBlock(const Exif& e)
{
    ExifData* data = exif_data_new();
    exif_data_set_byte_order(data, EXIF_BYTE_ORDER_INTEL);
    exif_data_set_data_type(data, EXIF_DATA_TYPE_COMPRESSED);
    auto add = [&](ExifIfd ifd, ExifTag tag) {
        ExifEntry* entry = exif_entry_new();
        exif_content_add_entry(data->ifd[ifd], entry);
        exif_entry_initialize(entry, tag);
        exif_entry_unref(entry);
        return entry;
    };
    auto setText = [&](ExifIfd ifd, ExifTag tag, const std::string& text, ExifFormat format) {
        ExifEntry* entry = exif_entry_new();
        entry->tag = tag;
        entry->format = format;
        entry->components = text.size() + 1;
        entry->size = static_cast<unsigned int>(text.size() + 1);
        entry->data = static_cast<unsigned char*>(calloc(1, entry->size));
        std::memcpy(entry->data, text.c_str(), text.size() + 1);
        exif_content_add_entry(data->ifd[ifd], entry);
        exif_entry_unref(entry);
    };
    if (e.orientation) {
        ExifEntry* o = add(EXIF_IFD_0, EXIF_TAG_ORIENTATION);
        exif_set_short(o->data, EXIF_BYTE_ORDER_INTEL, static_cast<ExifShort>(*e.orientation));
    }
    if (e.dateTimeOriginal)
        setText(EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, *e.dateTimeOriginal, EXIF_FORMAT_ASCII);
    if (e.subsecTimeOriginal)
        setText(EXIF_IFD_EXIF, EXIF_TAG_SUB_SEC_TIME_ORIGINAL, *e.subsecTimeOriginal, EXIF_FORMAT_ASCII);
    unsigned char* buf = nullptr;
    unsigned int size = 0;
    exif_data_save_data(data, &buf, &size);
    std::vector<uint8_t> out(buf, buf + size);
    free(buf);
    exif_data_unref(data);
    return out;
}

std::vector<uint8_t> makeJPEG(const JPEGSpec& s)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = static_cast<JDIMENSION>(s.width);
    c.image_height = static_cast<JDIMENSION>(s.height);
    c.input_components = s.components;
    c.in_color_space = s.components == 1 ? JCS_GRAYSCALE : s.components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    if (s.components == 4) {
        jpeg_set_colorspace(&c, JCS_CMYK);
        c.write_Adobe_marker = s.adobeInvertedCMYK ? TRUE : FALSE;
    }
    jpeg_start_compress(&c, TRUE);
    if (s.exif) {
        auto block = exifBlock(*s.exif);
        jpeg_write_marker(&c, JPEG_APP0 + 1, block.data(), static_cast<unsigned int>(block.size()));
    }
    if (!s.icc.empty())
        jpeg_write_icc_profile(&c, s.icc.data(), static_cast<unsigned int>(s.icc.size()));
    std::vector<uint8_t> row(static_cast<size_t>(s.width * s.components));
    while (c.next_scanline < c.image_height) {
        const int y = static_cast<int>(c.next_scanline);
        for (int x = 0; x < s.width; ++x) {
            auto v = s.pixel ? s.pixel(x, y) : std::vector<uint8_t>(static_cast<size_t>(s.components), 128);
            for (int k = 0; k < s.components; ++k)
                row[static_cast<size_t>(x * s.components + k)] = s.adobeInvertedCMYK ? uint8_t(255 - v[static_cast<size_t>(k)]) : v[static_cast<size_t>(k)];
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    jpeg_destroy_compress(&c);
    free(mem);
    return out;
}

namespace {

void pngWrite(png_structp png, png_bytep data, png_size_t n)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void pngFlush(png_structp) { }

std::vector<uint8_t> writePNG(int width, int height, int colorType, int depth, const std::vector<std::vector<uint8_t>>& rows,
                              const std::vector<uint8_t>& palette, const std::vector<uint8_t>& alphas,
                              std::optional<double> gamma = std::nullopt)
{
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("png fixture");
    }
    png_set_write_fn(png, &out, pngWrite, pngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth, colorType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> pal;
    for (size_t i = 0; i + 2 < palette.size(); i += 3)
        pal.push_back({palette[i], palette[i + 1], palette[i + 2]});
    if (!pal.empty())
        png_set_PLTE(png, info, pal.data(), static_cast<int>(pal.size()));
    if (!alphas.empty())
        png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
    if (gamma)
        png_set_gAMA(png, info, *gamma);
    png_write_info(png, info);
    for (const auto& r : rows)
        png_write_row(png, r.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

} // namespace

std::vector<uint8_t> makePNG16(int width, int height, const std::function<std::vector<uint16_t>(int, int)>& rgb,
                               int colorType, std::optional<double> gamma)
{
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < height; ++y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < width; ++x)
            for (uint16_t v : rgb(x, y)) {
                row.push_back(uint8_t(v >> 8)); // PNG samples are big-endian
                row.push_back(uint8_t(v));
            }
        rows.push_back(row);
    }
    return writePNG(width, height, colorType, 16, rows, {}, {}, gamma);
}

std::vector<uint8_t> makePNG8(int width, int height, int colorType, const std::function<std::vector<uint8_t>(int, int)>& px,
                              const std::vector<uint8_t>& palette, const std::vector<uint8_t>& alphas)
{
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < height; ++y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < width; ++x)
            for (uint8_t v : px(x, y))
                row.push_back(v);
        rows.push_back(row);
    }
    return writePNG(width, height, colorType, 8, rows, palette, alphas);
}

void writeTIFF(const std::filesystem::path& path, const TIFFSpec& s)
{
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t)
        throw std::runtime_error("tiff fixture");
    for (int page = 0; page < s.pages; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(s.width));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(s.height));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(s.bitsPerSample));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(s.samples));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<uint16_t>(s.orientation));
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        const uint16_t photometric = s.cmyk ? PHOTOMETRIC_SEPARATED : s.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
        if (s.samples == 4 && !s.cmyk) {
            uint16_t kind = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
        }
        const size_t bps = static_cast<size_t>(s.bitsPerSample / 8);
        auto fill = [&](uint8_t* dst, int x, int y) {
            auto v = s.pixel(x, y);
            for (int k = 0; k < s.samples; ++k) {
                if (bps == 1)
                    dst[k] = static_cast<uint8_t>(v[static_cast<size_t>(k)]);
                else
                    std::memcpy(dst + k * 2, &v[static_cast<size_t>(k)], 2);
            }
        };
        const size_t px = static_cast<size_t>(s.samples) * bps;
        if (s.tiled) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, 16u);
            TIFFSetField(t, TIFFTAG_TILELENGTH, 16u);
            std::vector<uint8_t> tile(16 * 16 * px, 0);
            for (int ty = 0; ty < s.height; ty += 16)
                for (int tx = 0; tx < s.width; tx += 16) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = ty; y < std::min(ty + 16, s.height); ++y)
                        for (int x = tx; x < std::min(tx + 16, s.width); ++x)
                            fill(&tile[(static_cast<size_t>(y - ty) * 16 + static_cast<size_t>(x - tx)) * px], x, y);
                    TIFFWriteTile(t, tile.data(), static_cast<uint32_t>(tx), static_cast<uint32_t>(ty), 0, 0);
                }
        } else {
            std::vector<uint8_t> row(static_cast<size_t>(s.width) * px);
            for (int y = 0; y < s.height; ++y) {
                for (int x = 0; x < s.width; ++x)
                    fill(&row[static_cast<size_t>(x) * px], x, y);
                TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
            }
        }
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

void writeGIF(const std::filesystem::path& path, int width, int height, int frames)
{
    int err = 0;
    GifFileType* g = EGifOpenFileName(path.c_str(), false, &err);
    if (!g)
        throw std::runtime_error("gif fixture");
    EGifSetGifVersion(g, true);
    GifColorType colors[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}};
    ColorMapObject* map = GifMakeMapObject(4, colors);
    EGifPutScreenDesc(g, width, height, 2, 0, map);
    for (int f = 0; f < frames; ++f) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
        gcb.DelayTime = 10;
        gcb.TransparentColor = 2;
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        EGifPutImageDesc(g, 0, 0, width, height, false, nullptr);
        std::vector<GifPixelType> row(static_cast<size_t>(width));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                row[static_cast<size_t>(x)] = static_cast<GifPixelType>(f == 0 ? (x + y) % 3 : 1);
            EGifPutLine(g, row.data(), width);
        }
    }
    GifFreeMapObject(map);
    EGifCloseFile(g, &err);
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace fixtures
