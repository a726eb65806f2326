#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using namespace images;

namespace {

// 8 x 4, straight alpha, a gradient with one half-transparent column.
graphics::ImagePtr sampleImage(bool withAlpha)
{
    std::vector<uint8_t> px;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            px.insert(px.end(), {uint8_t(x * 30), uint8_t(y * 60), 90, uint8_t(withAlpha && x == 3 ? 128 : 255)});
    return graphics::Image::create(8, 4, 8, 32, 32, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   {withAlpha ? graphics::AlphaInfo::last : graphics::AlphaInfo::noneSkipLast,
                                    graphics::ByteOrder::orderDefault},
                                   std::move(px));
}

} // namespace

TEST(ImageDestination, RoundTripsPixelsOrientationAndResolution)
{
    testsupport::TempDir dir;
    struct Case {
        std::string type;
        bool alpha;
        int tolerance; // JPEG is lossy
    } cases[] = {{kUTTypePNG, true, 0}, {kUTTypeTIFF, true, 0}, {kUTTypeJPEG, false, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const auto path = dir / ("out." + UTType::typeWithIdentifier(c.type)->preferredFilenameExtension());
        auto dst = ImageDestination::createWithPath(path.string(), c.type, 1);
        ASSERT_TRUE(dst);
        DestinationProperties props;
        props.orientation = 6;
        props.dpiWidth = 300;
        props.dpiHeight = 300;
        props.lossyCompressionQuality = 1.0;
        auto image = sampleImage(c.alpha);
        dst->addImage(image, props);
        foundation::ErrorPtr error;
        ASSERT_TRUE(dst->finalize(&error)) << error->localizedDescription();

        auto src = ImageSource::createWithPath(path.string());
        ASSERT_TRUE(src);
        EXPECT_EQ(src->type(), c.type);
        auto read = src->propertiesAtIndex(0);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->pixelWidth, 8);
        EXPECT_EQ(read->pixelHeight, 4);
        EXPECT_EQ(read->orientation, 6);
        ASSERT_TRUE(read->dpiWidth);
        EXPECT_NEAR(*read->dpiWidth, 300, 0.5);
        auto decoded = src->createImageAtIndex(0);
        ASSERT_TRUE(decoded);
        for (size_t x : {0u, 3u, 7u}) {
            const auto want = image->pixelAt(x, 2), got = decoded->pixelAt(x, 2);
            EXPECT_NEAR(got.r, want.r, c.tolerance) << x;
            EXPECT_NEAR(got.g, want.g, c.tolerance) << x;
            EXPECT_NEAR(got.b, want.b, c.tolerance) << x;
            EXPECT_EQ(got.a, want.a) << x;
        }
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_NE(st.st_mode & 0044, 0u); // readable by others, like any saved image
    }
}

TEST(ImageDestination, LowerJPEGQualityMakesSmallerFiles)
{
    std::vector<uint8_t> low, high;
    for (auto [q, out] : {std::pair{0.2, &low}, std::pair{0.95, &high}}) {
        auto dst = ImageDestination::createWithData(out, kUTTypeJPEG, 1);
        DestinationProperties props;
        props.lossyCompressionQuality = q;
        std::vector<uint8_t> px;
        for (int i = 0; i < 64 * 64; ++i)
            px.insert(px.end(), {uint8_t(i * 7), uint8_t(i * 13), uint8_t(i), 255});
        dst->addImage(graphics::Image::create(64, 64, 8, 32, 256, graphics::ColorSpace::createDeviceRGB(),
                                              {graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault}, px),
                      props);
        ASSERT_TRUE(dst->finalize());
    }
    EXPECT_LT(low.size(), high.size());
}

TEST(ImageDestination, FailuresLeaveTheExistingFileAlone)
{
    testsupport::TempDir dir;
    const auto path = dir.write("keep.png", "precious");
    struct Case {
        const char* what;
        size_t count;
        int images;
        long code;
    } cases[] = {
        {"no image added", 1, 0, ImageDestinationNoImages},
        {"more images than declared", 1, 2, ImageDestinationTooManyImages},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto dst = ImageDestination::createWithPath(path.string(), kUTTypeTIFF, c.count);
        for (int i = 0; i < c.images; ++i)
            dst->addImage(sampleImage(false));
        foundation::ErrorPtr error;
        EXPECT_FALSE(dst->finalize(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(fixtures::readFile(path), (std::vector<uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    }
    auto gone = ImageDestination::createWithPath((dir / "no-such-dir" / "x.png").string(), kUTTypePNG, 1);
    gone->addImage(sampleImage(false));
    foundation::ErrorPtr error;
    EXPECT_FALSE(gone->finalize(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ImageDestinationWriteFailed);
    EXPECT_FALSE(gone->finalize()); // once only
}

TEST(ImageDestination, RefusesUnknownTypesAndExtraImagesForSingleImageTypes)
{
    std::vector<uint8_t> out;
    EXPECT_FALSE(ImageDestination::createWithData(&out, "com.example.unknown", 1));
    EXPECT_FALSE(ImageDestination::createWithData(&out, kUTTypeJPEG, 2));
    EXPECT_FALSE(ImageDestination::createWithData(&out, kUTTypePNG, 0));
    EXPECT_TRUE(ImageDestination::createWithData(&out, kUTTypeTIFF, 3));
}

TEST(ImageDestination, WritersRegisteredLaterAreUsed)
{
    struct Fake final : ImageWriter {
        bool supportsMultipleImages() const override { return true; }
        bool addImage(const graphics::ImagePtr&, const DestinationProperties& p, foundation::ErrorPtr*) override
        {
            m_frames.push_back(static_cast<uint8_t>(p.extra.count("DelayTime") ? p.extra.at("DelayTime") * 10 : 0));
            return true;
        }
        bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr*) override
        {
            out = m_frames;
            return true;
        }
        std::vector<uint8_t> m_frames;
    };
    ImageDestination::registerWriter("com.example.frames", [] { return std::make_unique<Fake>(); });
    std::vector<uint8_t> out;
    auto dst = ImageDestination::createWithData(&out, "com.example.frames", 2);
    ASSERT_TRUE(dst);
    DestinationProperties p;
    p.extra["DelayTime"] = 0.5;
    dst->addImage(sampleImage(false), p);
    dst->addImage(sampleImage(false));
    ASSERT_TRUE(dst->finalize());
    EXPECT_EQ(out, (std::vector<uint8_t>{5, 0}));
}
