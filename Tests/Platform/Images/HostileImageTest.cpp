// Image files that declare far more pixels than their data can hold, and honest ones too large
// for the memory at hand: each must end in an error for that file, quickly and without taking
// the memory it declares.

#include <gtest/gtest.h>

#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <jpeglib.h>
#include <string>
#include <vector>

#include "Platform/Images/Codecs.h"
#include "Platform/Images/ImageSource.h"
#include "Tests/Support/BoundedChild.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using namespace images;

namespace {

using Bytes = std::vector<uint8_t>;

void put16le(Bytes& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32le(Bytes& b, uint32_t v)
{
    put16le(b, uint16_t(v));
    put16le(b, uint16_t(v >> 16));
}
void put32be(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(v >> s));
}

uint32_t crc32(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

// One frame of width x height on a `screen` x `screen` logical screen, with a few bytes of
// LZW data (35 bytes in all for a 1 x 1 screen).
Bytes gif(uint16_t screen, uint16_t width, uint16_t height)
{
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    put16le(b, screen);
    put16le(b, screen);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255}); // a two-colour table
    b.push_back(',');
    put16le(b, 0);
    put16le(b, 0);
    put16le(b, width);
    put16le(b, height);
    b.insert(b.end(), {0, 2, 2, 0x4C, 0x01, 0, ';'});
    return b;
}

// A single-strip TIFF of `width` x `height`, `spp` samples of `bps` bits (the last an
// unassociated alpha when there are 4), `compression` as stored, over `dataBytes` bytes.
Bytes tiff(uint32_t width, uint32_t height, uint16_t bps, uint16_t spp, uint16_t compression, uint32_t dataBytes)
{
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    const bool alpha = spp == 4;
    const uint16_t entries = alpha ? 11 : 10;
    const uint32_t ifdEnd = 8 + 2 + entries * 12u + 4;
    const uint32_t bpsAt = ifdEnd, dataAt = ifdEnd + (spp > 2 ? 2u * spp : 0u);
    std::vector<Entry> list = {
        {256, 4, 1, width},
        {257, 4, 1, height},
        {258, 3, spp, spp > 2 ? bpsAt : bps},
        {259, 3, 1, compression},
        {262, 3, 1, spp >= 3 ? 2u : 1u},
        {273, 4, 1, dataAt},
        {277, 3, 1, spp},
        {278, 4, 1, height},
        {279, 4, 1, dataBytes},
        {284, 3, 1, 1},
    };
    if (alpha)
        list.push_back({338, 3, 1, 2});
    Bytes b = {'I', 'I', 42, 0};
    put32le(b, 8);
    put16le(b, entries);
    for (const Entry& e : list) {
        put16le(b, e.tag);
        put16le(b, e.type);
        put32le(b, e.count);
        if (e.type == 3 && e.count == 1) {
            put16le(b, uint16_t(e.value));
            put16le(b, 0);
        } else {
            put32le(b, e.value);
        }
    }
    put32le(b, 0);
    if (spp > 2)
        for (int i = 0; i < spp; ++i)
            put16le(b, bps);
    b.resize(b.size() + dataBytes, 0x55);
    return b;
}

// A real PNG whose header is then made to claim width x height (checksum mended).
Bytes pngClaiming(uint32_t width, uint32_t height)
{
    Bytes png = fixtures::makePNG8(2, 2, 6, [](int, int) { return std::vector<uint8_t>{1, 2, 3, 255}; });
    Bytes dims;
    put32be(dims, width);
    put32be(dims, height);
    std::copy(dims.begin(), dims.end(), png.begin() + 16);
    Bytes crc;
    put32be(crc, crc32(png.data() + 12, 17));
    std::copy(crc.begin(), crc.end(), png.begin() + 29);
    return png;
}

// A real JPEG (baseline, or progressive) of 16 x 16 whose frame header then claims
// width x height.
Bytes jpegClaiming(uint16_t width, uint16_t height, bool progressive)
{
    jpeg_compress_struct c {};
    jpeg_error_mgr err {};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = 16;
    c.image_height = 16;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    if (progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(16 * 3, 90);
    while (c.next_scanline < 16) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes b(out, out + size);
    std::free(out);
    for (size_t i = 2; i + 9 < b.size(); ++i) {
        if (b[i] == 0xFF && (b[i + 1] == 0xC0 || b[i + 1] == 0xC2)) {
            b[i + 5] = uint8_t(height >> 8);
            b[i + 6] = uint8_t(height);
            b[i + 7] = uint8_t(width >> 8);
            b[i + 8] = uint8_t(width);
            break;
        }
    }
    return b;
}

// An honest RGBA PNG of width x height, all one colour (it compresses to very little).
Bytes flatPNG(uint32_t width, uint32_t height)
{
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out, [](png_structp p, png_bytep data, png_size_t n) {
            auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
            o->insert(o->end(), data, data + n);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_FILTER_NONE); // no filter search: quick to make
    png_write_info(png, info);
    std::vector<uint8_t> row(size_t(width) * 4, 0);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

long statusKB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

struct ChildOutcome {
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    std::string report;
};

// Runs `body` in a child process and returns how it ended and what it wrote. The child's
// address space is capped `headroomMB` above what it has (sanitizer builds reserve too much
// address space for that), so an allocation of the declared size fails there.
ChildOutcome inChild(size_t headroomMB, const std::function<std::string()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
#if !defined(__SANITIZE_ADDRESS__)
        rlimit limit {};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = rlim_t(statusKB("VmSize:") + long(headroomMB) * 1024) * 1024;
        ::setrlimit(RLIMIT_AS, &limit);
#else
        (void)headroomMB;
#endif
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("threw ") + e.what(); // a program would have ended here
        }
        (void)!::write(fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildOutcome outcome;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        outcome.report.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.exited = WIFEXITED(status);
    outcome.exitCode = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return outcome;
}

// Decodes image 0 whole and as a thumbnail; "refused <code> <code> <peak KB>" when both fail
// with an image-source error, else what happened.
std::string decodeReport(const std::string& path)
{
    // The peak resident size starts again from here.
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
    const long before = statusKB("VmRSS:");
    auto source = ImageSource::createWithPath(path);
    if (!source)
        return "not opened";
    foundation::ErrorPtr whole, thumb;
    if (source->createImageAtIndex(0, &whole))
        return "decoded";
    if (source->createThumbnailAtIndex(0, 256, true, &thumb))
        return "thumbnail decoded";
    if (!whole || !thumb || whole->domain() != ImageSourceErrorDomain || thumb->domain() != ImageSourceErrorDomain)
        return "no image-source error";
    return "refused " + std::to_string(whole->code()) + " " + std::to_string(thumb->code()) + " "
        + std::to_string(std::max(0L, statusKB("VmHWM:") - before)) + " " + whole->localizedDescription();
}

} // namespace

TEST(HostileImages, DeclaredSizesBeyondTheDataAreRefusedBeforeAnythingIsAllocated)
{
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"frame.gif", gif(1, 65535, 65535)},
        {"screen.gif", gif(20000, 1, 1)},
        {"rgba16.tif", tiff(20000, 20000, 16, 4, 1, 16)},
        {"grey.tif", tiff(20000, 20000, 8, 1, 1, 16)},
        {"deflate.tif", tiff(20000, 20000, 8, 3, 8, 200)},
        {"lzw.tif", tiff(20000, 20000, 8, 3, 5, 200)},
        {"packbits.tif", tiff(20000, 20000, 8, 1, 32773, 200)},
        {"huge.png", pngClaiming(20000, 20000)},
        {"huge.jpg", jpegClaiming(20000, 20000, false)},
        {"progressive.jpg", jpegClaiming(20000, 20000, true)},
        // Honest data, but 270 MB of one colour from 260 KB: a decompression bomb.
        {"bomb.png", flatPNG(8200, 8200)},
    };
    EXPECT_EQ(cases[0].bytes.size(), 35u);
    EXPECT_EQ(cases[2].bytes.size(), 170u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.name;
        fixtures::writeFile(path, c.bytes);
        const ChildOutcome outcome = inChild(256, [&] { return decodeReport(path.string()); });
        EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
        long whole = 0, thumb = 0, peakKB = 0;
        if (outcome.report.rfind("refused ", 0) != 0) {
            ADD_FAILURE() << outcome.report;
            continue;
        }
        ASSERT_EQ(std::sscanf(outcome.report.c_str(), "refused %ld %ld %ld", &whole, &thumb, &peakKB), 3);
        for (long code : {whole, thumb})
            EXPECT_TRUE(code == ImageSourceTooLarge || code == ImageSourceCorruptData || code == ImageSourceTruncatedData)
                << code;
        EXPECT_LT(peakKB, 64 * 1024) << outcome.report;
        EXPECT_NE(outcome.report.find(c.name), std::string::npos) << outcome.report;
    }
}

TEST(HostileImages, AnImageTooLargeForTheMemoryAtHandIsAnErrorForThatFile)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reports a failed allocation instead of throwing";
#else
    // 7000 x 7000 x 4 bytes is 196 MB, more than the child may take; the file is 200 KB.
    testsupport::TempDir dir;
    const auto path = dir / "large.png";
    fixtures::writeFile(path, flatPNG(7000, 7000));
    ASSERT_LT(7000ull * 7000 * 4, images::codec::kBombBytes) << "a bomb would be refused before it is decoded";
    const ChildOutcome outcome = inChild(96, [&] { return decodeReport(path.string()); });
    ASSERT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.report.rfind("refused 6 6 ", 0), 0u) << outcome.report;
#endif
}

// A file far larger than any photo of its kind (here a small JPEG followed by hundreds of
// megabytes that take no room on disk) is refused before it is read into memory, and says so.
TEST(HostileImages, AFileFarLargerThanAnyPhotoOfItsKindIsRefusedUnread)
{
    testsupport::TempDir dir;
    const auto path = dir / "huge.jpg";
    fixtures::JPEGSpec recipe;
    recipe.width = 64;
    recipe.height = 48;
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    std::filesystem::resize_file(path, 300ull << 20);
    const ChildOutcome outcome = inChild(1024, [&] { return decodeReport(path.string()); });
    ASSERT_TRUE(outcome.exited) << "signal " << outcome.signal;
    long whole = 0, thumb = 0, peakKB = 0;
    ASSERT_EQ(std::sscanf(outcome.report.c_str(), "refused %ld %ld %ld", &whole, &thumb, &peakKB), 3) << outcome.report;
    EXPECT_EQ(whole, ImageSourceTooLarge);
    EXPECT_EQ(thumb, ImageSourceTooLarge);
    EXPECT_LT(peakKB, 64 * 1024) << outcome.report;
    EXPECT_NE(outcome.report.find("larger than a JPEG photo"), std::string::npos) << outcome.report;
}

// A pipe or a device where a photo was (named like one) is refused at once: opening it to
// read would wait for a writer that never comes.
TEST(HostileImages, APipeNamedLikeAPhotoIsRefusedWithoutWaiting)
{
    testsupport::TempDir dir;
    const auto path = dir / "photo.jpg";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int status = testsupport::runChildBounded([&] {
        foundation::ErrorPtr error;
        if (ImageSource::createWithPath(path.string(), &error))
            return 2;
        return error && error->code() == ImageSourceUnreadableFile ? 0 : 3;
    }, 10000);
    ASSERT_NE(status, testsupport::kChildHung) << "opening the pipe waited for a writer";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
