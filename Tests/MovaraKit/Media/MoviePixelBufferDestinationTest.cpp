#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <numbers>

using foundation::Value;
using Preset = MoviePixelBufferDestinationPreset;

namespace {

foundation::URL fileURL(const std::filesystem::path& path)
{
    return foundation::URL::fileURLWithPath(path.string());
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets the process-wide HEVC switch for one test and puts it back after.
class HEVCEncodingScope {
public:
    explicit HEVCEncodingScope(bool enabled) : m_previous(DeviceCapabilities::isHEVCEncodingEnabled())
    {
        DeviceCapabilities::setHEVCEncodingEnabled(enabled);
    }
    ~HEVCEncodingScope() { DeviceCapabilities::setHEVCEncodingEnabled(m_previous); }

private:
    bool m_previous;
};

Value bt709()
{
    return Value::dictionary({{media::AVVideoColorPrimariesKey, "ITU_R_709_2"},
                              {media::AVVideoTransferFunctionKey, "ITU_R_709_2"},
                              {media::AVVideoYCbCrMatrixKey, "ITU_R_709_2"}});
}

// Waits (bounded) for a finish handler and returns what it reported.
foundation::ErrorPtr finish(MoviePixelBufferDestination& destination)
{
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto reported = std::make_shared<foundation::ErrorPtr>();
    destination.finishWithCompletionHandler([calls, reported](foundation::ErrorPtr error) {
        *reported = error;
        calls->fetch_add(1);
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return calls->load() > 0; }, 60));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
    EXPECT_EQ(calls->load(), 1);
    return *reported;
}

media::SampleBufferPtr frameAt(double seconds)
{
    auto buffer = media::PixelBuffer::create(64, 48, media::PixelFormatType_32ARGB);
    media::SampleTimingInfo timing;
    timing.presentationTimeStamp = media::Time::makeWithSeconds(seconds, 600);
    return media::SampleBuffer::createForImageBuffer(buffer, timing);
}

} // namespace

TEST(MoviePixelBufferDestination, PresetSettingsWithoutCompressionTuning)
{
    const struct {
        Preset preset;
        std::string codec;
    } cases[] = {
        {Preset::proRes422, media::AVVideoCodecTypeAppleProRes422},
        {Preset::proRes4444, media::AVVideoCodecTypeAppleProRes4444},
        // An unknown raw value is kept and falls back to H.264 without the assistant.
        {static_cast<Preset>(5), media::AVVideoCodecTypeH264},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        const Value expected = Value::dictionary({{media::AVVideoCodecKey, c.codec},
                                                  {media::AVVideoScalingModeKey, media::AVVideoScalingModeResizeAspectFill},
                                                  {media::AVVideoColorPropertiesKey, bt709()},
                                                  {media::AVVideoWidthKey, 1920.0},
                                                  {media::AVVideoHeightKey, 1080.0}});
        const Value settings = MoviePixelBufferDestination::presetVideoSettings(c.preset, 1920, 1080);
        EXPECT_EQ(settings, expected);
        EXPECT_TRUE(settings[media::AVVideoWidthKey].isReal());
    }
}

TEST(MoviePixelBufferDestination, DeliveryPresetsTakeTheAssistantsSettingsAtTheSourceSize)
{
    for (Preset preset : {Preset::h264, Preset::hevc}) {
        const Value settings = MoviePixelBufferDestination::presetVideoSettings(preset, 1000, 750);
        const bool hevc = preset == Preset::hevc;
        EXPECT_EQ(settings[media::AVVideoCodecKey], Value(hevc ? media::AVVideoCodecTypeHEVC : media::AVVideoCodecTypeH264));
        EXPECT_EQ(settings[media::AVVideoWidthKey], Value(1000.0));
        EXPECT_EQ(settings[media::AVVideoHeightKey], Value(750.0));
        EXPECT_EQ(settings[media::AVVideoColorPropertiesKey], bt709());
        EXPECT_TRUE(settings[media::AVVideoCompressionPropertiesKey].isDictionary());
        // Final deliveries keep the encoder's thorough default.
        EXPECT_FALSE(settings.contains(media::EncoderSpeedKey));
        if (hevc && !DeviceCapabilities::hasHEVCHardwareEncoder()) {
            EXPECT_EQ(settings[media::AVVideoCompressionPropertiesKey][media::AVVideoProfileLevelKey],
                      Value(media::kVTProfileLevel_HEVC_Main10_AutoLevel));
        }
    }
}

TEST(MoviePixelBufferDestination, HighEfficiencyPresetTunesForSpeed)
{
    const struct {
        bool hevc;
        double width, height;
        std::string codec;
        double bitRate;
    } cases[] = {
        {true, 1920, 1080, media::AVVideoCodecTypeHEVC, 50000000},
        {false, 1920, 1080, media::AVVideoCodecTypeH264, 100000000},
        {false, 7680, 4320, media::AVVideoCodecTypeH264, 750000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitRate);
        HEVCEncodingScope scope(c.hevc);
        const Value settings = MoviePixelBufferDestination::presetVideoSettings(Preset::highEfficiency, c.width, c.height);
        EXPECT_EQ(settings[media::AVVideoCodecKey], Value(c.codec));
        const Value& compression = settings[media::AVVideoCompressionPropertiesKey];
        EXPECT_EQ(compression[media::AVVideoMaxKeyFrameIntervalKey], Value(4));
        EXPECT_EQ(compression[media::AVVideoAllowFrameReorderingKey], Value(false));
        EXPECT_NEAR(compression[media::AVVideoAverageBitRateKey].asDouble(), c.bitRate, 1);
        EXPECT_EQ(settings[media::EncoderSpeedKey], Value(media::EncoderSpeedFast));
        EXPECT_EQ(settings[media::AVVideoWidthKey], Value(c.width));
    }
}

TEST(MoviePixelBufferDestination, EveryPresetWritesAMovieThatReadsBack)
{
    testsupport::TempDir dir;
    const auto quarterTurn = graphics::AffineTransform::makeRotation(std::numbers::pi / 2);
    const struct {
        Preset preset;
        std::string fileType;
        std::string name;
        std::string codec;
        std::string brand;
        double firstTime;
        graphics::AffineTransform transform;
    } cases[] = {
        {Preset::h264, media::AVFileTypeMPEG4, "h264.mp4", "avc1", "mp42", 0, {}},
        {Preset::hevc, media::AVFileTypeAppleM4V, "hevc.m4v", "hvc1", "M4V ", 0, quarterTurn},
        {Preset::proRes422, media::AVFileTypeQuickTimeMovie, "prores.mov", "apcn", "qt  ", 0, {}},
        {Preset::proRes4444, media::AVFileTypeQuickTimeMovie, "prores4444.mov", "ap4h", "qt  ", 0, {}},
        // The first frame's time starts the movie, whatever it is.
        {Preset::highEfficiency, media::AVFileTypeQuickTimeMovie, "preview.mov", "avc1", "qt  ", 10, quarterTurn},
    };
    HEVCEncodingScope scope(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto destination = MoviePixelBufferDestination::init(fileURL(dir / c.name), c.fileType);
        ASSERT_TRUE(destination);
        destination->setPreset(c.preset);
        destination->setMetadata({media::MetadataItem{media::AVMetadataCommonKeyDescription,
                                                      media::AVMetadataKeySpaceCommon, Value("Created with Quintor")}});
        movietest::FrameSourceSpec recipe;
        recipe.firstTime = media::Time::make(static_cast<int64_t>(c.firstTime * 600), 600);
        recipe.transform = c.transform;
        ASSERT_EQ(movietest::transcode(movietest::makeFrameSource(recipe), destination), nullptr);

        const auto movie = movietest::readMovie(dir / c.name);
        ASSERT_EQ(movie.loadError, nullptr);
        EXPECT_EQ(movie.readError, nullptr);
        EXPECT_EQ(movie.codec, c.codec);
        EXPECT_EQ(movie.trackSize, (graphics::Size {64, 48}));
        ASSERT_EQ(movie.times.size(), 3u);
        for (size_t i = 0; i < movie.times.size(); ++i)
            EXPECT_NEAR(movie.times[i], 0.1 * i, 1e-6);
        EXPECT_NEAR(movie.transform.a, c.transform.a, 1e-4);
        EXPECT_NEAR(movie.transform.b, c.transform.b, 1e-4);
        EXPECT_NEAR(movie.transform.c, c.transform.c, 1e-4);
        EXPECT_NEAR(movie.transform.d, c.transform.d, 1e-4);
        EXPECT_EQ(movie.colourPrimaries, "ITU_R_709_2");
        EXPECT_EQ(movie.transferFunction, "ITU_R_709_2");
        EXPECT_EQ(movie.matrix, "ITU_R_709_2");

        const auto info = movietest::probe(dir / c.name);
        ASSERT_TRUE(info.is_object());
        EXPECT_EQ(info["format"]["tags"].value("major_brand", ""), c.brand);
        EXPECT_EQ(info["format"]["tags"].value("com.apple.quicktime.description", ""), "Created with Quintor");
        const auto& stream = info["streams"][0];
        EXPECT_EQ(stream.value("codec_tag_string", ""), c.codec);
        EXPECT_EQ(stream.value("color_primaries", ""), "bt709");
        EXPECT_EQ(stream.value("color_transfer", ""), "bt709");
        EXPECT_EQ(stream.value("color_space", ""), "bt709");
    }
}

TEST(MoviePixelBufferDestination, ExplicitSettingsReplaceThePreset)
{
    testsupport::TempDir dir;
    auto destination = MoviePixelBufferDestination::init(fileURL(dir / "small.mov"), media::AVFileTypeQuickTimeMovie);
    destination->setPreset(Preset::proRes4444);
    destination->setVideoSettings(Value::dictionary(
        {{media::AVVideoCodecKey, media::AVVideoCodecTypeH264}, {media::AVVideoWidthKey, 32}, {media::AVVideoHeightKey, 24}}));
    ASSERT_EQ(movietest::transcode(movietest::makeFrameSource({}), destination), nullptr);
    const auto movie = movietest::readMovie(dir / "small.mov");
    EXPECT_EQ(movie.codec, "avc1");
    EXPECT_EQ(movie.trackSize, (graphics::Size {32, 24}));
    EXPECT_EQ(movie.times.size(), 3u);
}

TEST(MoviePixelBufferDestination, PixelPathRendersIntoPooledBT709Buffers)
{
    testsupport::TempDir dir;
    auto destination = MoviePixelBufferDestination::init(fileURL(dir / "pixels.mov"), media::AVFileTypeQuickTimeMovie);
    movietest::FrameSourceSpec recipe;
    recipe.scribbles = true;
    auto source = movietest::makeFrameSource(recipe);
    ASSERT_EQ(movietest::transcode(source, destination), nullptr);
    EXPECT_EQ(movietest::readMovie(dir / "pixels.mov").times.size(), 3u);

    // A fresh destination prepared to hand out buffers.
    auto other = MoviePixelBufferDestination::init(fileURL(dir / "other.mov"), media::AVFileTypeQuickTimeMovie);
    ASSERT_TRUE(other->prepareWithInfo(movietest::makeFrameSource(recipe)->pixelBufferSourceInfo(), true, nullptr));
    auto buffer = other->createNextPixelBuffer();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->pixelFormatType(), media::PixelFormatType_32ARGB);
    EXPECT_EQ(buffer->width(), 64u);
    media::AttachmentMode mode = media::AttachmentMode::ShouldPropagate;
    auto primaries = buffer->attachment(media::kCVImageBufferColorPrimariesKey, &mode);
    ASSERT_TRUE(primaries);
    EXPECT_EQ(std::get<std::string>(*primaries), "ITU_R_709_2");
    EXPECT_EQ(mode, media::AttachmentMode::ShouldNotPropagate);
    EXPECT_TRUE(buffer->attachment(media::kCVImageBufferYCbCrMatrixKey));
    other->cancel();

    // Without shouldAllocate there is no pool to draw from.
    auto plain = MoviePixelBufferDestination::init(fileURL(dir / "plain.mov"), media::AVFileTypeQuickTimeMovie);
    ASSERT_TRUE(plain->prepareWithInfo(movietest::makeFrameSource(recipe)->pixelBufferSourceInfo(), false, nullptr));
    EXPECT_EQ(plain->createNextPixelBuffer(), nullptr);
    plain->cancel();
}

TEST(MoviePixelBufferDestination, AFailedOrCancelledMovieLeavesTheExistingFileAlone)
{
    const struct {
        const char* name;
        std::function<void(MoviePixelBufferDestination&)> feed;
        bool cancelled;
    } cases[] = {
        {"cancelled after a frame",
         [](MoviePixelBufferDestination& d) {
             EXPECT_TRUE(d.eatSampleBuffer(frameAt(0), nullptr));
             d.cancel();
             // The cancel is queued on the writing queue, where a real job also asks to finish,
             // so it lands first; finishing from this thread must wait for it the same way.
             d.videoQueue()->sync([] {});
         },
         true},
        {"frame times going backwards",
         [](MoviePixelBufferDestination& d) {
             EXPECT_TRUE(d.eatSampleBuffer(frameAt(0), nullptr));
             EXPECT_TRUE(d.eatSampleBuffer(frameAt(0.2), nullptr));
             foundation::ErrorPtr error;
             EXPECT_FALSE(d.eatSampleBuffer(frameAt(0.1), &error));
             EXPECT_NE(error, nullptr);
         },
         false},
        {"no frame at all", [](MoviePixelBufferDestination&) {}, false},
        {"a frame without a valid time",
         [](MoviePixelBufferDestination& d) {
             media::SampleTimingInfo timing;
             auto sample = media::SampleBuffer::createForImageBuffer(
                 media::PixelBuffer::create(64, 48, media::PixelFormatType_32ARGB), timing);
             foundation::ErrorPtr error;
             EXPECT_FALSE(d.eatSampleBuffer(sample, &error));
             EXPECT_NE(error, nullptr);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const auto path = dir.write("movie.mov", "the user's earlier movie");
        auto destination = MoviePixelBufferDestination::init(fileURL(path), media::AVFileTypeQuickTimeMovie);
        auto source = movietest::makeFrameSource({});
        ASSERT_TRUE(destination->prepareWithInfo(source->pixelBufferSourceInfo(), false, nullptr));
        c.feed(*destination);
        const auto error = finish(*destination);
        ASSERT_NE(error, nullptr) << "a movie that was not written must not be reported as written";
        EXPECT_EQ(error->isUserCancelled(), c.cancelled);
        EXPECT_EQ(readFile(path), "the user's earlier movie");
        EXPECT_EQ(movietest::listDirectory(dir.path()), std::vector<std::string> {"movie.mov"});
    }

    // A successful write does replace it.
    testsupport::TempDir dir;
    const auto path = dir.write("movie.mov", "the user's earlier movie");
    auto destination = MoviePixelBufferDestination::init(fileURL(path), media::AVFileTypeQuickTimeMovie);
    ASSERT_EQ(movietest::transcode(movietest::makeFrameSource({}), destination), nullptr);
    EXPECT_EQ(movietest::readMovie(path).times.size(), 3u);
    EXPECT_EQ(movietest::listDirectory(dir.path()), std::vector<std::string> {"movie.mov"});
}

TEST(MoviePixelBufferDestination, PreparationErrors)
{
    testsupport::TempDir dir;
    const struct {
        const char* name;
        std::string fileType;
        std::filesystem::path path;
        std::optional<Value> settings;
        Preset preset;
        int width;
        std::string domain;
        long code;
    } cases[] = {
        {"ProRes in MPEG-4", media::AVFileTypeMPEG4, dir / "a.mp4", std::nullopt, Preset::proRes422, 64,
         MoviePixelBufferDestinationErrorDomain, MoviePixelBufferDestinationFailedToAddAssetWriterInput},
        {"unknown codec in explicit settings", media::AVFileTypeQuickTimeMovie, dir / "b.mov",
         Value::dictionary({{media::AVVideoCodecKey, "nope"}, {media::AVVideoWidthKey, 8}, {media::AVVideoHeightKey, 8}}),
         Preset::proRes422, 64, media::AVFoundationErrorDomain, media::AVErrorUnknown},
        {"settings that are not a dictionary", media::AVFileTypeQuickTimeMovie, dir / "c.mov", Value("h264"),
         Preset::proRes422, 64, media::AVFoundationErrorDomain, media::AVErrorUnknown},
        {"frames of no size", media::AVFileTypeQuickTimeMovie, dir / "d.mov", std::nullopt, Preset::h264, 0,
         media::AVFoundationErrorDomain, media::AVErrorUnknown},
        {"a folder that does not exist", media::AVFileTypeQuickTimeMovie, dir / "missing" / "e.mov", std::nullopt,
         Preset::proRes422, 64, media::AVFoundationErrorDomain, media::AVErrorUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto destination = MoviePixelBufferDestination::init(fileURL(c.path), c.fileType);
        ASSERT_TRUE(destination);
        destination->setPreset(c.preset);
        destination->setVideoSettings(c.settings);
        movietest::FrameSourceSpec recipe;
        recipe.width = c.width;
        recipe.height = c.width;
        foundation::ErrorPtr error;
        EXPECT_FALSE(destination->prepareWithInfo(movietest::makeFrameSource(recipe)->pixelBufferSourceInfo(), false, &error));
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
    }
    EXPECT_EQ(movietest::listDirectory(dir.path()), std::vector<std::string> {});
}

TEST(MoviePixelBufferDestination, OnlyMovieFileTypesAndFileURLs)
{
    testsupport::TempDir dir;
    EXPECT_TRUE(MoviePixelBufferDestination::init(fileURL(dir / "a.mov"), media::AVFileTypeQuickTimeMovie));
    EXPECT_EQ(MoviePixelBufferDestination::init(fileURL(dir / "a.gif"), "com.compuserve.gif"), nullptr);
    EXPECT_EQ(MoviePixelBufferDestination::init(*foundation::URL::URLWithString("https://example.com/a.mov"),
                                                media::AVFileTypeQuickTimeMovie),
              nullptr);

    auto destination = MoviePixelBufferDestination::init(fileURL(dir / "a.mov"), media::AVFileTypeQuickTimeMovie);
    EXPECT_EQ(destination->preset(), Preset::proRes422);
    EXPECT_EQ(destination->videoQueue()->label(), "com.movara.MovaraKit.MoviePixelBufferDestination.videoQueue");
    EXPECT_EQ(MoviePixelBufferDestinationPresetFromRawValue(4), Preset::highEfficiency);
    EXPECT_EQ(MoviePixelBufferDestinationPresetFromRawValue(5), std::nullopt);
    EXPECT_EQ(MoviePixelBufferDestinationPresetFromRawValue(-1), std::nullopt);
}
