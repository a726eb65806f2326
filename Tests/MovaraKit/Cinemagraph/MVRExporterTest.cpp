// The cinemagraph reader, the exporter and the repeated-asset export session, on a tiny movie
// whose frames are flat greys, brighter frame by frame (so frame order can be read from pixels).
#include "MovaraKit/Cinemagraph/MVRCinemagraphReader.h"
#include "MovaraKit/Cinemagraph/MVRExporter.h"
#include "MovaraKit/Cinemagraph/MVRRepeatedAssetExportSession.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <chrono>
#include <mutex>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/CodecCapabilities.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/FilterFixtures.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

constexpr int kFrames = 8;
const graphics::Image::RGBA8 kStill{0, 0, 255, 255};

class CinemagraphExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        movie = dir.path() / "ramp.mp4";
        ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i \"color=c=black:s=32x24:r=10:d=0.8,geq=lum='16+N*25':cb=128:cr=128\" "
                                   "-c:v libx264 -pix_fmt yuv420p -g 1 '" + movie.string() + "'"));
    }

    MVRCinemagraphPtr cinemagraph(uint64_t loopMode = 0, const std::filesystem::path& source = {})
    {
        auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath((source.empty() ? movie : source).string()));
        // The mask lets the video through on the left half only.
        auto mask = graphics::FilterImage::imageWithCGImage(filtertest::bitmap(32, 24, [](int x, int) {
            return graphics::Image::RGBA8{255, 255, 255, uint8_t(x < 16 ? 255 : 0)};
        }));
        return MVRCinemagraph::initWithAsset(asset, std::nullopt, mask, filtertest::solid(32, 24, kStill), *graph, loopMode,
                                             graphics::AffineTransform::identity());
    }

    // Runs an export to the end on the main run loop.
    struct Result {
        std::optional<foundation::URL> url;
        foundation::ErrorPtr error;
        bool done = false;
    };
    Result run(const std::shared_ptr<MVRExporter>& exporter, const std::function<void(const foundation::ProgressPtr&)>& after = {})
    {
        Result result;
        auto progress = exporter->exportAsynchronouslyWithCompletionHandler(
            [&](std::optional<foundation::URL> url, foundation::ErrorPtr error) {
                result = {url, error, true};
            });
        if (after)
            after(progress);
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.done; }, 60));
        return result;
    }

    // Runs an export whose progress is cancelled once its operation has ended, before the
    // main thread (kept busy meanwhile) runs the export's last step.
    Result runCancellingAfterTheLastFrame(const std::shared_ptr<MVRExporter>& exporter)
    {
        Result result;
        auto progress = exporter->exportAsynchronouslyWithCompletionHandler(
            [&](std::optional<foundation::URL> url, foundation::ErrorPtr error) { result = {url, error, true}; });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (exporter->operationQueue()->operationCount() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        progress->cancel();
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.done; }, 30));
        return result;
    }

    static int grey(const media::SampleBufferPtr& sample, int x, int y)
    {
        auto buffer = sample->imageBuffer();
        media::PixelBufferLock lock(*buffer, media::PixelBufferLockReadOnly);
        const auto* p = static_cast<const uint8_t*>(buffer->baseAddress()) + size_t(y) * buffer->bytesPerRow() + size_t(x) * 4;
        return p[1]; // B,G,R,A: green
    }

    static int countFrames(const std::filesystem::path& file)
    {
        FILE* pipe = ::popen(("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 '"
                              + file.string() + "'").c_str(), "r");
        if (!pipe)
            return -1;
        int frames = -1;
        if (std::fscanf(pipe, "%d", &frames) != 1)
            frames = -1;
        ::pclose(pipe);
        return frames;
    }

    testsupport::TempDir dir;
    std::filesystem::path movie;
    MVRFilterGraphPtr graph = MVRFilterGraph::init();
};

} // namespace

TEST_F(CinemagraphExportTest, ReverseLoopPlaysBackWithoutRepeatsAtTheTurns)
{
    auto reader = MVRCinemagraphReader::initWithCinemagraph(cinemagraph());
    // 8 frames forward, 6 back: the range ends where the last frame does, so progress ends
    // at the end rather than jumping there.
    EXPECT_NEAR(reader->timeRange().duration.seconds(), 1.4, 1e-9);
    bool loaded = false;
    foundation::ErrorPtr loadError;
    reader->loadWithCompletionHandler([&](foundation::ErrorPtr e) { loadError = e, loaded = true; });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return loaded; }, 10));
    ASSERT_FALSE(loadError);

    std::vector<int> greys;
    std::vector<double> times;
    foundation::ErrorPtr error;
    while (auto sample = reader->copyNextSampleBuffer(&error)) {
        greys.push_back(grey(sample, 4, 12)); // from the video half
        times.push_back(sample->presentationTimeStamp().seconds());
        EXPECT_EQ(grey(sample, 28, 12), 0) << "the still shows outside the mask"; // blue has no green
    }
    EXPECT_FALSE(error);
    // Forward the greys rise; backward they come again, last first, without the turning frames.
    ASSERT_EQ(greys.size(), 14u);
    for (size_t i = 1; i < kFrames; ++i)
        EXPECT_GT(greys[i], greys[i - 1]) << i;
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(greys[kFrames + i], greys[kFrames - 2 - i]) << i;
    ASSERT_EQ(times.size(), 14u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_NEAR(times[i] - times[i - 1], 0.1, 1e-6) << i; // no held frame at the far turn
    EXPECT_NEAR(times.back() + 0.1, reader->timeRange().end().seconds(), 1e-6);

    EXPECT_THROW(reader->setScale(0.5), foundation::Exception);
    EXPECT_THROW(reader->setFrameDuration(media::Time::make(1, 30)), foundation::Exception);
}

TEST_F(CinemagraphExportTest, CanvasObjectsBlendInTheColourSpaceOfTheFirstDestinationBuffer)
{
    const auto p3 = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceDisplayP3);
    ASSERT_TRUE(p3);
    ASSERT_FALSE(p3->iccData().empty());
    const struct {
        const char* name;
        std::function<void(media::PixelBuffer&)> tag;
        std::string expected;
    } cases[] = {
        {"its own profile", [&](media::PixelBuffer& b) {
             b.setAttachment(media::kCVImageBufferICCProfileKey, p3->iccData(), media::AttachmentMode::ShouldNotPropagate);
         }, graphics::kCGColorSpaceDisplayP3},
        {"primaries it hands on", [](media::PixelBuffer& b) {
             b.setAttachment(media::kCVImageBufferColorPrimariesKey, std::string("P3_D65"), media::AttachmentMode::ShouldPropagate);
             b.setAttachment(media::kCVImageBufferTransferFunctionKey, std::string("IEC_sRGB"), media::AttachmentMode::ShouldPropagate);
         }, graphics::kCGColorSpaceDisplayP3},
        {"nothing", [](media::PixelBuffer&) {}, graphics::kCGColorSpaceSRGB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = MVRCinemagraphReader::initWithCinemagraph(cinemagraph(1));
        auto first = media::PixelBuffer::create(32, 24, media::PixelFormatType_32BGRA);
        c.tag(*first);
        bool finished = true;
        foundation::ErrorPtr error;
        ASSERT_TRUE(reader->scribbleOnPixelBuffer(first, &finished, &error).isValid());
        const auto expected = graphics::ColorSpace::createWithName(c.expected);
        ASSERT_TRUE(reader->filterGraph()->canvasObjectBlendColorSpace());
        EXPECT_TRUE(reader->filterGraph()->canvasObjectBlendColorSpace()->isEqual(*expected))
            << reader->filterGraph()->canvasObjectBlendColorSpace()->description();
        // Set once, from the first buffer: a later one tagged otherwise changes nothing.
        auto later = media::PixelBuffer::create(32, 24, media::PixelFormatType_32BGRA);
        later->setAttachment(media::kCVImageBufferICCProfileKey,
                             graphics::ColorSpace::createWithName(graphics::kCGColorSpaceLinearSRGB)->iccData(),
                             media::AttachmentMode::ShouldPropagate);
        ASSERT_TRUE(reader->scribbleOnPixelBuffer(later, &finished, &error).isValid());
        EXPECT_TRUE(reader->filterGraph()->canvasObjectBlendColorSpace()->isEqual(*expected));
    }
}

TEST_F(CinemagraphExportTest, ReadersRenderASnapshotOfTheGraph)
{
    auto value = cinemagraph(1);
    auto reader = MVRCinemagraphReader::initWithCinemagraph(value);
    // Edits after the reader was made, to the graph the value holds, do not reach the export.
    value->filterGraph()->exposureFilter()->setValue(3.0, "inputEV");
    graph->exposureFilter()->setValue(3.0, "inputEV");
    bool loaded = false;
    reader->loadWithCompletionHandler([&](foundation::ErrorPtr) { loaded = true; });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return loaded; }, 10));
    foundation::ErrorPtr error;
    auto sample = reader->copyNextSampleBuffer(&error);
    ASSERT_TRUE(sample);
    EXPECT_LT(grey(sample, 4, 12), 40); // the first frame is nearly black, not brightened
}

TEST_F(CinemagraphExportTest, ScaleAndFrameDurationSettings)
{
    auto reader = MVRCinemagraphReader::initWithCinemagraph(cinemagraph(1));
    reader->setScale(2);
    EXPECT_EQ(reader->scale(), 1.0);
    reader->setScale(-1);
    EXPECT_EQ(reader->scale(), 0.0);
    reader->setFrameDuration(media::Time::make(1, 15));
    reader->setFrameDuration(media::Time::invalid());
    EXPECT_EQ(reader->frameDuration(), media::Time::make(1, 15));
    EXPECT_EQ(reader->timeRange().duration.seconds(), 0.8);
}

TEST_F(CinemagraphExportTest, AFixedFrameDurationResamplesTheMovie)
{
    for (uint64_t loopMode : {1, 0}) {
        SCOPED_TRACE(loopMode);
        auto reader = MVRCinemagraphReader::initWithCinemagraph(cinemagraph(loopMode));
        reader->setFrameDuration(media::Time::make(1, 15));
        bool loaded = false;
        reader->loadWithCompletionHandler([&](foundation::ErrorPtr) { loaded = true; });
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return loaded; }, 10));
        std::vector<double> times;
        foundation::ErrorPtr error;
        while (auto sample = reader->copyNextSampleBuffer(&error))
            times.push_back(sample->presentationTimeStamp().seconds());
        EXPECT_FALSE(error);
        ASSERT_GE(times.size(), 11u);
        for (size_t i = 1; i < times.size(); ++i)
            EXPECT_NEAR(times[i] - times[i - 1], 1.0 / 15, 1e-6) << i;
        // Forward and back, the range ends where the last frame does.
        if (loopMode == 0) {
            EXPECT_NEAR(times.back() + 1.0 / 15, reader->timeRange().end().seconds(), 1e-6);
        }
    }
}

TEST_F(CinemagraphExportTest, EachRenderTypeWritesItsFormat)
{
    struct Case {
        uint64_t type;
        const char* name;
        int frames;
    } cases[] = {
        {MVRRenderTypeH264, "loop.mp4", 14},
        {MVRRenderTypeProRes422, "loop.mov", 14},
        {MVRRenderTypeGIF, "loop.gif", 14},
        {MVRRenderTypeImageSequence, "frames", 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto output = dir.path() / c.name;
        auto settings = MVRExportSettings::settingsWithType(c.type, 1.0, media::Time::invalid(), 5, MVRImageSequenceTypePNG, 1);
        auto exporter = MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string()));
        const bool movie = c.type == MVRRenderTypeH264 || c.type == MVRRenderTypeProRes422;
        EXPECT_EQ(exporter->totalUnitCount(), movie ? 10 : 9);
        auto result = run(exporter);
        ASSERT_FALSE(result.error) << result.error->localizedDescription();
        ASSERT_TRUE(result.url);
        EXPECT_TRUE(exporter->thumbnail());
        if (c.type == MVRRenderTypeImageSequence) {
            int files = 0;
            for (const auto& entry : std::filesystem::directory_iterator(output))
                files += entry.path().extension() == ".png";
            EXPECT_EQ(files, c.frames);
        } else {
            EXPECT_EQ(countFrames(output), movie ? c.frames * 5 : c.frames);
        }
        // Nothing temporary is left beside the output.
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find(" partial"), std::string::npos) << entry.path();
    }
    auto probe = movietest::probe(dir.path() / "loop.mp4");
    ASSERT_FALSE(probe.is_null());
    EXPECT_EQ(probe["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(probe["streams"][0]["width"], 32);
    EXPECT_EQ(probe["streams"][0]["height"], 24);
    auto proRes = movietest::probe(dir.path() / "loop.mov");
    ASSERT_FALSE(proRes.is_null());
    EXPECT_EQ(proRes["streams"][0]["codec_name"], "prores");
    EXPECT_EQ(proRes["format"]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
}

TEST_F(CinemagraphExportTest, TheProgressCarriesAPictureOfEveryFifthFrame)
{
    const auto output = dir.path() / "loop.gif";
    auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeGIF, 1.0, media::Time::invalid(), 1, MVRImageSequenceTypePNG, 1);
    auto exporter = MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string()));
    // Held back until the test listens to the progress.
    exporter->operationQueue()->setSuspended(true);
    std::mutex mutex;
    std::vector<int> greys; // the video half of each picture, as it is published
    foundation::Observable::Token token;
    auto result = run(exporter, [&](const foundation::ProgressPtr& progress) {
        token = progress->addObserver("userInfo", 0, [&, progress](const foundation::KeyValueChange&) {
            auto picture = std::any_cast<graphics::FilterImagePtr>(progress->userInfoItem(MVRExporterProgressThumbnailKey));
            ASSERT_TRUE(picture);
            auto pixels = filtertest::render(picture, picture->extent());
            ASSERT_TRUE(pixels);
            EXPECT_EQ(pixels->pixelAt(28, 12), (graphics::Image::RGBA8{0, 0, 255, 255})); // the still half
            std::lock_guard lock(mutex);
            greys.push_back(pixels->pixelAt(4, 12).g);
        });
        exporter->operationQueue()->setSuspended(false);
    });
    ASSERT_FALSE(result.error) << result.error->localizedDescription();
    // 14 frames: forward through the movie's frames 0 to 7, back through 6 to 1. Pictures of
    // frames 0, 5 and 10, which show the movie's frames 0, 5 and 4.
    std::lock_guard lock(mutex);
    ASSERT_EQ(greys.size(), 3u);
    auto ramp = [](int n) { return (16 + n * 25 - 16) * 255 / 219; };
    EXPECT_NEAR(greys[0], ramp(0), 6);
    EXPECT_NEAR(greys[1], ramp(5), 6);
    EXPECT_NEAR(greys[2], ramp(4), 6);
    EXPECT_TRUE(exporter->progress()->userInfo()[MVRExporterProgressThumbnailKey].isNull());
}

TEST_F(CinemagraphExportTest, HEVCExportsThroughTheSoftwareEncoder)
{
    if (!media::canEncodeVideoCodecType("hvc1"))
        GTEST_SKIP() << "no HEVC encoder on this machine";
    const auto output = dir.path() / "loop.mp4";
    auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeHEVC, 1.0, 1);
    auto result = run(MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string())));
    ASSERT_FALSE(result.error) << result.error->localizedDescription();
    auto probe = movietest::probe(output);
    ASSERT_FALSE(probe.is_null());
    EXPECT_EQ(probe["streams"][0]["codec_name"], "hevc");
    EXPECT_EQ(probe["streams"][0]["codec_tag_string"], "hvc1");
    EXPECT_EQ(probe["streams"][0]["width"], 32);
    EXPECT_EQ(probe["streams"][0]["height"], 24);
    EXPECT_EQ(countFrames(output), 14);
    // The pixels survive: the video half rises forward and comes back, the still half is blue.
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(output.string()));
    auto reader = media::AssetReader::assetReaderWithAsset(asset);
    ASSERT_TRUE(reader);
    auto track = media::AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
        asset->tracksWithMediaType(media::AVMediaTypeVideo).front(),
        foundation::Value::dictionary({{media::kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(media::PixelFormatType_32BGRA)}}));
    reader->addOutput(track);
    ASSERT_TRUE(reader->startReading());
    std::vector<int> greys;
    while (auto sample = track->copyNextSampleBuffer()) {
        greys.push_back(grey(sample, 4, 12));
        EXPECT_LT(grey(sample, 28, 12), 12);
    }
    ASSERT_EQ(greys.size(), 14u);
    EXPECT_GT(greys[7], greys[0] + 100);
    EXPECT_NEAR(greys[8], greys[6], 4);
}

TEST_F(CinemagraphExportTest, FailedAndCancelledExportsKeepTheUsersFile)
{
    const auto output = dir.path() / "keep.mp4";
    fixtures::writeFile(output, {'o', 'l', 'd'});
    auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeH264, 1.0, 1);

    // A source that is not a movie.
    const auto broken = dir.path() / "broken.mp4";
    fixtures::writeFile(broken, {'n', 'o', 't'});
    auto failed = run(MVRExporter::initWithCinemagraph(cinemagraph(0, broken), settings,
                                                       foundation::URL::fileURLWithPath(output.string())));
    EXPECT_TRUE(failed.error);
    EXPECT_FALSE(failed.url);
    EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // A movie whose index promises more frames than its data holds: the reader fails midway,
    // and that must not pass for the end of the movie.
    const auto cut = dir.path() / "cut.mp4";
    ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=32x24:r=10:d=3 -c:v libx264 -qp 0 -pix_fmt yuv420p "
                               "-g 1 -movflags +faststart '" + cut.string() + "'"));
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) * 6 / 10);
    auto truncated = run(MVRExporter::initWithCinemagraph(cinemagraph(1, cut), settings,
                                                          foundation::URL::fileURLWithPath(output.string())));
    ASSERT_TRUE(truncated.error) << "a movie cut short was exported as if whole";
    EXPECT_FALSE(truncated.error->isUserCancelled());
    EXPECT_FALSE(truncated.url);
    EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // Cancelled before its first frame (the queue held back until then).
    auto early = MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string()));
    early->operationQueue()->setSuspended(true);
    auto cancelled = run(early, [&](const foundation::ProgressPtr& progress) {
        progress->cancel();
        early->operationQueue()->setSuspended(false);
    });
    ASSERT_TRUE(cancelled.error);
    EXPECT_TRUE(cancelled.error->isUserCancelled());
    EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // Cancelled after the last frame, before the export took the user's file's place: a
    // cancelled export leaves the file as it was, however late the cancel.
    {
        auto result = runCancellingAfterTheLastFrame(
            MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string())));
        ASSERT_TRUE(result.error);
        EXPECT_TRUE(result.error->isUserCancelled());
        EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }

    // A second start is a programming error.
    auto exporter = MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string()));
    run(exporter);
    EXPECT_THROW(exporter->exportAsynchronouslyWithCompletionHandler({}), foundation::Exception);
}

TEST_F(CinemagraphExportTest, ARepeatStepThatFailsLeavesTheUsersFile)
{
    const auto output = dir.path() / "keep.mp4";
    fixtures::writeFile(output, {'o', 'l', 'd'});
    // One pass of the movie, alone: the repeated one is three of them end to end.
    const auto single = dir.path() / "single.mp4";
    auto once = run(MVRExporter::initWithCinemagraph(cinemagraph(), MVRExportSettings::settingsWithType(MVRRenderTypeH264, 1.0, 1),
                                                     foundation::URL::fileURLWithPath(single.string())));
    ASSERT_FALSE(once.error) << once.error->localizedDescription();
    const auto passBytes = std::filesystem::file_size(single);

    // A limit on file sizes between one pass and three: the first pass is written, the
    // repeated movie beside the output fails part way.
    struct FileSizeLimit {
        explicit FileSizeLimit(rlim_t bytes)
        {
            ::getrlimit(RLIMIT_FSIZE, &saved);
            previousHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit = saved;
            limit.rlim_cur = bytes;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ~FileSizeLimit()
        {
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, previousHandler);
        }
        rlimit saved {};
        void (*previousHandler)(int) = nullptr;
    };
    Result result;
    {
        FileSizeLimit limit(static_cast<rlim_t>(passBytes * 3 / 2));
        auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeH264, 1.0, 3);
        result = run(MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string())));
    }
    ASSERT_TRUE(result.error);
    // The repeat step's own error: nothing was published after it (moving its removed output
    // into place would have failed with a file error of its own).
    EXPECT_EQ(result.error->domain(), media::AVFoundationErrorDomain) << result.error->localizedDescription();
    EXPECT_FALSE(result.url);
    EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"keep.mp4", "ramp.mp4", "single.mp4"}));
}

// Repeating exports that run at once each repeat their own movie: the one each writes first
// is its own, whatever the others write meanwhile.
TEST_F(CinemagraphExportTest, RepeatingExportsRunningAtOnceEachRepeatTheirOwnMovie)
{
    const struct {
        double scale;
        uint64_t repeats;
        double width;
    } cases[] = {{1.0, 2, 32}, {0.5, 3, 16}, {0.75, 2, 24}, {0.25, 3, 8}};
    std::vector<std::shared_ptr<MVRExporter>> exporters;
    std::vector<Result> results(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeH264, cases[i].scale, cases[i].repeats);
        const auto output = dir.path() / ("out" + std::to_string(i) + ".mp4");
        exporters.push_back(MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(output.string())));
    }
    for (size_t i = 0; i < exporters.size(); ++i)
        exporters[i]->exportAsynchronouslyWithCompletionHandler([&results, i](std::optional<foundation::URL> url, foundation::ErrorPtr error) {
            results[i] = {url, error, true};
        });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil(
        [&] { return std::all_of(results.begin(), results.end(), [](const Result& r) { return r.done; }); }, 60));
    const int single = countFrames(dir.path() / "out0.mp4") / 2;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ASSERT_FALSE(results[i].error) << results[i].error->localizedDescription();
        const auto output = dir.path() / ("out" + std::to_string(i) + ".mp4");
        EXPECT_EQ(movietest::readMovie(output).frameSize.width, cases[i].width);
        EXPECT_EQ(countFrames(output), single * int(cases[i].repeats));
    }
}

TEST_F(CinemagraphExportTest, AnImageSequenceSharesItsFolderWithTheUsersFiles)
{
    const auto broken = dir.path() / "broken.mp4";
    fixtures::writeFile(broken, {'n', 'o', 't'});
    const struct {
        const char* name;
        std::filesystem::path source;
        bool cancel;
    } cases[] = {
        {"exported", {}, false},
        {"cancelled", {}, true},
        {"failed", broken, false},
    };
    const std::vector<uint8_t> notes{'n', 'o', 't', 'e', 's'}, old{'o', 'l', 'd'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto folder = dir.path() / c.name;
        std::filesystem::create_directories(folder / "sub");
        fixtures::writeFile(folder / "mynotes.txt", notes);
        fixtures::writeFile(folder / "sub" / "image 0000.png", old);
        fixtures::writeFile(folder / "image 0003.png", old); // a name the export uses
        auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeImageSequence, 1.0, media::Time::invalid(), 1,
                                                            MVRImageSequenceTypePNG, 1);
        auto exporter = MVRExporter::initWithCinemagraph(cinemagraph(0, c.source), settings,
                                                         foundation::URL::fileURLWithPath(folder.string()));
        // A cancel comes before the first frame: the queue is held back until then.
        exporter->operationQueue()->setSuspended(c.cancel);
        auto result = run(exporter, [&](const foundation::ProgressPtr& progress) {
            if (c.cancel)
                progress->cancel();
            exporter->operationQueue()->setSuspended(false);
        });
        const bool succeeded = !c.cancel && c.source.empty();
        EXPECT_EQ(!result.error, succeeded);
        EXPECT_EQ(fixtures::readFile(folder / "mynotes.txt"), notes);
        EXPECT_EQ(fixtures::readFile(folder / "sub" / "image 0000.png"), old);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        if (succeeded) {
            ASSERT_EQ(names.size(), 16u); // 14 frames, the notes and the sub-folder
            EXPECT_EQ(names.front(), "image 0000.png");
            EXPECT_EQ(names[13], "image 0013.png");
            EXPECT_NE(fixtures::readFile(folder / "image 0003.png"), old);
        } else {
            EXPECT_EQ(names, (std::vector<std::string>{"image 0003.png", "mynotes.txt", "sub"}));
            EXPECT_EQ(fixtures::readFile(folder / "image 0003.png"), old);
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    }

    // A cancel that comes once every frame is written changes nothing: the sequence is whole
    // and the export says so, rather than calling cancelled what stays in the folder.
    const auto folder = dir.path() / "late";
    std::filesystem::create_directories(folder);
    fixtures::writeFile(folder / "mynotes.txt", notes);
    auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeImageSequence, 1.0, media::Time::invalid(), 1,
                                                        MVRImageSequenceTypePNG, 1);
    auto result = runCancellingAfterTheLastFrame(
        MVRExporter::initWithCinemagraph(cinemagraph(), settings, foundation::URL::fileURLWithPath(folder.string())));
    EXPECT_FALSE(result.error) << result.error->localizedDescription();
    EXPECT_TRUE(result.url);
    size_t frames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        frames += entry.path().extension() == ".png";
    EXPECT_EQ(frames, 14u);
    EXPECT_EQ(fixtures::readFile(folder / "mynotes.txt"), notes);
}

TEST_F(CinemagraphExportTest, NonSquarePixelsExportInTheirShownProportions)
{
    // Stored 16 x 24 with pixels twice as wide as tall, so shown 32 x 24 like the still and
    // the mask; the left half of the picture is white.
    const auto wide = dir.path() / "wide.mp4";
    ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i \"color=c=black:s=16x24:r=10:d=0.8,"
                               "geq=lum='if(lt(X,8),235,16)':cb=128:cr=128,setsar=2/1\" -c:v libx264 -pix_fmt yuv420p '"
                               + wide.string() + "'"));
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(wide.string()));
    auto mask = graphics::FilterImage::imageWithCGImage(filtertest::bitmap(32, 24, [](int x, int) {
        return graphics::Image::RGBA8{255, 255, 255, uint8_t(x < 16 ? 255 : 0)};
    }));
    // A still of one-pixel stripes, which only survives if it is composited at the shown size.
    auto still = graphics::FilterImage::imageWithCGImage(filtertest::bitmap(32, 24, [](int x, int) {
        return x % 2 ? graphics::Image::RGBA8{0, 0, 0, 255} : graphics::Image::RGBA8{255, 255, 255, 255};
    }));
    auto value = MVRCinemagraph::initWithAsset(asset, std::nullopt, mask, still, *graph, 1, graphics::AffineTransform::identity());
    EXPECT_EQ(value->renderSizeForScale(1), (graphics::Size{32, 24}));
    EXPECT_EQ(value->renderSizeForScale(0.5), (graphics::Size{16, 12}));

    // Read as stored and through a fixed frame rate (a composition) alike.
    for (const auto& frameDuration : {media::Time::invalid(), media::Time::make(1, 15)}) {
        SCOPED_TRACE(frameDuration.description());
        const auto output = dir.path() / ("wide-" + std::to_string(frameDuration.isValid()));
        auto settings = MVRExportSettings::settingsWithType(MVRRenderTypeImageSequence, 1.0, frameDuration, 1,
                                                            MVRImageSequenceTypePNG, 1);
        auto result = run(MVRExporter::initWithCinemagraph(value, settings, foundation::URL::fileURLWithPath(output.string())));
        ASSERT_FALSE(result.error) << result.error->localizedDescription();
        auto source = images::ImageSource::createWithURL(foundation::URL::fileURLWithPath((output / "image 0000.png").string()));
        auto frame = source ? source->createImageAtIndex(0) : nullptr;
        ASSERT_TRUE(frame);
        filtertest::keepSnapshot(frame, "cinemagraph-non-square-pixels");
        EXPECT_EQ(frame->width(), 32u);
        EXPECT_EQ(frame->height(), 24u);
        // The white half fills the video half (left of x = 16) of the shown picture; the
        // stripes of the still stay one pixel wide.
        EXPECT_GT(frame->pixelAt(4, 12).g, 200);
        EXPECT_GT(frame->pixelAt(12, 12).g, 200);
        EXPECT_GT(frame->pixelAt(26, 12).g, 230);
        EXPECT_LT(frame->pixelAt(27, 12).g, 25);
    }
}

TEST_F(CinemagraphExportTest, RepeatedSessionLaysCopiesEndToEnd)
{
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(movie.string()));
    EXPECT_FALSE(MVRRepeatedAssetExportSession::initWithAsset(asset, "AVAssetExportPresetHighestQuality"));
    auto session = MVRRepeatedAssetExportSession::initWithAsset(asset, media::AVAssetExportPresetPassthrough);
    ASSERT_TRUE(session);
    const auto output = dir.path() / "three.mp4";
    session->setRepeatCount(3);
    session->setOutputURL(foundation::URL::fileURLWithPath(output.string()));
    session->setOutputFileType(media::AVFileTypeMPEG4);
    bool done = false;
    session->exportAsynchronouslyWithCompletionHandler([&] { done = true; });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 30));
    EXPECT_EQ(session->status(), MVRRepeatedAssetExportSession::Status::Completed);
    EXPECT_EQ(countFrames(output), kFrames * 3);
    auto read = movietest::readMovie(output);
    ASSERT_EQ(read.times.size(), size_t(kFrames * 3));
    EXPECT_NEAR(read.times[kFrames], 0.8, 1e-3);
    EXPECT_NEAR(read.times.back(), 2.3, 1e-3);

    // A source without video fails, and says so.
    const auto silent = dir.path() / "silent.m4a";
    ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i anullsrc=r=8000:cl=mono -t 0.5 '" + silent.string() + "'"));
    auto noVideo = MVRRepeatedAssetExportSession::initWithAsset(
        media::Asset::assetWithURL(foundation::URL::fileURLWithPath(silent.string())), media::AVAssetExportPresetPassthrough);
    noVideo->setOutputURL(foundation::URL::fileURLWithPath((dir.path() / "none.mp4").string()));
    bool called = false;
    noVideo->exportAsynchronouslyWithCompletionHandler([&] { called = true; });
    EXPECT_TRUE(called);
    EXPECT_EQ(noVideo->status(), MVRRepeatedAssetExportSession::Status::Failed);
    ASSERT_TRUE(noVideo->error());
    EXPECT_FALSE(noVideo->error()->isUserCancelled());
}
