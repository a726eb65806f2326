#include "MovaraKit/Media/MVRImageSequencePixelBufferSource.h"
#include "MovaraKit/Media/TranscodeOperation.h"

#include "Platform/Graphics/ColorSpace.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using media::Time;
using Strings = std::vector<std::string>;

struct RGB {
    int r = 0, g = 0, b = 0;
};

// A flat JPEG of one colour (or grey level, or CMYK inks), optionally with an orientation tag.
fs::path writeFlatJPEG(const testsupport::TempDir& dir, const std::string& name, std::vector<uint8_t> value,
                       std::optional<int> orientation = std::nullopt, int width = 16, int height = 12)
{
    fixtures::JPEGSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.components = int(value.size());
    recipe.pixel = [value](int, int) { return value; };
    if (orientation) {
        recipe.exif = fixtures::Exif {};
        recipe.exif->orientation = orientation;
    }
    const fs::path path = dir / name;
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    return path;
}

MVRImageSourcePtr sourceAt(const fs::path& path)
{
    auto source = MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(path.string()));
    EXPECT_TRUE(source) << path;
    return source;
}

// The X, R, G, B bytes of a 32ARGB buffer at (x, y).
RGB pixelAt(const media::PixelBuffer& buffer, size_t x, size_t y)
{
    const auto* p = static_cast<const uint8_t*>(buffer.baseAddress()) + y * buffer.bytesPerRow() + x * 4;
    return {p[1], p[2], p[3]};
}

void expectNear(RGB actual, RGB expected, int tolerance = 4)
{
    EXPECT_LE(std::abs(actual.r - expected.r), tolerance) << actual.r << " vs " << expected.r;
    EXPECT_LE(std::abs(actual.g - expected.g), tolerance) << actual.g << " vs " << expected.g;
    EXPECT_LE(std::abs(actual.b - expected.b), tolerance) << actual.b << " vs " << expected.b;
}

// Records what a destination is asked to do; eats every frame on the calling thread.
class RecordingDestination : public PixelBufferDestination {
public:
    Strings log;
    std::vector<media::SampleBufferPtr> samples;

    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>&, bool, foundation::ErrorPtr*) override
    {
        log.push_back("prepare");
        return true;
    }
    bool isReadyForMore() override { return true; }
    void startEating(std::function<void()> block) override { block(); }
    bool eatSampleBuffer(const media::SampleBufferPtr& sample, foundation::ErrorPtr*) override
    {
        log.push_back("eat");
        samples.push_back(sample);
        return true;
    }
    void finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) override
    {
        log.push_back("finish");
        handler(nullptr);
    }
    void cancel() override { log.push_back("cancel"); }
};

// A recording destination whose encoder takes frames of `format` as they are, and says so.
class PreferringDestination : public RecordingDestination {
public:
    explicit PreferringDestination(media::AssetWriterInput::NativeFrameFormat format) : m_format(format) {}
    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool allocate, foundation::ErrorPtr* error) override
    {
        info->size();
        info->setPreferredFrameFormat(m_format);
        return RecordingDestination::prepareWithInfo(info, allocate, error);
    }

private:
    media::AssetWriterInput::NativeFrameFormat m_format;
};

struct YCbCr {
    int y = 0, cb = 0, cr = 0;
};

// BT.709, video range, 8 bits.
YCbCr bt709(RGB c)
{
    const double y = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return {int(std::lround(16 + 219 * y / 255)), int(std::lround(128 + 224 * (c.b - y) / 1.8556 / 255)),
            int(std::lround(128 + 224 * (c.r - y) / 1.5748 / 255))};
}

// The Y', Cb and Cr samples at (x, y) of a three-plane buffer, in 8-bit terms.
YCbCr sampleAt(const media::PixelBuffer& buffer, size_t x, size_t y)
{
    const bool tenBit = buffer.pixelFormatType() == media::PixelFormatType_422YpCbCr10PlanarVideoRange;
    const size_t cy = tenBit ? y : y / 2;
    auto read = [&](size_t plane, size_t px, size_t py) {
        const auto* row = static_cast<const uint8_t*>(buffer.baseAddressOfPlane(plane)) + py * buffer.bytesPerRowOfPlane(plane);
        if (!tenBit)
            return int(row[px]);
        uint16_t v = 0;
        std::memcpy(&v, row + 2 * px, 2);
        return int(std::lround(v / 4.0));
    };
    return {read(0, x, y), read(1, x / 2, cy), read(2, x / 2, cy)};
}

void expectNear(YCbCr actual, YCbCr expected, int tolerance = 3)
{
    EXPECT_LE(std::abs(actual.y - expected.y), tolerance) << "Y' " << actual.y << " vs " << expected.y;
    EXPECT_LE(std::abs(actual.cb - expected.cb), tolerance) << "Cb " << actual.cb << " vs " << expected.cb;
    EXPECT_LE(std::abs(actual.cr - expected.cr), tolerance) << "Cr " << actual.cr << " vs " << expected.cr;
}


} // namespace

TEST(MVRImageSequencePixelBufferSource, FramesFollowTheImagesAtTheFrameDuration)
{
    testsupport::TempDir dir;
    const RGB colours[] = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}};
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 3; ++i) {
        const RGB& c = colours[i];
        sources.push_back(sourceAt(writeFlatJPEG(dir, std::to_string(i) + ".jpg", {uint8_t(c.r), uint8_t(c.g), uint8_t(c.b)})));
    }
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(20, 600));
    EXPECT_EQ(source->pixelBufferSourceInfo().get(), static_cast<PixelBufferSourceInfo*>(source.get()));
    EXPECT_EQ(source->timeRange(), media::TimeRange::make(Time::zero(), Time::make(60, 600)));
    EXPECT_EQ(source->size(), (graphics::Size {16, 12}));
    EXPECT_EQ(source->transform(), graphics::AffineTransform::identity());

    bool loaded = false;
    source->loadWithCompletionHandler([&](foundation::ErrorPtr error) {
        EXPECT_FALSE(error);
        loaded = true;
    });
    EXPECT_TRUE(loaded); // before returning

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        foundation::ErrorPtr error;
        auto sample = source->copyNextSampleBuffer(&error);
        ASSERT_TRUE(sample);
        EXPECT_FALSE(error);
        EXPECT_EQ(sample->presentationTimeStamp(), Time::make(20 * i, 600));
        const auto& buffer = sample->imageBuffer();
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->pixelFormatType(), media::PixelFormatType_32ARGB);
        EXPECT_EQ(buffer->width(), 16u);
        EXPECT_EQ(buffer->height(), 12u);
        expectNear(pixelAt(*buffer, 0, 0), colours[i]);
        expectNear(pixelAt(*buffer, 15, 11), colours[i]);
    }
    foundation::ErrorPtr error;
    EXPECT_FALSE(source->copyNextSampleBuffer(&error));
    EXPECT_FALSE(error); // the end, not a failure
    EXPECT_FALSE(source->copyNextSampleBuffer(&error));
}

TEST(MVRImageSequencePixelBufferSource, OrderIsKeptWhileDecodingAhead)
{
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    const int count = 12;
    for (int i = 0; i < count; ++i)
        sources.push_back(sourceAt(writeFlatJPEG(dir, std::to_string(i) + ".jpg", {uint8_t(i * 20)}, std::nullopt, 8, 8)));
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 30));
    for (int i = 0; i < count; ++i) {
        auto sample = source->copyNextSampleBuffer(nullptr);
        ASSERT_TRUE(sample) << i;
        EXPECT_EQ(sample->presentationTimeStamp(), Time::make(i, 30));
        expectNear(pixelAt(*sample->imageBuffer(), 4, 4), {i * 20, i * 20, i * 20});
    }
}

TEST(MVRImageSequencePixelBufferSource, FirstImagesOrientationBecomesARotation)
{
    testsupport::TempDir dir;
    struct Case {
        int orientation;
        graphics::AffineTransform expected;
    } cases[] = {
        {1, {1, 0, 0, 1, 0, 0}},
        {6, {0, 1, -1, 0, 0, 0}},
        {8, {0, -1, 1, 0, 0, 0}},
        {3, {-1, 0, 0, -1, 0, 0}},
        {2, {1, 0, 0, 1, 0, 0}}, // mirrored orientations are left as stored
        {5, {1, 0, 0, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        // Fresh names each time: frames decoded ahead may still be reading the last case's files.
        const std::string tag = std::to_string(c.orientation);
        auto first = sourceAt(writeFlatJPEG(dir, "o" + tag + ".jpg", {90, 90, 90}, c.orientation, 20, 10));
        auto second = sourceAt(writeFlatJPEG(dir, "plain" + tag + ".jpg", {90, 90, 90}, std::nullopt, 20, 10));
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources({first, second});
        const graphics::AffineTransform t = source->transform();
        for (auto [actual, expected] : {std::pair {t.a, c.expected.a}, {t.b, c.expected.b}, {t.c, c.expected.c},
                                        {t.d, c.expected.d}, {t.tx, c.expected.tx}, {t.ty, c.expected.ty}})
            EXPECT_NEAR(actual, expected, 1e-12);
        // The pixels are never turned.
        EXPECT_EQ(source->size(), (graphics::Size {20, 10}));
    }
}

TEST(MVRImageSequencePixelBufferSource, NonRGBImagesAreDrawnIntoGenericRGB)
{
    testsupport::TempDir dir;
    struct Case {
        std::string name;
        std::vector<uint8_t> value;
        RGB expected;
        int tolerance;
    } cases[] = {
        {"grey", {128}, {128, 128, 128}, 3},
        // Full cyan ink leaves little red and most of green and blue (the exact tone depends
        // on the conversion).
        {"CMYK", {255, 0, 0, 0}, {0, 160, 235}, 100},
    };
    const auto genericRGB = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources({sourceAt(writeFlatJPEG(dir, c.name + ".jpg", c.value))});
        source->setFrameDuration(Time::make(1, 24));
        auto sample = source->copyNextSampleBuffer(nullptr);
        ASSERT_TRUE(sample);
        const auto& buffer = *sample->imageBuffer();
        EXPECT_EQ(buffer.pixelFormatType(), media::PixelFormatType_32ARGB);
        const RGB px = pixelAt(buffer, 3, 3);
        expectNear(px, c.expected, c.tolerance);
        if (c.name == "CMYK") {
            EXPECT_LT(px.r, px.g);
            EXPECT_LT(px.r, px.b);
        }
        media::AttachmentMode mode {};
        auto profile = buffer.attachment(media::kCVImageBufferICCProfileKey, &mode);
        ASSERT_TRUE(profile);
        EXPECT_EQ(std::get<std::vector<uint8_t>>(*profile), genericRGB->iccData());
        EXPECT_EQ(mode, media::AttachmentMode::ShouldPropagate);
    }
}

TEST(MVRImageSequencePixelBufferSource, PNGWithAlphaAndTIFFAreDrawnToo)
{
    testsupport::TempDir dir;
    const fs::path png = dir / "rgba.png";
    // Opaque red beside transparent pixels: transparency draws as black.
    fixtures::writeFile(png, fixtures::makePNG8(4, 2, 6, [](int x, int) {
        return x < 2 ? std::vector<uint8_t> {255, 0, 0, 255} : std::vector<uint8_t> {0, 255, 0, 0};
    }));
    const fs::path tiff = dir / "rgb.tif";
    fixtures::TIFFSpec recipe;
    recipe.width = 3;
    recipe.height = 2;
    recipe.pixel = [](int, int) { return std::vector<uint16_t> {10, 100, 200}; };
    fixtures::writeTIFF(tiff, recipe);

    auto source = MVRImageSequencePixelBufferSource::initWithImageSources({sourceAt(png), sourceAt(tiff)});
    source->setFrameDuration(Time::make(1, 24));
    auto first = source->copyNextSampleBuffer(nullptr);
    ASSERT_TRUE(first);
    expectNear(pixelAt(*first->imageBuffer(), 0, 0), {255, 0, 0}, 1);
    expectNear(pixelAt(*first->imageBuffer(), 3, 1), {0, 0, 0}, 1);
    auto second = source->copyNextSampleBuffer(nullptr);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->imageBuffer()->width(), 3u); // each image at its own size
    expectNear(pixelAt(*second->imageBuffer(), 2, 1), {10, 100, 200}, 1);
}

TEST(MVRImageSequencePixelBufferSource, AnImageThatDoesNotDecodeEndsTheStreamWithAnErrorNamingIt)
{
    testsupport::TempDir dir;
    auto bytes = fixtures::makeJPEG({});
    bytes.resize(bytes.size() * 2 / 3);
    const fs::path broken = dir / "IMG_0002.jpg";
    fixtures::writeFile(broken, bytes);
    std::vector<MVRImageSourcePtr> sources = {sourceAt(writeFlatJPEG(dir, "IMG_0001.jpg", {50, 60, 70}, std::nullopt, 8, 8)),
                                              sourceAt(broken),
                                              sourceAt(writeFlatJPEG(dir, "IMG_0003.jpg", {50, 60, 70}, std::nullopt, 8, 8))};

    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 24));
    auto dst = std::make_shared<RecordingDestination>();
    auto op = TranscodeOperation::init(source, dst);
    op->start();

    ASSERT_TRUE(op->isFinished());
    const foundation::ErrorPtr error = op->error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), foundation::NSFileReadCorruptFileError);
    EXPECT_NE(error->localizedDescription().find("IMG_0002.jpg"), std::string::npos) << error->localizedDescription();
    EXPECT_EQ(error->stringForKey(foundation::NSFilePathErrorKey), broken.string());
    EXPECT_TRUE(error->underlyingError());
    // One frame made it; the output is abandoned rather than finished short.
    EXPECT_EQ(dst->log, (Strings {"prepare", "eat", "cancel"}));

    // The stream stays ended.
    foundation::ErrorPtr again;
    EXPECT_FALSE(source->copyNextSampleBuffer(&again));
    EXPECT_EQ(again, error);
}

TEST(MVRImageSequencePixelBufferSource, AFirstImageThatDoesNotDecodeFailsTheLoadNamingIt)
{
    // The first frame sizes the movie: without it the writer would be set up for frames of
    // no size and fail with a reason that says nothing of the photo.
    testsupport::TempDir dir;
    const fs::path forged = dir / "IMG_0001.gif";
    const std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255, ',', 0, 0,
                                      0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 2, 0x4C, 0x01, 0, ';'};
    fixtures::writeFile(forged, gif);
    std::vector<MVRImageSourcePtr> sources = {sourceAt(forged),
                                              sourceAt(writeFlatJPEG(dir, "IMG_0002.jpg", {50, 60, 70}, std::nullopt, 8, 8))};
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 24));
    auto dst = std::make_shared<RecordingDestination>();
    auto op = TranscodeOperation::init(source, dst);
    op->start();
    ASSERT_TRUE(op->isFinished());
    const foundation::ErrorPtr error = op->error();
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("IMG_0001.gif"), std::string::npos) << error->localizedDescription();
    // Nothing was set up for it.
    EXPECT_TRUE(dst->log.empty()) << dst->log.size();
}

TEST(MVRImageSequencePixelBufferSource, APhotoRemovedAfterItWasAddedIsSaidToBeGone)
{
    testsupport::TempDir dir;
    const fs::path gone = writeFlatJPEG(dir, "IMG_0002.jpg", {50, 60, 70}, std::nullopt, 8, 8);
    std::vector<MVRImageSourcePtr> sources = {sourceAt(writeFlatJPEG(dir, "IMG_0001.jpg", {50, 60, 70}, std::nullopt, 8, 8)),
                                              sourceAt(gone)};
    fs::remove(gone);

    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 24));
    auto op = TranscodeOperation::init(source, std::make_shared<RecordingDestination>());
    op->start();

    ASSERT_TRUE(op->isFinished());
    const foundation::ErrorPtr error = op->error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), foundation::NSFileReadNoSuchFileError);
    EXPECT_EQ(error->localizedDescription(), "The file “IMG_0002.jpg” couldn’t be opened because it is no longer there.");
    EXPECT_EQ(error->stringForKey(foundation::NSFilePathErrorKey), gone.string());
}

TEST(MVRImageSequencePixelBufferSource, NoImagesGiveAnEmptyStream)
{
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources({});
    source->setFrameDuration(Time::make(1, 24));
    EXPECT_EQ(source->size(), (graphics::Size {0, 0}));
    EXPECT_EQ(source->transform(), graphics::AffineTransform::identity());
    EXPECT_EQ(source->timeRange(), media::TimeRange::make(Time::zero(), Time::make(0, 24)));
    foundation::ErrorPtr error;
    EXPECT_FALSE(source->copyNextSampleBuffer(&error));
    EXPECT_FALSE(error);
}

TEST(MVRImageSequencePixelBufferSource, AScaleBelowOneDrawsSmallerFrames)
{
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 3; ++i)
        sources.push_back(sourceAt(writeFlatJPEG(dir, std::to_string(i) + ".jpg", {20, 120, 220}, std::nullopt, 64, 48)));
    struct Case {
        double scale;
        graphics::Size size;
    } cases[] = {{0.25, {16, 12}}, {0.5, {32, 24}}, {0.3, {19, 14}}, {0, {64, 48}}, {1, {64, 48}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scale);
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
        source->setScale(c.scale);
        source->setFrameDuration(Time::make(1, 24));
        EXPECT_EQ(source->size(), c.size);
        for (int i = 0; i < 3; ++i) {
            auto sample = source->copyNextSampleBuffer(nullptr);
            ASSERT_TRUE(sample);
            const auto& buffer = *sample->imageBuffer();
            EXPECT_EQ(graphics::Size(double(buffer.width()), double(buffer.height())), c.size);
            expectNear(pixelAt(buffer, buffer.width() / 2, buffer.height() / 2), {20, 120, 220}, 6);
        }
    }
}

TEST(MVRImageSequencePixelBufferSource, DroppingTheSourceMidStreamIsSafe)
{
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 8; ++i)
        sources.push_back(sourceAt(writeFlatJPEG(dir, std::to_string(i) + ".jpg", {uint8_t(i)}, std::nullopt, 8, 8)));
    media::SampleBufferPtr kept;
    {
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
        source->setFrameDuration(Time::make(1, 24));
        kept = source->copyNextSampleBuffer(nullptr);
    } // frames still being decoded finish on their own
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->imageBuffer()->width(), 8u);
}

TEST(MVRImageSequencePixelBufferSource, ARGBBufferOfAnImageHasItsSizeAndPixels)
{
    const auto space = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    std::vector<uint8_t> bytes = {10, 20, 30, 255, 40, 50, 60, 255}; // R, G, B, A
    auto image = graphics::Image::create(2, 1, 8, 32, 8, space, {graphics::AlphaInfo::last, graphics::ByteOrder::orderDefault}, bytes);
    ASSERT_TRUE(image);
    auto buffer = MVRCreate32ARGBPixelBufferWithCGImage(image);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->width(), 2u);
    EXPECT_EQ(buffer->height(), 1u);
    expectNear(pixelAt(*buffer, 0, 0), {10, 20, 30}, 0);
    expectNear(pixelAt(*buffer, 1, 0), {40, 50, 60}, 0);
    EXPECT_TRUE(buffer->attachment(media::kCVImageBufferICCProfileKey)); // the sRGB profile
    EXPECT_FALSE(MVRCreate32ARGBPixelBufferWithCGImage(nullptr));
}

TEST(MVRImageSequencePixelBufferSource, TransparentImagesAfterManyFramesDrawOnBlackNotOnAnOlderFrame)
{
    // Frames of the sequence's size reuse the memory of frames already taken; a picture with
    // transparency must still be drawn on black, whatever an earlier frame left there.
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 10; ++i)
        sources.push_back(sourceAt(writeFlatJPEG(dir, std::to_string(i) + ".jpg", {255, 255, 255}, std::nullopt, 4, 4)));
    const fs::path png = dir / "clear.png";
    fixtures::writeFile(png, fixtures::makePNG8(4, 4, 6, [](int x, int) {
        return x == 0 ? std::vector<uint8_t> {0, 0, 255, 255} : std::vector<uint8_t> {255, 255, 255, 0};
    }));
    sources.push_back(sourceAt(png));
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 30));
    for (int i = 0; i < 10; ++i) {
        auto sample = source->copyNextSampleBuffer(nullptr); // dropped at once: its memory goes back
        ASSERT_TRUE(sample) << i;
        expectNear(pixelAt(*sample->imageBuffer(), 3, 3), {255, 255, 255});
    }
    auto last = source->copyNextSampleBuffer(nullptr);
    ASSERT_TRUE(last);
    expectNear(pixelAt(*last->imageBuffer(), 0, 2), {0, 0, 255}, 1);
    for (size_t x = 1; x < 4; ++x)
        expectNear(pixelAt(*last->imageBuffer(), x, 2), {0, 0, 0}, 1);
}

// A photo whose header claims 12000 x 12000 pixels over the data of a small one costs about a
// frame of the movie, not the half gigabyte its header asks for.
TEST(MVRImageSequencePixelBufferSource, FramesDecodedAheadStayWithinTheMemoryBudget)
{
    // Each photo costs its decoded pixels and its frame, about 2.4 MB here; the budget holds
    // one and a half of them, so however many cores want to decode ahead, one frame is in
    // flight at a time, and the whole sequence still arrives in order.
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 10; ++i)
        sources.push_back(sourceAt(writeFlatJPEG(dir, "IMG_" + std::to_string(1000 + i) + ".jpg",
                                                 {uint8_t(20 * i), 90, 200}, std::nullopt, 560, 540)));
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 24));
    const size_t frameCost = size_t(560) * 540 * 4 * 2;
    source->setDecodeAheadBudget(frameCost * 3 / 2);
    auto destination = std::make_shared<RecordingDestination>();
    auto op = TranscodeOperation::init(source, destination);
    op->start();
    ASSERT_TRUE(op->isFinished());
    ASSERT_EQ(destination->samples.size(), sources.size());
    for (size_t i = 0; i < sources.size(); ++i)
        expectNear(pixelAt(*destination->samples[i]->imageBuffer(), 10, 10), {int(20 * i), 90, 200}, 6);
    EXPECT_GE(source->peakBytesInFlight(), frameCost);
    EXPECT_LE(source->peakBytesInFlight(), source->decodeAheadBudget());
}

TEST(MVRImageSequencePixelBufferSource, ADecodeThatCannotScaleCountsItsWholeImageAgainstTheBudget)
{
    // PNGs decode at full size before they are scaled down to the frame: what one costs is
    // its whole picture, not the frame's size. Counted as frames, eight of them at once
    // would have been decoded side by side, each at full size.
    testsupport::TempDir dir;
    std::vector<MVRImageSourcePtr> sources;
    for (int i = 0; i < 8; ++i) {
        const auto path = dir / ("shot" + std::to_string(i) + ".png");
        fixtures::writeFile(path, fixtures::makePNG8(600, 400, 2, [i](int, int) { return std::vector<uint8_t>{uint8_t(30 * i), 90, 200}; }));
        sources.push_back(sourceAt(path));
    }
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(sources);
    source->setFrameDuration(Time::make(1, 24));
    source->setScale(0.1);
    const size_t wholeImage = size_t(600) * 400 * 4;
    source->setDecodeAheadBudget(wholeImage * 3 / 2);
    auto destination = std::make_shared<RecordingDestination>();
    auto op = TranscodeOperation::init(source, destination);
    op->start();
    ASSERT_TRUE(op->isFinished());
    ASSERT_EQ(destination->samples.size(), sources.size());
    for (size_t i = 0; i < sources.size(); ++i)
        expectNear(pixelAt(*destination->samples[i]->imageBuffer(), 5, 5), {int(30 * i), 90, 200}, 2);
    EXPECT_GE(source->peakBytesInFlight(), wholeImage);
    EXPECT_LE(source->peakBytesInFlight(), source->decodeAheadBudget());
}

TEST(MVRImageSequencePixelBufferSource, AForgedHugeHeaderCostsAboutOneFrame)
{
    testsupport::TempDir dir;
    fixtures::JPEGSpec recipe;
    recipe.width = 160;
    recipe.height = 120;
    recipe.pixel = [](int, int) { return std::vector<uint8_t> {90, 90, 90}; };
    auto bytes = fixtures::makeJPEG(recipe);
    bool patched = false;
    for (size_t i = 0; i + 8 < bytes.size() && !patched; ++i) {
        if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
            // Start of frame: length (2), precision (1), height (2), width (2).
            bytes[i + 5] = bytes[i + 7] = 12000 >> 8;
            bytes[i + 6] = bytes[i + 8] = 12000 & 0xFF;
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    const fs::path forged = dir / "IMG_0002.jpg";
    fixtures::writeFile(forged, bytes);
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(
        {sourceAt(writeFlatJPEG(dir, "IMG_0001.jpg", {50, 60, 70}, std::nullopt, 160, 120)), sourceAt(forged)});
    source->setFrameDuration(Time::make(1, 24));
    auto op = TranscodeOperation::init(source, std::make_shared<RecordingDestination>());

    rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    op->start();
    rusage after {};
    ::getrusage(RUSAGE_SELF, &after);

    ASSERT_TRUE(op->isFinished());
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 200 * 1024) << "kilobytes";
}

TEST(MVRImageSequencePixelBufferSource, ATruncatedPhotoFailsNamingItAtAnyDecodeScale)
{
    testsupport::TempDir dir;
    // Noisy content, so that the cut falls well inside the picture's data.
    fixtures::JPEGSpec recipe;
    recipe.width = 128;
    recipe.height = 96;
    recipe.pixel = [](int x, int y) {
        const auto v = static_cast<uint8_t>((x * 37 + y * 91 + x * y * 13) & 0xFF);
        return std::vector<uint8_t> {v, uint8_t(255 - v), uint8_t(v / 2 + 60)};
    };
    const auto whole = fixtures::makeJPEG(recipe);
    // Cut short; or whole but claiming twice its height, so that its data (and end marker)
    // come before the picture is complete.
    auto cut = whole;
    cut.resize(cut.size() * 2 / 3);
    auto tall = whole;
    for (size_t i = 0; i + 8 < tall.size(); ++i) {
        if (tall[i] == 0xFF && tall[i + 1] == 0xC0) {
            tall[i + 5] = 0;
            tall[i + 6] = 192;
            break;
        }
    }
    ASSERT_NE(tall, whole);
    const fs::path broken = dir / "IMG_0002.jpg";
    const media::AssetWriterInput::NativeFrameFormat streamed {32, 24, media::PixelFormatType_420YpCbCr8PlanarVideoRange};
    struct Case {
        const char* name;
        const std::vector<uint8_t>* bytes;
        int firstSide; // the first photo's size sets the movie's: a larger one is decoded smaller
        double scale;
        std::optional<media::AssetWriterInput::NativeFrameFormat> native; // streamed into the encoder's frames
    } cases[] = {
        {"same size", &cut, 128, 0, std::nullopt},
        {"larger than the first frame", &cut, 32, 0, std::nullopt},
        {"scaled export", &cut, 128, 0.25, std::nullopt},
        {"scaled export, larger than the first frame", &cut, 64, 0.5, std::nullopt},
        {"data short of its header's size", &tall, 128, 0, std::nullopt},
        {"data short of its header's size, scaled", &tall, 32, 0, std::nullopt},
        {"streamed", &cut, 128, 0, streamed},
        {"streamed, DCT-scaled", &cut, 32, 0, streamed},
        // Frames of the tall photo's shape: it streams, the first photo is drawn.
        {"streamed, data short of its header's size", &tall, 32, 0,
         media::AssetWriterInput::NativeFrameFormat {32, 48, media::PixelFormatType_420YpCbCr8PlanarVideoRange}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::writeFile(broken, *c.bytes);
        auto first = writeFlatJPEG(dir, "IMG_0001.jpg", {50, 60, 70}, std::nullopt, c.firstSide, c.firstSide * 3 / 4);
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources({sourceAt(first), sourceAt(broken)});
        source->setFrameDuration(Time::make(1, 24));
        if (c.scale > 0)
            source->setScale(c.scale);
        auto dst = c.native ? std::make_shared<PreferringDestination>(*c.native) : std::make_shared<RecordingDestination>();
        auto op = TranscodeOperation::init(source, dst);
        op->start();

        ASSERT_TRUE(op->isFinished());
        const foundation::ErrorPtr error = op->error();
        ASSERT_TRUE(error);
        if (c.native && c.native->height * 4 == c.native->width * 3) {
            ASSERT_FALSE(dst->samples.empty());
            EXPECT_EQ(dst->samples[0]->imageBuffer()->pixelFormatType(), c.native->pixelFormat);
        }
        EXPECT_NE(error->localizedDescription().find("IMG_0002.jpg"), std::string::npos) << error->localizedDescription();
        EXPECT_EQ(error->stringForKey(foundation::NSFilePathErrorKey), broken.string());
        EXPECT_EQ(dst->log, (Strings {"prepare", "eat", "cancel"}));
    }
}


TEST(MVRImageSequencePixelBufferSource, JPEGPhotosStreamIntoTheFramesTheEncoderTakes)
{
    testsupport::TempDir dir;
    const RGB colour {200, 90, 40};
    const std::vector<uint8_t> value {200, 90, 40};
    const auto y420 = media::PixelFormatType_420YpCbCr8PlanarVideoRange;
    const auto y2aL = media::PixelFormatType_422YpCbCr10PlanarVideoRange;
    auto jpeg = writeFlatJPEG(dir, "photo.jpg", value, std::nullopt, 64, 48);
    // A wide-gamut profile changes nothing: RGB photos keep their values, as when drawn.
    fixtures::JPEGSpec tagged;
    tagged.width = 64;
    tagged.height = 48;
    tagged.pixel = [value](int, int) { return value; };
    tagged.icc = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceDisplayP3)->iccData();
    ASSERT_FALSE(tagged.icc.empty());
    const fs::path wide = dir / "wide.jpg";
    fixtures::writeFile(wide, fixtures::makeJPEG(tagged));
    const fs::path png = dir / "photo.png";
    fixtures::writeFile(png, fixtures::makePNG8(64, 48, 2, [value](int, int) { return value; }));
    auto square = writeFlatJPEG(dir, "square.jpg", value, std::nullopt, 48, 48);
    auto grey = writeFlatJPEG(dir, "grey.jpg", {120}, std::nullopt, 64, 48);

    struct Case {
        const char* name;
        fs::path photo;
        media::AssetWriterInput::NativeFrameFormat format;
        media::OSType expected; // the frames' format: the encoder's, or 32ARGB drawn as before
    } cases[] = {
        {"JPEG into 4:2:0, scaled", jpeg, {32, 24, y420}, y420},
        {"JPEG into 4:2:0, DCT-scaled and then scaled", jpeg, {20, 15, y420}, y420},
        {"JPEG into 4:2:2 10-bit", jpeg, {64, 48, y2aL}, y2aL},
        {"JPEG with a Display P3 profile", wide, {32, 24, y420}, y420},
        {"PNG is drawn", png, {32, 24, y420}, media::PixelFormatType_32ARGB},
        {"another shape is placed by the writer", square, {32, 24, y420}, media::PixelFormatType_32ARGB},
        {"grey JPEG is drawn", grey, {32, 24, y420}, media::PixelFormatType_32ARGB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = MVRImageSequencePixelBufferSource::initWithImageSources({sourceAt(c.photo), sourceAt(c.photo)});
        source->setFrameDuration(Time::make(1, 24));
        auto dst = std::make_shared<PreferringDestination>(c.format);
        auto op = TranscodeOperation::init(source, dst);
        op->start();
        ASSERT_TRUE(op->isFinished());
        ASSERT_FALSE(op->error()) << op->error()->localizedDescription();
        ASSERT_EQ(dst->samples.size(), 2u);
        for (const auto& sample : dst->samples) {
            const auto& buffer = *sample->imageBuffer();
            EXPECT_EQ(buffer.pixelFormatType(), c.expected);
            if (c.expected == media::PixelFormatType_32ARGB)
                continue;
            EXPECT_EQ(buffer.width(), c.format.width);
            EXPECT_EQ(buffer.height(), c.format.height);
            EXPECT_TRUE(buffer.hasColorSpace());
            for (auto [x, y] : {std::pair<size_t, size_t> {0, 0}, {c.format.width / 2, c.format.height / 2},
                                {c.format.width - 1, c.format.height - 1}})
                expectNear(sampleAt(buffer, x, y), bt709(colour));
        }
    }
}

TEST(MVRImageSequencePixelBufferSource, StreamedPhotosKeepTheirStoredOrientationAndLayout)
{
    testsupport::TempDir dir;
    // Red on the left, blue on the right, stored so; the tag turns the movie, not the pixels.
    fixtures::JPEGSpec recipe;
    recipe.width = 64;
    recipe.height = 48;
    recipe.pixel = [](int x, int) { return x < 32 ? std::vector<uint8_t> {220, 30, 30} : std::vector<uint8_t> {30, 30, 220}; };
    recipe.exif = fixtures::Exif {};
    recipe.exif->orientation = 6;
    const fs::path path = dir / "turned.jpg";
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources({sourceAt(path)});
    source->setFrameDuration(Time::make(1, 24));
    auto dst = std::make_shared<PreferringDestination>(
        media::AssetWriterInput::NativeFrameFormat {32, 24, media::PixelFormatType_420YpCbCr8PlanarVideoRange});
    auto op = TranscodeOperation::init(source, dst);
    op->start();
    ASSERT_TRUE(op->isFinished());
    ASSERT_FALSE(op->error());
    ASSERT_EQ(dst->samples.size(), 1u);
    const auto& buffer = *dst->samples[0]->imageBuffer();
    ASSERT_EQ(buffer.pixelFormatType(), media::PixelFormatType_420YpCbCr8PlanarVideoRange);
    expectNear(sampleAt(buffer, 4, 12), bt709({220, 30, 30}), 6);
    expectNear(sampleAt(buffer, 27, 12), bt709({30, 30, 220}), 6);
    EXPECT_EQ(source->transform(), graphics::AffineTransform::makeRotation(std::numbers::pi / 2));
}
