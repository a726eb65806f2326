#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MVRImageSequenceImporter.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

using foundation::Date;

namespace {

// A small JPEG whose capture date (its modification time, having no EXIF) is `seconds` after
// a fixed moment.
MVRImageSourcePtr makePhoto(const testsupport::TempDir& dir, int index, double seconds)
{
    const size_t width = 48, height = 32;
    std::vector<uint8_t> pixels;
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            pixels.insert(pixels.end(), {uint8_t(x * 5), uint8_t(y * 7), uint8_t(index * 60), 255});
    auto image = graphics::Image::create(width, height, 8, 32, width * 4,
                                         graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                         {graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault},
                                         std::move(pixels));
    const auto path = dir / ("photo" + std::to_string(index) + ".jpg");
    auto destination = images::ImageDestination::createWithPath(path.string(), images::kUTTypeJPEG, 1);
    destination->addImage(image);
    EXPECT_TRUE(destination->finalize());
    // One whole-second moment for every photo of the process, so intervals are exact.
    static const auto base = std::chrono::time_point_cast<std::chrono::seconds>(
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
    std::filesystem::last_write_time(
        path, base + std::chrono::duration_cast<std::filesystem::file_time_type::duration>(std::chrono::duration<double>(seconds)));
    return MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(path.string()));
}

std::vector<MVRImageSourcePtr> makePhotos(const testsupport::TempDir& dir, int count, double interval)
{
    std::vector<MVRImageSourcePtr> photos;
    for (int i = 0; i < count; ++i)
        photos.push_back(makePhoto(dir, i, i * interval));
    return photos;
}

struct Delivery {
    int calls = 0;
    bool onMainThread = true;
    std::optional<foundation::URL> url;
    foundation::ErrorPtr error;
};

// Imports and runs the main loop (bounded) until the result arrives, then a little longer to
// catch a second delivery.
Delivery importAndWait(MVRImageSequenceImporter& importer, const foundation::URL& output)
{
    auto delivery = std::make_shared<Delivery>();
    importer.importAsynchronouslyWithOutputURL(output, [delivery](std::optional<foundation::URL> url, foundation::ErrorPtr error) {
        ++delivery->calls;
        delivery->onMainThread = delivery->onMainThread && dispatch::RunLoop::isMainThread();
        delivery->url = url;
        delivery->error = error;
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return delivery->calls > 0; }, 60));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
    return *delivery;
}

void expectException(const std::function<void()>& call, const std::string& name, const std::string& reason)
{
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << reason;
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.name(), name);
        EXPECT_EQ(e.reason(), reason);
    }
}

} // namespace

TEST(MVRImageSequenceImporter, EstimatedFrameDurationFromCaptureDates)
{
    const Date t = Date::dateWithTimeIntervalSince1970(1600000000);
    auto after = [&](double s) { return std::optional<Date>(t.dateByAddingTimeInterval(s)); };
    const media::Time fallback = media::Time::make(1, 24);
    const struct {
        const char* name;
        std::vector<std::optional<Date>> dates;
        media::Time expected;
    } cases[] = {
        {"half a second apart", {after(0), after(0.5), after(1.0)}, media::Time::make(300, 600)},
        {"three seconds apart", {after(0), after(3), after(6)}, fallback},
        {"just under two seconds", {after(0), after(1.99)}, media::Time::make(1194, 600)},
        {"exactly two seconds", {after(0), after(2)}, fallback},
        {"1/300 s apart", {after(0), after(1.0 / 300), after(2.0 / 300)}, fallback},
        {"a single date", {after(0)}, fallback},
        {"no dates", {}, fallback},
        {"only missing dates", {std::nullopt, std::nullopt, std::nullopt}, fallback},
        {"a missing date breaks the chain", {after(0), std::nullopt, after(1), after(2)}, media::Time::make(600, 600)},
        {"dates going backwards", {after(2), after(1), after(0)}, fallback},
        {"uneven intervals average", {after(0), after(0.1), after(0.4)}, media::Time::make(120, 600)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto duration = MVRImageSequenceImporter::estimatedFrameDurationFromDates(c.dates);
        EXPECT_EQ(duration, c.expected) << duration.description();
        if (c.expected != fallback) {
            EXPECT_EQ(duration.timescale, 600);
        }
    }
}

TEST(MVRImageSequenceImporter, TurnsPhotosIntoAMovieDeliveredOnceOnTheMainQueue)
{
    testsupport::TempDir dir;
    auto photos = makePhotos(dir, 3, 0.5);
    auto importer = MVRImageSequenceImporter::initWithImageSources(photos, 1.0);
    EXPECT_TRUE(importer->useHighEfficiencyFormat());
    EXPECT_EQ(importer->videoCodec(), std::nullopt);
    EXPECT_EQ(importer->frameDuration(), media::Time::make(300, 600));
    EXPECT_EQ(importer->progress()->totalUnitCount(), 1);

    const auto output = foundation::URL::fileURLWithPath((dir / "preview.mov").string());
    const auto delivery = importAndWait(*importer, output);
    EXPECT_EQ(delivery.calls, 1);
    EXPECT_TRUE(delivery.onMainThread);
    EXPECT_EQ(delivery.error, nullptr);
    EXPECT_EQ(delivery.url, output);
    EXPECT_TRUE(importer->isImporting());
    EXPECT_TRUE(importer->isFinished());
    EXPECT_EQ(importer->operation(), nullptr);
    EXPECT_FALSE(importer->completionHandler());
    EXPECT_DOUBLE_EQ(importer->progress()->fractionCompleted(), 1.0);

    const auto movie = movietest::readMovie(dir / "preview.mov");
    ASSERT_EQ(movie.loadError, nullptr);
    EXPECT_EQ(movie.trackSize, (graphics::Size {48, 32}));
    ASSERT_EQ(movie.times.size(), 3u);
    EXPECT_NEAR(movie.times[2], 1.0, 1e-6);
    EXPECT_EQ(movie.codec, DeviceCapabilities::isHEVCEncodingEnabled() ? "hvc1" : "avc1");
    const auto info = movietest::probe(dir / "preview.mov");
    EXPECT_EQ(info["format"]["tags"].value("major_brand", ""), "qt  ");
}

TEST(MVRImageSequenceImporter, CodecChoosesTheWritersPreset)
{
    testsupport::TempDir dir;
    auto photos = makePhotos(dir, 2, 1);
    const std::string highEfficiencyCodec = DeviceCapabilities::isHEVCEncodingEnabled() ? "hvc1" : "avc1";
    const struct {
        std::optional<std::string> codec;
        bool useHighEfficiencyFormat;
        std::string written;
    } cases[] = {
        {"avc1", true, "avc1"},
        {"hvc1", true, "hvc1"},
        {"apcn", true, "apcn"},
        {"ap4h", false, "ap4h"},
        {std::nullopt, false, "ap4h"},
        {"jpeg", false, "ap4h"},
        {std::nullopt, true, highEfficiencyCodec},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec.value_or("none") + (c.useHighEfficiencyFormat ? " high efficiency" : ""));
        auto importer = MVRImageSequenceImporter::initWithImageSources(photos, 1.0, c.codec, c.useHighEfficiencyFormat);
        const auto path = dir / ("movie" + std::to_string(n++) + ".mov");
        const auto delivery = importAndWait(*importer, foundation::URL::fileURLWithPath(path.string()));
        ASSERT_EQ(delivery.error, nullptr) << delivery.error->localizedDescription();
        EXPECT_EQ(movietest::readMovie(path).codec, c.written);
    }
    // A codec given as a literal is a codec, not a Boolean.
    EXPECT_EQ(MVRImageSequenceImporter::initWithImageSources(photos, 1.0, "apcn")->videoCodec(), "apcn");
    EXPECT_TRUE(MVRImageSequenceImporter::initWithImageSources(photos, 1.0, "apcn")->useHighEfficiencyFormat());
    EXPECT_FALSE(MVRImageSequenceImporter::initWithImageSources(photos, 1.0, false)->useHighEfficiencyFormat());
}

TEST(MVRImageSequenceImporter, MisuseRaisesWithExactReasons)
{
    testsupport::TempDir dir;
    const auto output = foundation::URL::fileURLWithPath((dir / "a.mov").string());
    auto handler = [](std::optional<foundation::URL>, foundation::ErrorPtr) {};

    auto importer = MVRImageSequenceImporter::initWithImageSources(makePhotos(dir, 2, 1), 1.0);
    expectException([&] { importer->importAsynchronouslyWithOutputURL(std::nullopt, handler); },
                    foundation::NSInvalidArgumentException, "outputURL must not be nil");
    expectException([&] { importer->importAsynchronouslyWithOutputURL(output, nullptr); },
                    foundation::NSInvalidArgumentException, "completionHandler must not be nil");
    EXPECT_FALSE(importer->isImporting());

    const auto delivery = importAndWait(*importer, output);
    EXPECT_EQ(delivery.error, nullptr);
    const std::string me = importer->description();
    EXPECT_EQ(me.rfind("<MVRImageSequenceImporter: 0x", 0), 0u) << me;
    expectException([&] { importer->importAsynchronouslyWithOutputURL(output, handler); },
                    foundation::NSInternalInconsistencyException, me + " is already importing");
    expectException([&] { importer->finishWithError(nullptr); }, foundation::NSInternalInconsistencyException,
                    me + " is already finished");

    // An importer finished (with no one to tell) before it imported.
    auto other = MVRImageSequenceImporter::init();
    other->finishWithError(nullptr);
    expectException([&] { other->importAsynchronouslyWithOutputURL(output, handler); },
                    foundation::NSInternalInconsistencyException, other->description() + " has already finished");
}

TEST(MVRImageSequenceImporter, FailuresReachTheHandlerOnceAndKeepTheOldMovie)
{
    testsupport::TempDir dir;
    auto photos = makePhotos(dir, 3, 0.5);
    const auto existing = dir.write("old.mov", "the earlier preview");
    const struct {
        const char* name;
        std::vector<MVRImageSourcePtr> photos;
        std::optional<foundation::URL> output;
        bool cancel;
    } cases[] = {
        {"no images", {}, foundation::URL::fileURLWithPath(existing.string()), false},
        {"cancelled through the progress", photos, foundation::URL::fileURLWithPath(existing.string()), true},
        {"not a file URL", photos, foundation::URL::URLWithString("https://example.com/a.mov"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto importer = MVRImageSequenceImporter::initWithImageSources(c.photos, 1.0);
        if (c.cancel)
            importer->progress()->cancel();
        const auto delivery = importAndWait(*importer, *c.output);
        EXPECT_EQ(delivery.calls, 1);
        EXPECT_TRUE(delivery.onMainThread);
        EXPECT_EQ(delivery.url, std::nullopt);
        ASSERT_NE(delivery.error, nullptr);
        EXPECT_EQ(delivery.error->isUserCancelled(), c.cancel);
        std::ifstream in(existing, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the earlier preview");
    }
}
