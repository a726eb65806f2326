#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/Composition.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>

using namespace media;
using mediatest::MovieSpec;

namespace {

foundation::Value outputSettings(OSType format)
{
    return foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(format)}});
}

AssetPtr openAsset(const std::filesystem::path& path)
{
    return Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
}

struct ReadResult {
    std::vector<Time> times;
    std::vector<mediatest::FrameSample> samples;
};

ReadResult readAll(AssetReaderOutput& output)
{
    ReadResult result;
    while (auto sample = output.copyNextSampleBuffer()) {
        result.times.push_back(sample->presentationTimeStamp());
        result.samples.push_back(mediatest::sampleFrame(*sample->imageBuffer()));
        if (result.times.size() > 1000)
            break;
    }
    return result;
}

// Luma of the left half of source frame `index` in limited range.
double expectedLuma(int index)
{
    return 16 + (40 + 20 * (index % 10)) * 219.0 / 255.0;
}

std::filesystem::path writeTenFrames(const testsupport::TempDir& dir, const std::string& name, const std::string& codec,
                                     const std::string& fileType = AVFileTypeQuickTimeMovie)
{
    MovieSpec recipe;
    recipe.fileType = fileType;
    recipe.settings = mediatest::settingsFor(codec);
    const auto path = dir / name;
    auto error = mediatest::writeMovie(path, recipe);
    EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
    return path;
}

} // namespace

TEST(AssetReader, ReadsBackEveryCodecWithItsTimesSizeAndBT709Colours)
{
    struct Case {
        std::string codec;
        std::string fileType;
        OSType codecType;
    };
    const Case cases[] = {
        {AVVideoCodecTypeH264, AVFileTypeQuickTimeMovie, VideoCodecType_H264},
        {AVVideoCodecTypeHEVC, AVFileTypeMPEG4, VideoCodecType_HEVC},
        {AVVideoCodecTypeAppleProRes422, AVFileTypeQuickTimeMovie, VideoCodecType_AppleProRes422},
        {AVVideoCodecTypeAppleProRes4444, AVFileTypeQuickTimeMovie, VideoCodecType_AppleProRes4444},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        const auto path = writeTenFrames(dir, c.codec + ".mov", c.codec, c.fileType);
        auto asset = openAsset(path);
        std::promise<void> loaded;
        asset->loadValuesAsynchronouslyForKeys({"tracks", "duration"}, [&] { loaded.set_value(); });
        ASSERT_EQ(loaded.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_EQ(asset->statusOfValueForKey("tracks"), KeyValueStatus::Loaded);
        auto tracks = asset->tracksWithMediaType(AVMediaTypeVideo);
        ASSERT_EQ(tracks.size(), 1u);
        const auto& track = tracks[0];
        EXPECT_EQ(track->naturalSize(), graphics::Size::make(64, 48));
        EXPECT_FLOAT_EQ(track->nominalFrameRate(), 10.f);
        EXPECT_EQ(asset->duration(), Time::make(1, 1));
        EXPECT_EQ(track->timeRange(), TimeRange::make(Time::zero(), Time::make(1, 1)));
        ASSERT_EQ(track->formatDescriptions().size(), 1u);
        EXPECT_EQ(track->formatDescriptions()[0]->codecType(), c.codecType);

        for (OSType format : {PixelFormatType_420YpCbCr8BiPlanarVideoRange, PixelFormatType_32BGRA}) {
            auto reader = AssetReader::assetReaderWithAsset(asset);
            ASSERT_TRUE(reader);
            auto output = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(track, outputSettings(format));
            reader->addOutput(output);
            ASSERT_TRUE(reader->startReading());
            const auto result = readAll(*output);
            EXPECT_EQ(reader->status(), AssetReader::Status::Completed);
            ASSERT_EQ(result.times.size(), 10u);
            for (int i = 0; i < 10; ++i) {
                EXPECT_EQ(result.times[i], Time::make(i, 10)) << i;
                if (format == PixelFormatType_32BGRA) {
                    // Pure red survives the round trip only if encoding and decoding agree on BT.709.
                    EXPECT_NEAR(result.samples[i].r, 255, 8);
                    EXPECT_NEAR(result.samples[i].g, 0, 8);
                    EXPECT_NEAR(result.samples[i].b, 0, 8);
                    EXPECT_NEAR(result.samples[i].leftLuma, 40 + 20 * i, 4);
                } else {
                    EXPECT_NEAR(result.samples[i].leftLuma, expectedLuma(i), 4);
                    EXPECT_NEAR(result.samples[i].r, 240, 6); // Cr of BT.709 red
                    EXPECT_NEAR(result.samples[i].b, 102, 6); // Cb of BT.709 red
                }
            }
        }
    }
}

TEST(AssetReader, TracksOfNonSquarePixelsTellTheirShownSize)
{
    testsupport::TempDir dir;
    const struct {
        const char* sar;
        graphics::Size shown;
    } cases[] = {
        {"1/1", {32, 24}},
        {"2/1", {64, 24}},  // pixels twice as wide as tall: the picture is shown twice as wide
        {"8/9", {28.444444444444443, 24}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sar);
        const auto path = dir.path() / (std::string("sar") + (c.sar[0] == '8' ? "89" : c.sar[0] == '2' ? "21" : "11") + ".mp4");
        const std::string command = "ffmpeg -loglevel error -y -f lavfi -i testsrc=s=32x24:r=10:d=0.3 -vf setsar=" + std::string(c.sar)
            + " -c:v libx264 -pix_fmt yuv420p '" + path.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        auto asset = openAsset(path);
        std::promise<void> loaded;
        asset->loadValuesAsynchronouslyForKeys({"tracks"}, [&] { loaded.set_value(); });
        ASSERT_EQ(loaded.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        auto tracks = asset->tracksWithMediaType(AVMediaTypeVideo);
        ASSERT_EQ(tracks.size(), 1u);
        EXPECT_EQ(tracks[0]->naturalSize(), graphics::Size::make(32, 24)); // the coded size
        ASSERT_EQ(tracks[0]->formatDescriptions().size(), 1u);
        const auto& description = *tracks[0]->formatDescriptions()[0];
        const graphics::Size shown = description.presentationDimensions(true, true);
        EXPECT_DOUBLE_EQ(shown.width, c.shown.width);
        EXPECT_DOUBLE_EQ(shown.height, c.shown.height);
        EXPECT_EQ(description.presentationDimensions(false, false), graphics::Size::make(32, 24));
    }
}

TEST(AssetReader, TimeRangeReadsOnlyTheFramesShownInIt)
{
    testsupport::TempDir dir;
    auto asset = openAsset(writeTenFrames(dir, "a.mov", AVVideoCodecTypeH264));
    auto reader = AssetReader::assetReaderWithAsset(asset);
    reader->setTimeRange(TimeRange::fromTimeToTime(Time::make(3, 10), Time::make(6, 10)));
    auto output = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
        asset->tracksWithMediaType(AVMediaTypeVideo)[0], outputSettings(PixelFormatType_420YpCbCr8BiPlanarVideoRange));
    reader->addOutput(output);
    ASSERT_TRUE(reader->startReading());
    const auto result = readAll(*output);
    ASSERT_EQ(result.times.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(result.times[i], Time::make(3 + i, 10));
        EXPECT_NEAR(result.samples[i].leftLuma, expectedLuma(3 + i), 4);
    }
}

TEST(AssetReader, CompositionOutputRetimesByRepeatingOrDroppingFrames)
{
    testsupport::TempDir dir;
    auto asset = openAsset(writeTenFrames(dir, "a.mov", AVVideoCodecTypeAppleProRes422));
    auto track = asset->tracksWithMediaType(AVMediaTypeVideo)[0];
    struct Case {
        Time frameDuration;
        int expectedFrames;
    };
    // 10 source frames over 1 s: at 25 frames/s frame k shows source floor(0.4k); at 5 frames/s
    // every other source frame is dropped.
    for (const Case& c : {Case{Time::make(1, 25), 25}, Case{Time::make(1, 5), 5}}) {
        SCOPED_TRACE(c.frameDuration.description());
        auto reader = AssetReader::assetReaderWithAsset(asset);
        auto output = AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
            {track}, outputSettings(PixelFormatType_420YpCbCr8BiPlanarVideoRange));
        output->setVideoComposition(
            VideoComposition::passThrough(*track, c.frameDuration, TimeRange::make(Time::zero(), asset->duration())));
        reader->addOutput(output);
        ASSERT_TRUE(reader->startReading());
        const auto result = readAll(*output);
        EXPECT_EQ(reader->status(), AssetReader::Status::Completed);
        ASSERT_EQ(static_cast<int>(result.times.size()), c.expectedFrames);
        for (int k = 0; k < c.expectedFrames; ++k) {
            const Time t = multiply(c.frameDuration, k);
            EXPECT_EQ(result.times[k], t);
            const int source = static_cast<int>(std::floor(t.seconds() * 10 + 1e-9));
            EXPECT_NEAR(result.samples[k].leftLuma, expectedLuma(source), 4) << k;
        }
    }
}

TEST(AssetReader, CompositionShowsBlackWhereNoSegmentOrInstructionCoversTheTime)
{
    testsupport::TempDir dir;
    auto asset = openAsset(writeTenFrames(dir, "a.mov", AVVideoCodecTypeAppleProRes422));
    auto source = asset->tracksWithMediaType(AVMediaTypeVideo)[0];
    // Source 0.2 ... 0.5 s shown from 0.5 s on, after an empty edit; the instruction stops at 0.7 s.
    auto composition = MutableComposition::composition();
    auto track = composition->addMutableTrack(AVMediaTypeVideo);
    ASSERT_TRUE(track->insertTimeRange(TimeRange::make(Time::make(2, 10), Time::make(3, 10)), source, Time::make(5, 10)));
    auto made = composition->asset();
    auto compositionTrack = made->tracksWithMediaType(AVMediaTypeVideo)[0];
    EXPECT_NEAR(made->duration().seconds(), 0.8, 1e-6);
    VideoComposition video = VideoComposition::passThrough(*compositionTrack, Time::make(1, 10), TimeRange::make(Time::zero(), Time::make(7, 10)));

    auto reader = AssetReader::assetReaderWithAsset(made);
    auto output = AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
        {compositionTrack}, outputSettings(PixelFormatType_420YpCbCr8BiPlanarVideoRange));
    output->setVideoComposition(video);
    reader->addOutput(output);
    ASSERT_TRUE(reader->startReading());
    const auto result = readAll(*output);
    EXPECT_EQ(reader->status(), AssetReader::Status::Completed);
    ASSERT_EQ(result.times.size(), 8u);
    const double black = 16;
    const double expected[] = {black, black, black, black, black, expectedLuma(2), expectedLuma(3), black};
    for (size_t k = 0; k < 8; ++k)
        EXPECT_NEAR(result.samples[k].leftLuma, expected[k], 4) << k;

    // A composition of a composition's track is refused with an error, not read wrongly.
    auto nested = MutableComposition::composition();
    ASSERT_TRUE(nested->addMutableTrack(AVMediaTypeVideo)->insertTimeRange(compositionTrack->timeRange(), compositionTrack, Time::zero()));
    auto nestedAsset = nested->asset();
    auto nestedReader = AssetReader::assetReaderWithAsset(nestedAsset);
    auto nestedOutput = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
        nestedAsset->tracksWithMediaType(AVMediaTypeVideo)[0], outputSettings(PixelFormatType_32BGRA));
    nestedReader->addOutput(nestedOutput);
    EXPECT_FALSE(nestedReader->startReading());
    ASSERT_TRUE(nestedReader->error());
    EXPECT_EQ(nestedReader->error()->code(), AVErrorInvalidSourceMedia);
}

TEST(AssetReader, CompositionRendersAtItsRenderSize)
{
    testsupport::TempDir dir;
    auto asset = openAsset(writeTenFrames(dir, "a.mov", AVVideoCodecTypeH264));
    auto track = asset->tracksWithMediaType(AVMediaTypeVideo)[0];
    auto reader = AssetReader::assetReaderWithAsset(asset);
    auto output = AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
        {track}, outputSettings(PixelFormatType_32BGRA));
    auto composition = VideoComposition::passThrough(*track, Time::make(1, 10), TimeRange::make(Time::zero(), asset->duration()));
    composition.renderSize = graphics::Size::make(32, 24);
    output->setVideoComposition(composition);
    reader->addOutput(output);
    ASSERT_TRUE(reader->startReading());
    auto sample = output->copyNextSampleBuffer();
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->imageBuffer()->width(), 32u);
    EXPECT_EQ(sample->imageBuffer()->height(), 24u);
}

TEST(AssetReader, InvalidCompositionFailsToStart)
{
    testsupport::TempDir dir;
    auto asset = openAsset(writeTenFrames(dir, "a.mov", AVVideoCodecTypeH264));
    auto track = asset->tracksWithMediaType(AVMediaTypeVideo)[0];
    auto reader = AssetReader::assetReaderWithAsset(asset);
    auto output = AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
        {track}, outputSettings(PixelFormatType_32BGRA));
    output->setVideoComposition(VideoComposition::passThrough(*track, Time::zero(), TimeRange::zero()));
    reader->addOutput(output);
    EXPECT_FALSE(reader->startReading());
    EXPECT_EQ(reader->status(), AssetReader::Status::Failed);
    ASSERT_TRUE(reader->error());
    EXPECT_EQ(reader->error()->code(), AVErrorInvalidVideoComposition);
    EXPECT_FALSE(output->copyNextSampleBuffer());
}

TEST(AssetReader, DamagedFrameMidMovieFailsInsteadOfEndingEarly)
{
    testsupport::TempDir dir;
    const auto path = writeTenFrames(dir, "p.mov", AVVideoCodecTypeAppleProRes422);
    // Overwrite the sixth frame's data (its header included) with garbage.
    std::string command = "ffprobe -v error -select_streams v -show_entries packet=pos -of csv=p=0 '" + path.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_TRUE(pipe);
    std::vector<long> positions;
    long pos;
    while (std::fscanf(pipe.get(), "%ld", &pos) == 1)
        positions.push_back(pos);
    ASSERT_EQ(positions.size(), 10u);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(positions[5]);
        const std::string garbage(64, '\xff');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    auto asset = openAsset(path);
    auto reader = AssetReader::assetReaderWithAsset(asset);
    auto output = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
        asset->tracksWithMediaType(AVMediaTypeVideo)[0], outputSettings(PixelFormatType_420YpCbCr8BiPlanarVideoRange));
    reader->addOutput(output);
    ASSERT_TRUE(reader->startReading());
    const auto result = readAll(*output);
    EXPECT_LT(result.times.size(), 10u);
    EXPECT_EQ(reader->status(), AssetReader::Status::Failed);
    ASSERT_TRUE(reader->error());
    EXPECT_EQ(reader->error()->domain(), AVFoundationErrorDomain);
    EXPECT_EQ(reader->error()->code(), AVErrorDecodeFailed);
}

TEST(Asset, SegmentsFollowTheEditListAndTheTrackRangeSkipsALeadingEmptyEdit)
{
    testsupport::TempDir dir;
    const auto path = dir / "offset.mov";
    // One second of video placed two seconds into the movie: an empty edit, then the media.
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 1 -output_ts_offset 2 "
                                "-c:v libx264 -preset ultrafast -bf 0 '" + path.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto asset = openAsset(path);
    auto tracks = asset->tracksWithMediaType(AVMediaTypeVideo);
    ASSERT_EQ(tracks.size(), 1u);
    const auto& segments = tracks[0]->segments();
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_TRUE(segments[0].isEmpty());
    EXPECT_EQ(segments[0].timeMapping.target, TimeRange::make(Time::zero(), Time::make(2, 1)));
    EXPECT_FALSE(segments[1].isEmpty());
    EXPECT_EQ(segments[1].timeMapping.target, TimeRange::make(Time::make(2, 1), Time::make(1, 1)));
    EXPECT_EQ(segments[1].timeMapping.source.start, Time::zero());
    EXPECT_EQ(tracks[0]->timeRange(), TimeRange::make(Time::make(2, 1), Time::make(1, 1)));
    EXPECT_EQ(asset->duration(), Time::make(3, 1));
}

TEST(Asset, UnreadableFilesFailToLoadWithAnError)
{
    testsupport::TempDir dir;
    const auto garbage = dir.write("garbage.mov", std::string(4096, 'x'));
    const auto audio = dir / "tone.m4a";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=duration=0.2 -c:a aac '" + audio.string() + "'").c_str()), 0);
    const auto missing = dir / "missing.mov";

    for (const auto& path : {garbage, missing}) {
        SCOPED_TRACE(path.string());
        auto asset = openAsset(path);
        EXPECT_TRUE(asset->tracks().empty());
        foundation::ErrorPtr error;
        EXPECT_EQ(asset->statusOfValueForKey("tracks", &error), KeyValueStatus::Failed);
        EXPECT_TRUE(error);
        foundation::ErrorPtr readerError;
        EXPECT_FALSE(AssetReader::assetReaderWithAsset(asset, &readerError));
        EXPECT_TRUE(readerError);
    }
    // A sound file loads; it simply has no video track.
    auto asset = openAsset(audio);
    EXPECT_EQ(asset->tracks().size(), 1u);
    EXPECT_TRUE(asset->tracksWithMediaType(AVMediaTypeVideo).empty());
}
