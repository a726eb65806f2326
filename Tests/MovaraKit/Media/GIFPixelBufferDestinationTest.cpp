#include "MovaraKit/Media/GIFPixelBufferDestination.h"

#include "Tests/MovaraKit/Media/WriterTestSupport.h"
#include "Tests/Support/TempDir.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace {

struct GIF {
    std::string version;
    int width = 0, height = 0;
    bool globalColorMap = false;
    std::optional<int> loopCount;
    std::vector<int> delays; // hundredths
    bool everyFrameHasItsOwnPalette = true;
    std::vector<GifColorType> firstFramePixels;
};

// Read back with giflib's reader, independent of anything of ours.
std::optional<GIF> readGIF(const fs::path& path)
{
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (!gif)
        return std::nullopt;
    std::optional<GIF> out;
    if (DGifSlurp(gif) == GIF_OK) {
        GIF g;
        char version[7] = {};
        std::ifstream(path, std::ios::binary).read(version, 6);
        g.version = version;
        g.width = gif->SWidth;
        g.height = gif->SHeight;
        g.globalColorMap = gif->SColorMap != nullptr;
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            GraphicsControlBlock gcb;
            g.delays.push_back(DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK ? gcb.DelayTime : -1);
            g.everyFrameHasItsOwnPalette = g.everyFrameHasItsOwnPalette && s.ImageDesc.ColorMap;
            for (int e = 0; e + 1 < s.ExtensionBlockCount; ++e) {
                const ExtensionBlock& b = s.ExtensionBlocks[e];
                const ExtensionBlock& sub = s.ExtensionBlocks[e + 1];
                if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 && std::memcmp(b.Bytes, "NETSCAPE2.0", 11) == 0
                    && sub.ByteCount == 3 && sub.Bytes[0] == 1)
                    g.loopCount = sub.Bytes[1] | (sub.Bytes[2] << 8);
            }
            if (i == 0 && s.ImageDesc.ColorMap)
                for (int p = 0; p < s.ImageDesc.Width * s.ImageDesc.Height; ++p)
                    g.firstFramePixels.push_back(s.ImageDesc.ColorMap->Colors[s.RasterBits[p]]);
        }
        out = std::move(g);
    }
    DGifCloseFile(gif, &error);
    return out;
}

foundation::URL fileURL(const fs::path& p)
{
    return foundation::URL::fileURLWithPath(p.string());
}

} // namespace

TEST(GIFPixelBufferDestination, TranscodesAMovieIntoALoopingGIF)
{
    testsupport::TempDir dir;
    const auto movie = dir / "clip.mp4";
    ASSERT_EQ(writertest::writeMovie(movie, 8, 64, 48), nullptr);
    const auto out = dir / "clip.gif";
    auto error = writertest::transcode(writertest::makeMovieSource(movie, media::PixelFormatType_420YpCbCr8BiPlanarVideoRange),
                                       GIFPixelBufferDestination::init(fileURL(out)));
    ASSERT_EQ(error, nullptr) << error->localizedDescription();

    auto gif = readGIF(out);
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->version, "GIF89a");
    EXPECT_EQ(gif->width, 64);
    EXPECT_EQ(gif->height, 48);
    EXPECT_EQ(gif->loopCount, 0);
    EXPECT_FALSE(gif->globalColorMap);
    EXPECT_TRUE(gif->everyFrameHasItsOwnPalette);
    EXPECT_EQ(gif->delays, std::vector<int>(8, 10)); // 10 frames per second, the first included

    // The first frame is a gradient of ~3000 colours (blue 0): the palette keeps it close even
    // after the movie's own compression.
    ASSERT_EQ(gif->firstFramePixels.size(), 64u * 48u);
    double total = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const auto& c = gif->firstFramePixels[size_t(y * 64 + x)];
            total += std::abs(c.Red - x * 255 / 63) + std::abs(c.Green - y * 255 / 47) + std::abs(c.Blue - 0);
        }
    EXPECT_LT(total / (64 * 48 * 3), 8.0);

    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(GIFPixelBufferDestination, EachFrameLastsUntilTheNextOne)
{
    const struct {
        const char* name;
        std::vector<double> times;
        std::vector<int> delays;
    } cases[] = {
        {"even", {0, 0.1, 0.2}, {10, 10, 10}},
        {"uneven: the last frame keeps the gap before it", {0, 0.1, 0.35}, {10, 25, 25}},
        {"not starting at zero", {5.0, 5.5}, {50, 50}},
        {"one frame", {0}, {0}},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = dir / "timing.gif";
        ASSERT_EQ(writertest::transcode(writertest::makeSource(c.times), GIFPixelBufferDestination::init(fileURL(out))), nullptr);
        auto gif = readGIF(out);
        ASSERT_TRUE(gif);
        EXPECT_EQ(gif->delays, c.delays);
    }
}

TEST(GIFPixelBufferDestination, CancelLeavesNoGIFAndKeepsAnExistingFile)
{
    testsupport::TempDir dir;
    const auto out = dir / "keep.gif";
    std::ofstream(out) << "before";
    auto dst = GIFPixelBufferDestination::init(fileURL(out));
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(dst->eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(8, 8), i * 0.1), nullptr));
    dst->cancel();
    EXPECT_FALSE(dst->isReadyForMore());
    EXPECT_EQ(fs::file_size(out), 6u);
    EXPECT_EQ(writertest::listDirectory(dir.path()), std::vector<std::string>{"keep.gif"});
}

TEST(GIFPixelBufferDestination, ReportsItsErrors)
{
    testsupport::TempDir dir;
    fs::create_directories(dir / "folder.gif");
    // Where the file can't be made, prepare fails (so no frame is encoded for nothing).
    for (const auto& bad : {dir / "missing" / "a.gif", dir / "folder.gif"}) {
        SCOPED_TRACE(bad);
        foundation::ErrorPtr error;
        EXPECT_FALSE(GIFPixelBufferDestination::init(fileURL(bad))->prepareWithInfo(nullptr, false, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), GIFPixelBufferDestinationErrorDomain);
        EXPECT_EQ(error->code(), GIFPixelBufferDestinationFailedToCreateImageDestination);
    }

    const auto out = dir / "a.gif";
    auto dst = GIFPixelBufferDestination::init(fileURL(out));
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    foundation::ErrorPtr error;
    EXPECT_FALSE(dst->eatSampleBuffer(nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), GIFPixelBufferDestinationMissingImageBuffer);
    // A failed frame ends the writer's appetite: the operation stops without finishing it.
    EXPECT_FALSE(dst->isReadyForMore());

    // Finishing with no frames has nothing to finalise.
    auto empty = GIFPixelBufferDestination::init(fileURL(dir / "empty.gif"));
    ASSERT_TRUE(empty->prepareWithInfo(nullptr, false, nullptr));
    foundation::ErrorPtr finished;
    bool called = false;
    empty->finishWithCompletionHandler([&](foundation::ErrorPtr e) {
        called = true;
        finished = e;
    });
    EXPECT_TRUE(called);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->code(), GIFPixelBufferDestinationFailedToFinalizeImageDestination);
    EXPECT_FALSE(fs::exists(dir / "empty.gif"));
}

TEST(GIFPixelBufferDestination, StartEatingReturnsWhenTheFeederHasNothingMore)
{
    testsupport::TempDir dir;
    auto dst = GIFPixelBufferDestination::init(fileURL(dir / "idle.gif"));
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    int calls = 0;
    dst->startEating([&] { ++calls; });
    EXPECT_EQ(calls, 1);
}
