#include "MovaraKit/Media/Asset+Movara.h"
#include "MovaraKit/Media/Color+Movara.h"
#include "MovaraKit/Media/Image+Movara.h"
#include "MovaraKit/Media/MVRDiff.h"
#include "MovaraKit/Media/MVRTimecodeFormatter.h"
#include "MovaraKit/Media/MediaHelpers.h"
#include "MovaraKit/Media/MetadataItem+Movara.h"
#include "MovaraKit/Media/With.h"

#include "Platform/Foundation/Bundle.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/FilterContext.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace {

using Strings = std::vector<std::string>;

// 200 x 100: left half red, right half blue.
graphics::ImagePtr redBlueImage()
{
    std::vector<uint8_t> rgba(200 * 100 * 4);
    for (size_t y = 0; y < 100; ++y)
        for (size_t x = 0; x < 200; ++x) {
            uint8_t* p = &rgba[(y * 200 + x) * 4];
            p[0] = x < 100 ? 255 : 0;
            p[2] = x < 100 ? 0 : 255;
            p[3] = 255;
        }
    return graphics::Image::create(200, 100, 8, 32, 800, graphics::ColorSpace::createDeviceRGB(),
                                   {graphics::AlphaInfo::noneSkipLast, {}}, rgba);
}

constexpr graphics::Image::RGBA8 kRed {255, 0, 0, 255};
constexpr graphics::Image::RGBA8 kBlue {0, 0, 255, 255};

// Makes a main bundle with the given info for the test and puts the old one back after.
class MainBundleScope {
public:
    explicit MainBundleScope(foundation::Value info) : m_previous(foundation::Bundle::main())
    {
        foundation::Bundle::setMain(foundation::Bundle::registerBundle("com.test.helpers", m_dir.path().string(), info));
    }
    ~MainBundleScope() { foundation::Bundle::setMain(m_previous); }

private:
    testsupport::TempDir m_dir;
    std::shared_ptr<foundation::Bundle> m_previous;
};

} // namespace

TEST(MediaHelpers, VideoCodecCodesMapToIdentifiersAndBack)
{
    const std::pair<long, std::string> known[] = {{1, "avc1"}, {2, "hvc1"}, {3, "apcn"}, {4, "ap4h"}};
    for (const auto& [code, identifier] : known) {
        EXPECT_EQ(MVRStringFromVideoCodec(code), identifier);
        EXPECT_EQ(MVRVideoCodecFromString(identifier), code);
    }
    for (long code : {0L, 5L, -1L, 99L})
        EXPECT_FALSE(MVRStringFromVideoCodec(code)) << code;
    EXPECT_EQ(MVRVideoCodecFromString(std::nullopt), 5);
    EXPECT_EQ(MVRVideoCodecFromString(std::string("jpeg")), 5);
    EXPECT_EQ(MVRVideoCodecFromString(std::string("AVC1")), 5); // identifiers are case-sensitive
}

TEST(MediaHelpers, AppNameFallsBackFromDisplayNameToNameToStillara)
{
    using foundation::Value;
    struct Case {
        Value info;
        std::string expected;
    } cases[] = {
        {Value::dictionary({{"CFBundleDisplayName", "Quintor Pro"}, {"CFBundleName", "Quintor"}}), "Quintor Pro"},
        {Value::dictionary({{"CFBundleName", "Quintor"}}), "Quintor"},
        {Value::dictionary({{"CFBundleDisplayName", 7}, {"CFBundleName", "Quintor"}}), "Quintor"},
        {Value::dictionary(), "Stillara"},
    };
    for (const auto& c : cases) {
        MainBundleScope scope(c.info);
        EXPECT_EQ(MVRLocalizedAppName(), c.expected);
        const media::MetadataItem item = mvr_commonMetadataItem();
        EXPECT_EQ(item.key, media::AVMetadataCommonKeyDescription);
        EXPECT_EQ(item.keySpace, media::AVMetadataKeySpaceCommon);
        EXPECT_EQ(item.value.asString(), "Created with " + c.expected);
    }
}

TEST(MediaHelpers, ColoursOnThe255ScaleAndTheOverlayPalette)
{
    const auto opaque = mvr_RGB_colorWithR(255, 0, 51).rgba();
    EXPECT_DOUBLE_EQ(opaque.red, 1.0);
    EXPECT_DOUBLE_EQ(opaque.blue, 0.2);
    EXPECT_DOUBLE_EQ(opaque.alpha, 1.0);
    EXPECT_DOUBLE_EQ(mvr_RGB_colorWithR(0, 0, 0, 255).alpha(), 1.0); // alpha is on the 0..255 scale too
    EXPECT_NEAR(mvr_RGB_colorWithR(0, 0, 0, 51).alpha(), 0.2, 1e-12);

    const auto& palette = mvr_standardOverlayColorsPalette();
    ASSERT_EQ(palette.size(), 5u);
    EXPECT_EQ(&palette, &mvr_standardOverlayColorsPalette());
    const int expected[5][3] = {{219, 207, 255}, {232, 223, 81}, {208, 2, 27}, {126, 211, 33}, {74, 144, 226}};
    for (int i = 0; i < 5; ++i) {
        const auto c = palette[i].rgba();
        EXPECT_NEAR(c.red * 255, expected[i][0], 1e-9) << i;
        EXPECT_NEAR(c.green * 255, expected[i][1], 1e-9) << i;
        EXPECT_NEAR(c.blue * 255, expected[i][2], 1e-9) << i;
    }

    const auto dark = mvr_darkenedForOverlay(palette[0].withAlpha(0.3)).rgba();
    EXPECT_NEAR(dark.red * 255, 18, 0.5);
    EXPECT_NEAR(dark.green * 255, 1, 0.5);
    EXPECT_NEAR(dark.blue * 255, 68, 0.5);
    EXPECT_DOUBLE_EQ(dark.alpha, 1.0);
}

TEST(MediaHelpers, NormalisationIsLinearWithoutClamping)
{
    struct Case {
        float value, min, max, normalized;
    } cases[] = {{5, 0, 10, 0.5f}, {-5, 0, 10, -0.5f}, {30, 10, 20, 2.0f}, {0.25f, 0, 1, 0.25f}, {15, 20, 10, 0.5f}};
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(normalizedValueInRange(c.value, c.min, c.max), c.normalized);
        EXPECT_FLOAT_EQ(valueFromNormalizedValueInRange(c.normalized, c.min, c.max), c.value);
    }
}

TEST(MVRTimecodeFormatter, FormatsMinutesSecondsAndFrames)
{
    using media::Time;
    struct Case {
        Time time;
        float frameRate;
        std::string expected;
    } cases[] = {
        {Time::makeWithSeconds(75.5, 600), 30, "01:15:15"},
        {Time::make(3600, 1), 30, "60:00:00"}, // minutes are not wrapped into hours
        {Time::make(59, 1), 24, "00:59:00"},
        {Time::make(1, 2), 0, "00:00:00"},     // a fresh formatter has frame rate 0
        {Time::makeWithSeconds(-75.5, 600), 30, "-01:15:15"},
        {Time::invalid(), 30, "invalid"},
        {Time::indefinite(), 30, "indefinite"},
        {Time::negativeInfinity(), 30, "-infinity"},
        {Time::positiveInfinity(), 30, "+infinity"},
        {Time::make(1, 2), -30, "00:00:00"}, // a nonsensical rate gives no frames, not garbage
    };
    MVRTimecodeFormatter formatter;
    EXPECT_EQ(formatter.frameRate(), 0.0f);
    for (const auto& c : cases) {
        formatter.setFrameRate(c.frameRate);
        EXPECT_EQ(formatter.stringForObjectValue(c.time), c.expected) << c.time.description();
    }
    EXPECT_FALSE(formatter.stringForObjectValue(std::any()));
    EXPECT_FALSE(formatter.stringForObjectValue(std::any(75.5)));
}

TEST(MVRDiff, InsertionsAndDeletionsBetweenTwoLists)
{
    using Opt = std::optional<Strings>;
    struct Case {
        const char* name;
        Opt newItems, oldItems;
        std::map<std::string, Strings> expected;
    } cases[] = {
        {"both none", std::nullopt, std::nullopt, {}},
        {"changes", Strings{"a", "b", "c"}, Strings{"b", "d"}, {{"insertions", {"a", "c"}}, {"deletions", {"d"}}}},
        {"new empty", Strings{}, Strings{"b", "d"}, {{"deletions", {"b", "d"}}}},
        {"new none", std::nullopt, Strings{"b"}, {{"deletions", {"b"}}}},
        {"same items", Strings{"a"}, Strings{"a"}, {{"insertions", {}}, {"deletions", {}}}},
        {"old none", Strings{"a"}, std::nullopt, {{"insertions", {"a"}}}},
        {"both empty", Strings{}, Strings{}, {{"deletions", {}}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MVRDiff::changesBetweenNewItems(c.newItems, c.oldItems), c.expected) << c.name;
}

TEST(With, ConfiguresAndReturnsTheValueAndSkipsNone)
{
    EXPECT_EQ(with(std::string("a"), [](std::string& s) { s += "b"; }), "ab");

    int calls = 0;
    auto none = with(std::optional<int>(), [&](int&) { ++calls; });
    EXPECT_FALSE(none);
    auto some = with(std::optional<int>(2), [&](int& v) { v *= 10; ++calls; });
    EXPECT_EQ(some, 20);
    EXPECT_EQ(calls, 1);

    auto object = std::make_shared<std::vector<int>>();
    auto same = with(object, [](const std::shared_ptr<std::vector<int>>& v) { v->push_back(1); });
    EXPECT_EQ(same, object);
    EXPECT_EQ(object->size(), 1u);
    EXPECT_FALSE(with(std::shared_ptr<int>(), [&](const std::shared_ptr<int>&) { ++calls; }));
    EXPECT_EQ(calls, 1);

    EXPECT_THROW(with(1, [](int&) { throw std::runtime_error("no"); }), std::runtime_error);
}

TEST(MediaHelpers, ImageByApplyingTransform)
{
    // 200 x 100: left half red, right half blue.
    std::vector<uint8_t> rgba(200 * 100 * 4);
    for (size_t y = 0; y < 100; ++y)
        for (size_t x = 0; x < 200; ++x) {
            uint8_t* p = &rgba[(y * 200 + x) * 4];
            p[0] = x < 100 ? 255 : 0;
            p[2] = x < 100 ? 0 : 255;
            p[3] = 255;
        }
    auto image = graphics::Image::create(200, 100, 8, 32, 800, graphics::ColorSpace::createDeviceRGB(),
                                         {graphics::AlphaInfo::noneSkipLast, {}}, rgba);
    ASSERT_TRUE(image);

    EXPECT_EQ(MVRImageByApplyingTransform(image, graphics::AffineTransform::identity()), image);

    auto turned = MVRImageByApplyingTransform(image, graphics::AffineTransform::makeRotation(M_PI / 2));
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->width(), 100u);
    EXPECT_EQ(turned->height(), 200u);
    // A quarter turn anticlockwise brings the left (red) half to the bottom.
    EXPECT_EQ(turned->pixelAt(50, 150), (graphics::Image::RGBA8{255, 0, 0, 255}));
    EXPECT_EQ(turned->pixelAt(50, 50), (graphics::Image::RGBA8{0, 0, 255, 255}));

    // An oblique turn gets a canvas holding the whole turned image.
    auto oblique = MVRImageByApplyingTransform(image, graphics::AffineTransform::makeRotation(M_PI / 4));
    ASSERT_TRUE(oblique);
    EXPECT_EQ(oblique->width(), size_t(std::round(300 / std::sqrt(2.0))));
    EXPECT_EQ(oblique->height(), size_t(std::round(300 / std::sqrt(2.0))));

    EXPECT_FALSE(MVRImageByApplyingTransform(image, graphics::AffineTransform::makeScale(0, 0)));
    EXPECT_FALSE(MVRImageByApplyingTransform(nullptr, graphics::AffineTransform::makeScale(2, 2)));
}

TEST(MediaHelpers, RotationAndCropCutTheTurnedImage)
{
    auto image = graphics::FilterImage::imageWithCGImage(redBlueImage());
    ASSERT_TRUE(image);
    auto render = [](const graphics::FilterImagePtr& turned, const graphics::Rect& crop) {
        return graphics::FilterContext::create()->createCGImage(turned, crop);
    };

    // A quarter turn about (100, 50) puts the image at x 50...150, y -50...150; the crop from
    // (-50, -50) holds all of it, in its right half, red (the old left) at the bottom.
    const auto around = graphics::Rect::make(-50, -50, 200, 200);
    auto turned = mvr_imageByApplyingRotation(image, M_PI / 2, around);
    ASSERT_TRUE(turned);
    EXPECT_NEAR(turned->extent().minX(), 50, 1e-9);
    EXPECT_NEAR(turned->extent().height(), 200, 1e-9);
    auto pixels = render(turned, around);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->pixelAt(150, 150), kRed);
    EXPECT_EQ(pixels->pixelAt(150, 50), kBlue);
    EXPECT_EQ(pixels->pixelAt(103, 3), kBlue);
    EXPECT_EQ(pixels->pixelAt(196, 196), kRed);
    EXPECT_EQ(pixels->pixelAt(50, 100).a, 0); // beyond the turned image

    // Without a turn the crop is a plain cut, y measured from the bottom.
    struct Cut {
        graphics::Rect crop;
        graphics::Image::RGBA8 topLeft, bottomRight;
    } cuts[] = {
        {graphics::Rect::make(0, 0, 100, 100), kRed, kRed},
        {graphics::Rect::make(150, 10, 50, 20), kBlue, kBlue},
        {graphics::Rect::make(90, 40, 20, 10), kRed, kBlue},
    };
    for (const auto& cut : cuts) {
        auto part = mvr_imageByApplyingRotation(image, 0, cut.crop);
        ASSERT_TRUE(part);
        EXPECT_EQ(part->extent(), cut.crop.intersection(image->extent()));
        auto bitmap = render(part, part->extent());
        EXPECT_EQ(bitmap->pixelAt(0, 0), cut.topLeft);
        EXPECT_EQ(bitmap->pixelAt(bitmap->width() - 1, bitmap->height() - 1), cut.bottomRight);
    }
    EXPECT_FALSE(mvr_imageByApplyingRotation(nullptr, 0, graphics::Rect::make(0, 0, 10, 10)));
}

TEST(MediaHelpers, UserInterfaceImagesAndBitmapsConvert)
{
    auto bitmap = redBlueImage();
    auto image = imageWithCGImage(bitmap);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (graphics::Size {200, 100})); // the pixel size
    EXPECT_EQ(CGImage(image), bitmap);
    EXPECT_FALSE(imageWithCGImage(nullptr));
    EXPECT_FALSE(CGImage(nullptr));

    // Through a filter image and back, pixels and size stay.
    auto filtered = CIImage(image);
    ASSERT_TRUE(filtered);
    EXPECT_EQ(filtered->extent(), graphics::Rect::make(0, 0, 200, 100));
    auto back = imageWithCIImage(filtered->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(7, 3)));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size(), (graphics::Size {200, 100}));
    EXPECT_EQ(back->bitmap()->pixelAt(0, 0), kRed);
    EXPECT_EQ(back->bitmap()->pixelAt(199, 99), kBlue);
    EXPECT_FALSE(CIImage(nullptr));
    EXPECT_FALSE(imageWithCIImage(nullptr));
    EXPECT_FALSE(imageWithCIImage(graphics::FilterImage::imageWithColor(graphics::Color::white())));
}

TEST(MediaHelpers, VideoTrackIsTheFirstVideoTrack)
{
    testsupport::TempDir dir;
    const auto twoTracks = dir / "two.mov";
    const auto audioOnly = dir / "sound.m4a";
    ASSERT_TRUE(movietest::run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x24:rate=10:duration=0.3 "
                               "-f lavfi -i testsrc=size=16x12:rate=10:duration=0.3 -f lavfi -i sine=duration=0.3 "
                               "-map 2 -map 0 -map 1 -c:v mjpeg -c:a aac '" + twoTracks.string() + "'"));
    ASSERT_TRUE(movietest::run("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=0.2 -c:a aac '" + audioOnly.string()
                               + "'"));
    auto url = [](const std::filesystem::path& p) { return foundation::URL::fileURLWithPath(p.string()); };

    auto track = mvr_videoTrack(media::Asset::assetWithURL(url(twoTracks)));
    ASSERT_TRUE(track);
    EXPECT_EQ(track->mediaType(), media::AVMediaTypeVideo);
    EXPECT_EQ(track->naturalSize(), (graphics::Size {32, 24})); // the first video track, though the audio comes first

    EXPECT_FALSE(mvr_videoTrack(media::Asset::assetWithURL(url(audioOnly))));
    EXPECT_FALSE(mvr_videoTrack(media::Asset::assetWithURL(url(dir / "missing.mov"))));
    EXPECT_FALSE(mvr_videoTrack(nullptr));
}
