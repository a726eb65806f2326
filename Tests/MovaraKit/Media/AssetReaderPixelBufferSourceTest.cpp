#include "MovaraKit/Media/AssetReaderPixelBufferSource.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <numbers>

namespace {

using movietest::run;

std::shared_ptr<AssetReaderPixelBufferSource> sourceFor(const std::filesystem::path& path,
                                                        std::optional<media::VideoComposition> composition = {})
{
    return AssetReaderPixelBufferSource::init(media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string())),
                                              std::move(composition));
}

foundation::ErrorPtr load(AssetReaderPixelBufferSource& source)
{
    std::mutex mutex;
    std::optional<foundation::ErrorPtr> result;
    source.loadWithCompletionHandler([&](foundation::ErrorPtr error) {
        std::lock_guard lock(mutex);
        result = error;
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
        std::lock_guard lock(mutex);
        return result.has_value();
    }, 60));
    std::lock_guard lock(mutex);
    return result.value_or(foundation::Error::make("Test", 1, "no answer"));
}

std::vector<double> readTimes(AssetReaderPixelBufferSource& source, graphics::Size* frameSize = nullptr,
                              foundation::ErrorPtr* error = nullptr)
{
    std::vector<double> times;
    foundation::ErrorPtr ignored;
    while (auto sample = source.copyNextSampleBuffer(error ? error : &ignored)) {
        times.push_back(sample->presentationTimeStamp().seconds());
        EXPECT_EQ(sample->imageBuffer()->pixelFormatType(), media::PixelFormatType_420YpCbCr8BiPlanarVideoRange);
        if (frameSize)
            *frameSize = {double(sample->imageBuffer()->width()), double(sample->imageBuffer()->height())};
    }
    return times;
}

void expectTimes(const std::vector<double>& actual, const std::vector<double>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], 1e-3) << "frame " << i;
}

// Ten 32 x 24 frames at 10 frames/s, written by ffmpeg with `extra` options.
std::filesystem::path makeMovie(const testsupport::TempDir& dir, const std::string& name, const std::string& extra = {})
{
    const auto path = dir / name;
    EXPECT_TRUE(run("ffmpeg -v error -y -f lavfi -i testsrc=size=32x24:rate=10 -frames:v 10 -c:v mjpeg " + extra + " '"
                    + path.string() + "'"));
    return path;
}

} // namespace

TEST(AssetReaderPixelBufferSource, ReadsTheFirstVideoTrackAsBiPlanarFrames)
{
    testsupport::TempDir dir;
    const auto path = dir / "two.mov";
    // A second, smaller video track: only the first is read.
    ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i testsrc=size=32x24:rate=10 -f lavfi -i testsrc=size=16x12:rate=10 "
                    "-frames:v 10 -map 0 -map 1 -c:v mjpeg '" + path.string() + "'"));
    auto source = sourceFor(path);
    ASSERT_EQ(load(*source), nullptr);
    EXPECT_EQ(source->pixelBufferSourceInfo().get(), static_cast<PixelBufferSourceInfo*>(source.get()));
    EXPECT_EQ(source->size(), (graphics::Size {32, 24}));
    EXPECT_EQ(source->timeRange(), media::TimeRange::make(media::Time::zero(), media::Time::make(1, 1)));
    graphics::Size frameSize;
    foundation::ErrorPtr error;
    expectTimes(readTimes(*source, &frameSize, &error), {0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9});
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(frameSize, (graphics::Size {32, 24}));
    EXPECT_EQ(source->copyNextSampleBuffer(&error), nullptr);
}

TEST(AssetReaderPixelBufferSource, TimeRangeSpansTheEditsFromZeroUnlessSetBeforeLoading)
{
    testsupport::TempDir dir;
    const auto plain = makeMovie(dir, "plain.mov");
    // The same frames behind a 2 s empty edit.
    const auto delayed = dir / "delayed.mov";
    ASSERT_TRUE(run("ffmpeg -v error -y -itsoffset 2 -i '" + plain.string() + "' -c copy '" + delayed.string() + "'"));

    auto late = sourceFor(delayed);
    ASSERT_EQ(load(*late), nullptr);
    EXPECT_EQ(late->timeRange().start.seconds(), 0);
    EXPECT_NEAR(late->timeRange().duration.seconds(), 3.0, 1e-3);

    auto part = sourceFor(plain);
    const auto range = media::TimeRange::make(media::Time::make(3, 10), media::Time::make(3, 10));
    part->setTimeRange(range);
    ASSERT_EQ(load(*part), nullptr);
    EXPECT_EQ(part->timeRange(), range);
    expectTimes(readTimes(*part), {0.3, 0.4, 0.5});
}

TEST(AssetReaderPixelBufferSource, CompositionRendersFramesWhileInfoDescribesTheTrack)
{
    testsupport::TempDir dir;
    // A movie whose track is turned a quarter.
    const auto path = dir / "turned.mov";
    auto writer = MoviePixelBufferDestination::init(foundation::URL::fileURLWithPath(path.string()),
                                                    media::AVFileTypeQuickTimeMovie);
    movietest::FrameSourceSpec recipe;
    recipe.count = 10;
    recipe.width = 32;
    recipe.height = 24;
    recipe.transform = graphics::AffineTransform::makeRotation(std::numbers::pi / 2);
    ASSERT_EQ(movietest::transcode(movietest::makeFrameSource(recipe), writer), nullptr);

    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
    const auto tracks = asset->tracksWithMediaType(media::AVMediaTypeVideo);
    ASSERT_EQ(tracks.size(), 1u);
    auto composition = media::VideoComposition::passThrough(*tracks[0], media::Time::make(1, 5), tracks[0]->timeRange());
    composition.renderSize = {16, 12};

    auto source = AssetReaderPixelBufferSource::init(asset, composition);
    ASSERT_EQ(load(*source), nullptr);
    EXPECT_EQ(source->size(), (graphics::Size {32, 24}));
    EXPECT_EQ(source->transform(), tracks[0]->preferredTransform());
    EXPECT_FALSE(source->transform() == graphics::AffineTransform::identity());
    graphics::Size frameSize;
    expectTimes(readTimes(*source, &frameSize), {0, 0.2, 0.4, 0.6, 0.8});
    EXPECT_EQ(frameSize, (graphics::Size {16, 12}));
}

TEST(AssetReaderPixelBufferSource, LoadErrors)
{
    testsupport::TempDir dir;
    const auto audio = dir / "audio.mov";
    ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i anullsrc=r=8000:cl=mono -t 0.2 -c:a pcm_s16le '" + audio.string() + "'"));
    const auto junk = dir.write("junk.mov", std::string(2000, 'x'));
    const struct {
        const char* name;
        std::filesystem::path path;
        bool noVideoTrack;
    } cases[] = {
        {"audio only", audio, true},
        {"not a movie", junk, false},
        {"no such file", dir / "missing.mov", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = sourceFor(c.path);
        const auto error = load(*source);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain() == AssetReaderPixelBufferSourceErrorDomain
                      && error->code() == AssetReaderPixelBufferSourceNoVideoTrack,
                  c.noVideoTrack)
            << error->domain() << " " << error->code();
        foundation::ErrorPtr readError;
        EXPECT_EQ(source->copyNextSampleBuffer(&readError), nullptr);
    }
}

TEST(AssetReaderPixelBufferSource, AMovieCutShortFailsTheTranscodeInsteadOfEndingEarly)
{
    testsupport::TempDir dir;
    // The index first, so that a cut-off file still promises every frame.
    const auto path = makeMovie(dir, "cut.mov", "-movflags +faststart");
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, size * 6 / 10);

    const auto output = dir.write("out.mov", "the user's earlier movie");
    auto destination = MoviePixelBufferDestination::init(foundation::URL::fileURLWithPath(output.string()),
                                                         media::AVFileTypeQuickTimeMovie);
    bool timedOut = false;
    const auto error = movietest::transcode(sourceFor(path), destination, &timedOut);
    EXPECT_FALSE(timedOut);
    ASSERT_NE(error, nullptr) << "a truncated read must not pass for the whole movie";
    EXPECT_FALSE(error->isUserCancelled());
    std::ifstream in(output, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the user's earlier movie");
}

TEST(AssetReaderPixelBufferSource, ReaderFeedsTheMovieWriterThroughARetimingComposition)
{
    testsupport::TempDir dir;
    const auto path = makeMovie(dir, "pass1.mov");
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
    const auto track = asset->tracksWithMediaType(media::AVMediaTypeVideo).at(0);
    auto source = AssetReaderPixelBufferSource::init(
        asset, media::VideoComposition::passThrough(*track, media::Time::make(1, 5), track->timeRange()));
    const auto output = dir / "final.mp4";
    auto destination = MoviePixelBufferDestination::init(foundation::URL::fileURLWithPath(output.string()),
                                                         media::AVFileTypeMPEG4);
    destination->setPreset(MoviePixelBufferDestinationPreset::h264);
    ASSERT_EQ(movietest::transcode(source, destination), nullptr);
    const auto movie = movietest::readMovie(output);
    EXPECT_EQ(movie.codec, "avc1");
    expectTimes(movie.times, {0, 0.2, 0.4, 0.6, 0.8});
}
