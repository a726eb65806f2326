#include <gtest/gtest.h>

#include <gif_lib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

#include "Platform/Images/GIFWriter.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using namespace images;

namespace {

// R runs across, G down, B is fixed: far more colours than one palette holds.
graphics::ImagePtr gradient(size_t w, size_t h, uint8_t blue = 80, bool holeInTheMiddle = false)
{
    std::vector<uint8_t> px;
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            const bool hole = holeInTheMiddle && x >= w / 4 && x < w * 3 / 4 && y >= h / 4 && y < h * 3 / 4;
            px.insert(px.end(), {uint8_t(x * 255 / (w - 1)), uint8_t(y * 255 / (h - 1)), blue, uint8_t(hole ? 0 : 255)});
        }
    return graphics::Image::create(w, h, 8, 32, w * 4, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   {holeInTheMiddle ? graphics::AlphaInfo::last : graphics::AlphaInfo::noneSkipLast,
                                    graphics::ByteOrder::orderDefault},
                                   std::move(px));
}

struct DecodedGIF {
    std::string version;
    int width = 0, height = 0;
    bool globalColorMap = false;
    std::optional<int> loopCount;
    struct Frame {
        int delay = 0; // hundredths
        int transparent = NO_TRANSPARENT_COLOR;
        bool localColorMap = false;
        std::vector<GifColorType> colors;
        std::vector<uint8_t> indices;
        GifColorType at(size_t i) const { return colors.at(indices.at(i)); }
    };
    std::vector<Frame> frames;
};

// Read back with giflib's own reader, independent of our decoder.
std::optional<DecodedGIF> decode(const std::filesystem::path& path)
{
    const auto bytes = fixtures::readFile(path);
    if (bytes.size() < 6)
        return std::nullopt;
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (!gif)
        return std::nullopt;
    std::optional<DecodedGIF> out;
    if (DGifSlurp(gif) == GIF_OK) {
        DecodedGIF d;
        d.version.assign(bytes.begin(), bytes.begin() + 6);
        d.width = gif->SWidth;
        d.height = gif->SHeight;
        d.globalColorMap = gif->SColorMap != nullptr;
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            DecodedGIF::Frame f;
            GraphicsControlBlock gcb;
            if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
                f.delay = gcb.DelayTime;
                f.transparent = gcb.TransparentColor;
            }
            for (int e = 0; e + 1 < s.ExtensionBlockCount; ++e) {
                const ExtensionBlock& b = s.ExtensionBlocks[e];
                if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 && std::memcmp(b.Bytes, "NETSCAPE2.0", 11) == 0) {
                    const ExtensionBlock& sub = s.ExtensionBlocks[e + 1];
                    if (sub.ByteCount == 3 && sub.Bytes[0] == 1)
                        d.loopCount = sub.Bytes[1] | (sub.Bytes[2] << 8);
                }
            }
            f.localColorMap = s.ImageDesc.ColorMap != nullptr;
            if (s.ImageDesc.ColorMap)
                f.colors.assign(s.ImageDesc.ColorMap->Colors, s.ImageDesc.ColorMap->Colors + s.ImageDesc.ColorMap->ColorCount);
            f.indices.assign(s.RasterBits, s.RasterBits + size_t(s.ImageDesc.Width) * size_t(s.ImageDesc.Height));
            d.frames.push_back(std::move(f));
        }
        out = std::move(d);
    }
    DGifCloseFile(gif, &error);
    return out;
}

DestinationProperties delay(double seconds, const std::string& key = kCGImagePropertyGIFDelayTime)
{
    DestinationProperties p;
    p.extra[key] = seconds;
    return p;
}

} // namespace

TEST(GIFWriter, WritesLoopingGIF89aWithLocalPalettesAndDelays)
{
    testsupport::TempDir dir;
    const auto path = dir / "loop.gif";
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 3);
    ASSERT_TRUE(dst);
    DestinationProperties file;
    file.extra[kCGImagePropertyGIFLoopCount] = 0;
    dst->setProperties(file);
    dst->addImage(gradient(16, 8, 0), delay(0.1));
    dst->addImage(gradient(16, 8, 200), delay(0.254));
    // The unclamped delay wins over the clamped one.
    auto both = delay(0.5, kCGImagePropertyGIFUnclampedDelayTime);
    both.extra[kCGImagePropertyGIFDelayTime] = 0.02;
    dst->addImage(gradient(16, 8, 100), both);
    foundation::ErrorPtr error;
    ASSERT_TRUE(dst->finalize(&error)) << error->localizedDescription();

    auto gif = decode(path);
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->version, "GIF89a");
    EXPECT_EQ(gif->width, 16);
    EXPECT_EQ(gif->height, 8);
    EXPECT_FALSE(gif->globalColorMap);
    EXPECT_EQ(gif->loopCount, 0);
    ASSERT_EQ(gif->frames.size(), 3u);
    const int delays[] = {10, 25, 50};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(gif->frames[i].localColorMap);
        EXPECT_EQ(gif->frames[i].delay, delays[i]);
        EXPECT_EQ(gif->frames[i].transparent, NO_TRANSPARENT_COLOR);
    }
    // Each frame's palette is its own: the blue of frame 1 is nowhere in frame 0.
    EXPECT_NEAR(gif->frames[0].at(0).Blue, 0, 4);
    EXPECT_NEAR(gif->frames[1].at(0).Blue, 200, 4);

    // A file, not a private one: EGifOpenFileName would have made it 0600.
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(GIFWriter, WithoutLoopCountThereIsNoLoopingExtension)
{
    testsupport::TempDir dir;
    const auto path = dir / "once.gif";
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 1);
    dst->addImage(gradient(4, 4));
    ASSERT_TRUE(dst->finalize());
    auto gif = decode(path);
    ASSERT_TRUE(gif);
    EXPECT_FALSE(gif->loopCount);
    ASSERT_EQ(gif->frames.size(), 1u);
    EXPECT_EQ(gif->frames[0].delay, 0);
}

TEST(GIFWriter, PaletteKeepsAGradientClose)
{
    testsupport::TempDir dir;
    const auto path = dir / "gradient.gif";
    auto image = gradient(64, 48);
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 1);
    dst->addImage(image);
    ASSERT_TRUE(dst->finalize());
    auto gif = decode(path);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->frames.size(), 1u);
    double total = 0;
    for (size_t y = 0; y < 48; ++y)
        for (size_t x = 0; x < 64; ++x) {
            const auto want = image->pixelAt(x, y);
            const auto got = gif->frames[0].at(y * 64 + x);
            total += std::abs(want.r - got.Red) + std::abs(want.g - got.Green) + std::abs(want.b - got.Blue);
        }
    // 3072 colours into 256 entries: a naive fixed palette (6x6x6 cube) averages ~20 per
    // channel here; a real quantiser stays within a few levels.
    EXPECT_LT(total / (64 * 48 * 3), 4.0);
}

TEST(GIFWriter, TransparentPixelsUseTheTransparentIndex)
{
    testsupport::TempDir dir;
    const auto path = dir / "hole.gif";
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 1);
    dst->addImage(gradient(16, 16, 80, true));
    ASSERT_TRUE(dst->finalize());
    auto gif = decode(path);
    ASSERT_TRUE(gif);
    const auto& f = gif->frames.at(0);
    ASSERT_NE(f.transparent, NO_TRANSPARENT_COLOR);
    EXPECT_EQ(f.indices[8 * 16 + 8], f.transparent);
    EXPECT_NE(f.indices[0], f.transparent);
}

TEST(GIFWriter, FailuresLeaveTheExistingFileAlone)
{
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        std::vector<graphics::ImagePtr> frames;
    } cases[] = {
        {"no frames", {}},
        {"frames of different sizes", {gradient(8, 8), gradient(8, 9)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "keep.gif";
        fixtures::writeFile(path, {'o', 'l', 'd'});
        auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 4);
        for (const auto& f : c.frames)
            dst->addImage(f);
        foundation::ErrorPtr error;
        EXPECT_FALSE(dst->finalize(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), ImageDestinationErrorDomain);
        EXPECT_EQ(fixtures::readFile(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
}

namespace {

graphics::ImagePtr flat(size_t w, size_t h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> px;
    for (size_t i = 0; i < w * h; ++i)
        px.insert(px.end(), {r, g, b, 255});
    return graphics::Image::create(w, h, 8, 32, w * 4, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   {graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault}, std::move(px));
}

} // namespace

TEST(GIFWriter, FramesQuantisedSideBySideAreWrittenInOrder)
{
    // More frames than the writer quantises at once, each a colour and a delay of its own: the
    // file must have them in the order they came.
    testsupport::TempDir dir;
    const auto path = dir / "many.gif";
    const size_t count = 2 * std::max(1u, std::thread::hardware_concurrency()) + 3;
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, count);
    for (size_t i = 0; i < count; ++i)
        dst->addImage(flat(8, 6, uint8_t(i * 7 % 256), uint8_t(255 - i * 5 % 256), 40),
                      delay(double(i + 1) / 100));
    foundation::ErrorPtr error;
    ASSERT_TRUE(dst->finalize(&error)) << error->localizedDescription();
    auto gif = decode(path);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->frames.size(), count);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(gif->frames[i].delay, int(i + 1));
        EXPECT_NEAR(gif->frames[i].at(0).Red, int(i * 7 % 256), 2);
        EXPECT_NEAR(gif->frames[i].at(0).Green, int(255 - i * 5 % 256), 2);
    }

    // A destination dropped while its frames are still being quantised writes nothing.
    const auto abandoned = dir / "abandoned.gif";
    {
        auto gone = ImageDestination::createWithPath(abandoned.string(), kUTTypeGIF, count);
        for (size_t i = 0; i < count; ++i)
            gone->addImage(gradient(64, 48, uint8_t(i)));
    }
    EXPECT_FALSE(std::filesystem::exists(abandoned));
}

TEST(GIFWriter, DelaysKeepTheMoviesTimeWhenFramesFallBetweenHundredths)
{
    // A GIF counts time in hundredths of a second: thirty frames of 1/30 s each must still
    // last one second together (3 or 4 hundredths a frame), not nine tenths of one.
    testsupport::TempDir dir;
    const auto path = dir / "thirty.gif";
    auto dst = ImageDestination::createWithPath(path.string(), kUTTypeGIF, 30);
    for (int i = 0; i < 30; ++i)
        dst->addImage(gradient(4, 4, uint8_t(i)), delay(1.0 / 30, kCGImagePropertyGIFUnclampedDelayTime));
    ASSERT_TRUE(dst->finalize());
    auto gif = decode(path);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->frames.size(), 30u);
    int total = 0;
    for (size_t i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(gif->frames[i].delay, 3);
        EXPECT_LE(gif->frames[i].delay, 4);
        total += gif->frames[i].delay;
        // Never more than half a hundredth away from the frames' own time.
        EXPECT_LE(std::abs(total - (int(i) + 1) * 100.0 / 30), 0.5);
    }
    EXPECT_EQ(total, 100);

    // A frame longer than a GIF can hold is cut to the longest delay; the next one does not
    // make up for it.
    const auto longPath = dir / "long.gif";
    auto longer = ImageDestination::createWithPath(longPath.string(), kUTTypeGIF, 2);
    longer->addImage(gradient(4, 4), delay(1000, kCGImagePropertyGIFUnclampedDelayTime));
    longer->addImage(gradient(4, 4), delay(0.1, kCGImagePropertyGIFUnclampedDelayTime));
    ASSERT_TRUE(longer->finalize());
    auto cut = decode(longPath);
    ASSERT_TRUE(cut);
    ASSERT_EQ(cut->frames.size(), 2u);
    EXPECT_EQ(cut->frames[0].delay, 65535);
    EXPECT_EQ(cut->frames[1].delay, 10);
}
