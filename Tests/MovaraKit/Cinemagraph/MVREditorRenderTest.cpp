// The composition editor's loops read back, played and exported: a 4-second movie at 10 fps
// whose frame N is a flat grey of luma 16 + 5 N, so every pixel tells which source frames were
// blended and how strongly.
#include "MovaraKit/Cinemagraph/MVREditor.h"

#include <gtest/gtest.h>

#include <cmath>

#include "MovaraKit/Cinemagraph/MVRExporter.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Media/Player.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/PlayerItem.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/FilterFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

// The grey (0-255, full range RGB) that source frame `n` decodes to.
double greyOf(double n)
{
    return 5 * n * 255 / 219;
}

struct Frame {
    double time;
    int grey; // green of the centre pixel
};

// Every frame an asset reads back as, through `composition` when given.
std::vector<Frame> readFrames(const media::AssetPtr& asset, const std::optional<media::VideoComposition>& composition,
                              foundation::ErrorPtr* error)
{
    auto reader = media::AssetReader::assetReaderWithAsset(asset, error);
    if (!reader)
        return {};
    const auto settings = foundation::Value::dictionary(
        {{media::kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(media::PixelFormatType_32BGRA)}});
    media::AssetReaderOutputPtr output;
    if (composition) {
        auto c = media::AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
            asset->tracksWithMediaType(media::AVMediaTypeVideo), settings);
        c->setVideoComposition(*composition);
        output = c;
    } else {
        output = media::AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
            asset->tracksWithMediaType(media::AVMediaTypeVideo).front(), settings);
    }
    reader->addOutput(output);
    EXPECT_TRUE(reader->startReading());
    std::vector<Frame> frames;
    while (auto sample = output->copyNextSampleBuffer()) {
        auto buffer = sample->imageBuffer();
        media::PixelBufferLock lock(*buffer, media::PixelBufferLockReadOnly);
        const auto* p = static_cast<const uint8_t*>(buffer->baseAddress()) + (buffer->height() / 2) * buffer->bytesPerRow()
            + (buffer->width() / 2) * 4;
        frames.push_back({sample->presentationTimeStamp().seconds(), p[1]});
    }
    *error = reader->error();
    return frames;
}

class MVREditorRenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto path = dir.path() / "ramp.mp4";
        ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i \"color=c=black:s=32x24:r=10:d=4,"
                                   "geq=lum='16+N*5':cb=128:cr=128\" -c:v libx264 -pix_fmt yuv420p -g 5 -bf 0 '"
                                   + path.string() + "'"));
        source = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
        editor = MVREditor::init();
        editor->setSource(source);
        // The whole movie; the last second fades into the first.
        editor->setTimeRange(media::TimeRange::make(media::Time::zero(), media::Time::make(4, 1)));
        editor->setCrossFadePercent(0.5);
    }

    testsupport::TempDir dir;
    media::AssetPtr source;
    std::shared_ptr<MVREditor> editor;
};

// What the cross-fade loop shows at composition time t (in seconds): the tail (source 1 s
// onwards) on top, fading out over the last second onto the head (source 0 s onwards).
double expectedCrossFade(double t)
{
    const double top = greyOf((1 + t) * 10);
    if (t < 2)
        return top;
    const double opacity = 1 - (t - 2);
    return opacity * top + (1 - opacity) * greyOf((t - 2) * 10);
}

} // namespace

TEST_F(MVREditorRenderTest, CrossFadeBlendsTheTracksAlongTheRamp)
{
    auto composition = editor->composition();
    auto video = editor->videoComposition();
    ASSERT_TRUE(composition);
    ASSERT_TRUE(video);
    foundation::ErrorPtr error;
    const auto frames = readFrames(composition->asset(), video, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_EQ(frames.size(), 30u); // 3 s at the source's 10 fps
    // Before the ramp, its start, middle and end (the last frame).
    for (int index : {0, 10, 20, 25, 29}) {
        SCOPED_TRACE(index);
        EXPECT_NEAR(frames[index].time, index / 10.0, 1e-6);
        EXPECT_NEAR(frames[index].grey, expectedCrossFade(index / 10.0), 4);
    }
    // The loop closes: the last frame's successor (the first again) continues the head.
    EXPECT_NEAR(frames.front().grey, greyOf(10), 4);
}

TEST_F(MVREditorRenderTest, PlainCompositionsReadThroughTheirSegments)
{
    // Reverse loop: one track, the range from 1 s to 3 s, played at double speed with a hold.
    editor->setLoopMode(0);
    editor->setTimeRange(media::TimeRange::make(media::Time::make(1, 1), media::Time::make(2, 1)));
    editor->setSpeed(2);
    auto composition = editor->composition();
    ASSERT_TRUE(composition);
    EXPECT_FALSE(editor->videoComposition());
    foundation::ErrorPtr error;
    const auto frames = readFrames(composition->asset(), std::nullopt, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    // One second long, a frame per 1/10 s of the composition; each shows the source 2 x t later.
    ASSERT_EQ(frames.size(), 10u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_NEAR(frames[i].grey, greyOf(10 + 2 * i), 4) << i;

    // The snapshot keeps what it was made from.
    auto asset = composition->asset();
    editor->setSpeed(1);
    EXPECT_NEAR(asset->duration().seconds(), 1.0, 1e-3);
}

TEST_F(MVREditorRenderTest, CrossFadeExportsThroughTheExporter)
{
    auto composition = editor->composition();
    auto graph = MVRFilterGraph::init();
    // A white mask: the video shows everywhere.
    auto cinemagraph = MVRCinemagraph::initWithAsset(composition->asset(), editor->videoComposition(),
                                                     filtertest::solid(32, 24, {255, 255, 255, 255}),
                                                     filtertest::solid(32, 24, {0, 0, 255, 255}), *graph, 1,
                                                     graphics::AffineTransform::identity());
    const auto output = dir.path() / "loop.mp4";
    auto exporter = MVRExporter::initWithCinemagraph(cinemagraph, MVRExportSettings::settingsWithType(MVRRenderTypeH264, 1.0, 1),
                                                     foundation::URL::fileURLWithPath(output.string()));
    bool done = false;
    foundation::ErrorPtr error;
    exporter->exportAsynchronouslyWithCompletionHandler([&](std::optional<foundation::URL>, foundation::ErrorPtr e) {
        error = e;
        done = true;
    });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 60));
    ASSERT_FALSE(error) << error->localizedDescription();

    auto probe = movietest::probe(output);
    ASSERT_FALSE(probe.is_null());
    EXPECT_EQ(probe["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(probe["streams"][0]["width"], 32);
    EXPECT_EQ(probe["streams"][0]["height"], 24);
    const auto frames = readFrames(media::Asset::assetWithURL(foundation::URL::fileURLWithPath(output.string())), std::nullopt, &error);
    ASSERT_FALSE(error);
    ASSERT_EQ(frames.size(), 30u);
    for (int index : {0, 10, 20, 25, 29})
        EXPECT_NEAR(frames[index].grey, expectedCrossFade(index / 10.0), 6) << index;
}

TEST_F(MVREditorRenderTest, CrossFadeOfNonSquarePixelsRendersInTheShownProportions)
{
    // Stored 16 x 24, pixels twice as wide as tall: shown 32 x 24, left half white.
    const auto path = dir.path() / "wide.mp4";
    ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i \"color=c=black:s=16x24:r=10:d=2,"
                               "geq=lum='if(lt(X,8),235,16)':cb=128:cr=128,setsar=2/1\" -c:v libx264 -pix_fmt yuv420p '"
                               + path.string() + "'"));
    editor->setSource(media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string())));
    editor->setTimeRange(media::TimeRange::make(media::Time::zero(), media::Time::make(2, 1)));
    auto composition = editor->composition();
    ASSERT_TRUE(composition);
    ASSERT_TRUE(editor->videoComposition());
    EXPECT_EQ(editor->videoComposition()->renderSize, (graphics::Size{32, 24}));

    auto asset = composition->asset();
    auto reader = media::AssetReader::assetReaderWithAsset(asset);
    ASSERT_TRUE(reader);
    auto output = media::AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
        asset->tracksWithMediaType(media::AVMediaTypeVideo),
        foundation::Value::dictionary({{media::kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(media::PixelFormatType_32BGRA)}}));
    output->setVideoComposition(*editor->videoComposition());
    reader->addOutput(output);
    ASSERT_TRUE(reader->startReading());
    auto sample = output->copyNextSampleBuffer();
    ASSERT_TRUE(sample);
    auto buffer = sample->imageBuffer();
    ASSERT_EQ(buffer->width(), 32u);
    media::PixelBufferLock lock(*buffer, media::PixelBufferLockReadOnly);
    const auto* row = static_cast<const uint8_t*>(buffer->baseAddress()) + 12 * buffer->bytesPerRow();
    EXPECT_GT(row[12 * 4 + 1], 200); // still the white half
    EXPECT_LT(row[20 * 4 + 1], 40);
}

TEST_F(MVREditorRenderTest, PlayerItemsPreviewTheRangeAndTheLoop)
{
    editor->setTimeRange(media::TimeRange::make(media::Time::make(1, 1), media::Time::make(2, 1)));
    dispatch::Clock::setVirtual(true);
    struct RealClock {
        ~RealClock()
        {
            while (dispatch::RunLoop::main().runOnce(0)) { }
            dispatch::Clock::setVirtual(false);
        }
    } restore;
    auto advance = [](double seconds) {
        while (dispatch::RunLoop::main().runOnce(0)) { }
        dispatch::Clock::advance(seconds + 1e-9);
        while (dispatch::RunLoop::main().runOnce(0)) { }
    };

    // The source plays the chosen range only, forwards from its start and back again.
    auto sourceItem = editor->sourcePlayerItem();
    ASSERT_TRUE(sourceItem);
    EXPECT_EQ(sourceItem->reversePlaybackEndTime(), media::Time::make(1, 1));
    EXPECT_EQ(sourceItem->forwardPlaybackEndTime(), media::Time::make(3, 1));
    auto player = media::Player::playerWithPlayerItem(sourceItem);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return sourceItem->status() != media::PlayerItemStatus::unknown; }, 10));
    EXPECT_EQ(player->currentTime(), media::Time::make(1, 1));
    int ends = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        media::AVPlayerItemDidPlayToEndTimeNotification, sourceItem.get(), nullptr, [&](const foundation::Notification&) { ++ends; });
    player->play();
    advance(5);
    EXPECT_EQ(player->currentTime(), media::Time::make(3, 1));
    EXPECT_EQ(ends, 1);
    player->setRate(-1);
    advance(5);
    EXPECT_EQ(player->currentTime(), media::Time::make(1, 1));
    EXPECT_EQ(ends, 2);

    // The loop's item shows the blended frames of the composition.
    auto loopItem = editor->compositionPlayerItem();
    ASSERT_TRUE(loopItem);
    ASSERT_TRUE(loopItem->videoComposition());
    auto loopPlayer = media::Player::playerWithPlayerItem(loopItem);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return loopItem->status() != media::PlayerItemStatus::unknown; }, 10));
    ASSERT_EQ(loopItem->status(), media::PlayerItemStatus::readyToPlay);
    EXPECT_NEAR(loopItem->duration().seconds(), 1.5, 1e-3); // 2 s less a 0.5 s fade
    foundation::ErrorPtr error;
    // 1.25 s: the tail (source 1.5 s onwards) half faded onto the head (source 1 s onwards).
    auto image = loopItem->copyImageAtTime(media::Time::make(125, 100), nullptr, &error);
    ASSERT_TRUE(image) << error->localizedDescription();
    const auto pixel = image->pixelAt(16, 12);
    EXPECT_NEAR(pixel.g, 0.5 * greyOf(27) + 0.5 * greyOf(12), 4);
}
