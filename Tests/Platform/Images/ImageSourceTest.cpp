#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using namespace images;
using fixtures::Exif;
using fixtures::JPEGSpec;

namespace {

std::string writeJPEG(const testsupport::TempDir& dir, const std::string& name, const JPEGSpec& recipe)
{
    auto path = dir / name;
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    return path.string();
}

// Solid colour blocks survive JPEG well; compare within a small tolerance.
void expectNear(graphics::Image::RGBA8 got, int r, int g, int b, int tolerance = 6)
{
    EXPECT_NEAR(got.r, r, tolerance);
    EXPECT_NEAR(got.g, g, tolerance);
    EXPECT_NEAR(got.b, b, tolerance);
}

} // namespace

TEST(ImageSource, ReadsJPEGPropertiesWithoutDecoding)
{
    testsupport::TempDir dir;
    JPEGSpec recipe;
    recipe.width = 40;
    recipe.height = 30;
    recipe.exif = Exif{"2021:06:05 14:03:09", "25", 6};
    auto src = ImageSource::createWithPath(writeJPEG(dir, "a.jpg", recipe));
    ASSERT_TRUE(src);
    EXPECT_EQ(src->type(), kUTTypeJPEG);
    EXPECT_EQ(src->count(), 1u);
    EXPECT_EQ(src->status(), ImageSourceStatus::complete);
    auto props = src->propertiesAtIndex(0);
    ASSERT_TRUE(props);
    // Stored size: the orientation does not swap it.
    EXPECT_EQ(props->pixelWidth, 40);
    EXPECT_EQ(props->pixelHeight, 30);
    EXPECT_EQ(props->orientation, 6);
    EXPECT_EQ(props->colorModel, kCGImagePropertyColorModelRGB);
    EXPECT_EQ(props->exif.at(kCGImagePropertyExifDateTimeOriginal), "2021:06:05 14:03:09");
    EXPECT_EQ(props->exif.at(kCGImagePropertyExifSubsecTimeOriginal), "25");
}

TEST(ImageSource, CaptureDateMetadataHasMilliseconds)
{
    struct Case {
        const char* what;
        std::optional<Exif> exif;
        std::optional<std::string> expected;
    } cases[] = {
        {"no sub-seconds", Exif{"2020:01:02 03:04:05", std::nullopt, std::nullopt}, "2020-01-02T03:04:05.000"},
        {"one digit is tenths", Exif{"2020:01:02 03:04:05", "5", std::nullopt}, "2020-01-02T03:04:05.500"},
        {"three digits", Exif{"2020:01:02 03:04:05", "123", std::nullopt}, "2020-01-02T03:04:05.123"},
        {"more digits are cut", Exif{"2020:01:02 03:04:05", "98765", std::nullopt}, "2020-01-02T03:04:05.987"},
        {"malformed date passes through", Exif{"last tuesday", "5", std::nullopt}, "last tuesday"},
        {"EXIF without a date", Exif{std::nullopt, std::nullopt, 1}, std::nullopt},
        {"no EXIF", std::nullopt, std::nullopt},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        JPEGSpec recipe;
        recipe.exif = c.exif;
        auto src = ImageSource::createWithPath(writeJPEG(dir, "d.jpg", recipe));
        ASSERT_TRUE(src);
        EXPECT_EQ(src->captureDateMetadataAtIndex(0), c.expected);
    }
}

TEST(ImageSource, DecodesRGBGreyAndBothCMYKForms)
{
    testsupport::TempDir dir;
    // Left half one colour, right half another.
    auto halves = [](std::vector<uint8_t> left, std::vector<uint8_t> right) {
        return [=](int x, int) { return x < 8 ? left : right; };
    };
    struct Case {
        const char* what;
        int components;
        bool adobe;
        std::vector<uint8_t> left, right;
        graphics::PixelFormat format;
        int lr, lg, lb, rr, rg, rb;
    } cases[] = {
        {"RGB", 3, false, {250, 10, 10}, {10, 10, 250}, graphics::PixelFormat::bgra8, 250, 10, 10, 10, 10, 250},
        {"grey", 1, false, {30}, {220}, graphics::PixelFormat::gray8, 30, 30, 30, 220, 220, 220},
        {"CMYK", 4, false, {255, 0, 0, 0}, {0, 0, 0, 255}, graphics::PixelFormat::cmyk8, 0, 255, 255, 0, 0, 0},
        {"Adobe inverted CMYK", 4, true, {255, 0, 0, 0}, {0, 0, 0, 255}, graphics::PixelFormat::cmyk8, 0, 255, 255, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        JPEGSpec recipe;
        recipe.width = 16;
        recipe.height = 8;
        recipe.components = c.components;
        recipe.adobeInvertedCMYK = c.adobe;
        recipe.pixel = halves(c.left, c.right);
        auto src = ImageSource::createWithPath(writeJPEG(dir, "c.jpg", recipe));
        foundation::ErrorPtr error;
        auto image = src->createImageAtIndex(0, &error);
        ASSERT_TRUE(image) << (error ? error->localizedDescription() : "");
        EXPECT_EQ(image->width(), 16u);
        EXPECT_EQ(image->height(), 8u);
        EXPECT_EQ(image->pixelFormat(), c.format);
        expectNear(image->pixelAt(2, 4), c.lr, c.lg, c.lb);
        expectNear(image->pixelAt(13, 4), c.rr, c.rg, c.rb);

        // Drawn into an X,R,G,B context (the pixel-buffer layout) the colours stay.
        auto ctx = graphics::BitmapContext::create(nullptr, 16, 8, 8, 0, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB),
                                                   {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::orderDefault});
        ctx->drawImage(image, graphics::Rect::make(0, 0, 16, 8));
        expectNear(ctx->createImage()->pixelAt(13, 4), c.rr, c.rg, c.rb);
    }
}

TEST(ImageSource, KeepsTheEmbeddedProfile)
{
    testsupport::TempDir dir;
    auto p3 = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceDisplayP3);
    JPEGSpec recipe;
    recipe.icc = p3->iccData();
    auto src = ImageSource::createWithPath(writeJPEG(dir, "p3.jpg", recipe));
    auto image = src->createImageAtIndex(0);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->colorSpace()->iccData(), p3->iccData());
    EXPECT_EQ(src->propertiesAtIndex(0)->profileName, "Display P3");
}

TEST(ImageSource, BadFilesGiveErrorsNamingTheFile)
{
    testsupport::TempDir dir;
    JPEGSpec recipe;
    recipe.width = 64;
    recipe.height = 64;
    recipe.pixel = [](int x, int y) { return std::vector<uint8_t>{uint8_t(x * 4), uint8_t(y * 4), uint8_t(x ^ y)}; };
    const auto good = fixtures::makeJPEG(recipe);

    auto truncated = good;
    truncated.resize(good.size() * 2 / 3);
    auto corruptHeader = good; // the signature stays, so it is still taken for a JPEG
    for (size_t i = 4; i < 40 && i < corruptHeader.size(); ++i)
        corruptHeader[i] = 0x11;
    const auto png = fixtures::makePNG8(8, 8, 2, [](int, int) { return std::vector<uint8_t>{1, 2, 3}; });
    auto corruptScan = good;
    for (size_t i = corruptScan.size() / 2; i < corruptScan.size() - 2; ++i)
        corruptScan[i] = static_cast<uint8_t>(i * 37);

    struct Case {
        const char* what;
        std::string name;
        std::vector<uint8_t> bytes;
        std::vector<long> codes; // acceptable codes
    } cases[] = {
        {"truncated JPEG", "cut.jpg", truncated, {ImageSourceTruncatedData}},
        {"damaged header", "hdr.jpg", corruptHeader, {ImageSourceCorruptData, ImageSourceTruncatedData}},
        {"damaged scan", "scan.jpg", corruptScan, {ImageSourceCorruptData, ImageSourceTruncatedData}},
        // Content that is not of the kind the name claims has no type at all.
        {"empty file", "empty.jpg", {}, {ImageSourceUnknownType}},
        {"text named .png", "note.png", {'h', 'i'}, {ImageSourceUnknownType}},
        {"PNG cut after the header", "cut.png", std::vector<uint8_t>(png.begin(), png.begin() + 40),
         {ImageSourceTruncatedData, ImageSourceCorruptData}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto path = dir / c.name;
        fixtures::writeFile(path, c.bytes);
        auto src = ImageSource::createWithPath(path.string());
        ASSERT_TRUE(src); // opening only maps the file
        foundation::ErrorPtr error;
        auto image = src->createImageAtIndex(0, &error);
        if (image)
            continue; // a damaged scan may still decode to a whole (if odd-looking) image
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), ImageSourceErrorDomain);
        EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), error->code()), c.codes.end()) << error->code();
        EXPECT_NE(error->localizedDescription().find(c.name), std::string::npos) << error->localizedDescription();
    }
    // The truncated JPEG must not decode: the missing part would show as grey.
    auto cut = ImageSource::createWithPath((dir / "cut.jpg").string());
    EXPECT_FALSE(cut->createImageAtIndex(0));
    // Its header is intact, so the properties are still there.
    EXPECT_EQ(cut->propertiesAtIndex(0)->pixelWidth, 64);
}

TEST(ImageSource, AFileChangedAfterOpeningGivesAnErrorNotACrash)
{
    // A user editing a photo during an export: the file shrinks or changes under the source.
    testsupport::TempDir dir;
    JPEGSpec recipe;
    recipe.width = 64;
    recipe.height = 64;
    recipe.pixel = [](int x, int y) { return std::vector<uint8_t>{uint8_t(x * 37 + y), uint8_t(y * 53), uint8_t(x * y)}; };
    const auto good = fixtures::makeJPEG(recipe);
    ASSERT_GT(good.size(), 4096u); // past the first page, where a mapped file would fault
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::vector<long> codes;
    } cases[] = {
        {"cut to nothing", [](const fs::path& p) { fs::resize_file(p, 0); }, {ImageSourceCorruptData, ImageSourceTruncatedData}},
        {"cut after a page", [](const fs::path& p) { fs::resize_file(p, 4096); }, {ImageSourceTruncatedData}},
        {"overwritten with text", [](const fs::path& p) { fixtures::writeFile(p, {'n', 'o', 'p', 'e'}); },
         {ImageSourceCorruptData, ImageSourceTruncatedData}},
        {"removed", [](const fs::path& p) { fs::remove(p); }, {ImageSourceUnreadableFile}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto path = dir / "edited.jpg";
        fixtures::writeFile(path, good);
        auto src = ImageSource::createWithPath(path.string());
        ASSERT_TRUE(src);
        c.change(path);
        foundation::ErrorPtr error;
        EXPECT_FALSE(src->createImageAtIndex(0, &error));
        ASSERT_TRUE(error);
        EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), error->code()), c.codes.end()) << error->code();
        EXPECT_NE(error->localizedDescription().find("edited.jpg"), std::string::npos) << error->localizedDescription();
        error.reset();
        EXPECT_FALSE(src->createThumbnailAtIndex(0, 16, true, &error));
        EXPECT_TRUE(error);
    }
}

TEST(ImageSource, HeadersLongerThanTheFirstReadAreReadWhole)
{
    // Maker notes, previews and profiles can push a JPEG's frame header far into the file.
    testsupport::TempDir dir;
    JPEGSpec recipe;
    recipe.width = 24;
    recipe.height = 16;
    recipe.exif = Exif{"2022:03:04 05:06:07", std::nullopt, 3};
    auto bytes = fixtures::makeJPEG(recipe);
    std::vector<uint8_t> comments;
    for (int i = 0; i < 6; ++i) { // 6 x 60000 bytes of COM segments right after SOI
        const size_t len = 60000;
        comments.insert(comments.end(), {0xFF, 0xFE, uint8_t(len >> 8), uint8_t(len & 0xFF)});
        comments.insert(comments.end(), len - 2, uint8_t('c'));
    }
    bytes.insert(bytes.begin() + 2, comments.begin(), comments.end());
    fixtures::writeFile(dir / "long.jpg", bytes);

    auto src = ImageSource::createWithPath((dir / "long.jpg").string());
    ASSERT_TRUE(src);
    EXPECT_EQ(src->count(), 1u);
    auto props = src->propertiesAtIndex(0);
    ASSERT_TRUE(props);
    EXPECT_EQ(props->pixelWidth, 24);
    EXPECT_EQ(props->orientation, 3);
    EXPECT_EQ(src->captureDateMetadataAtIndex(0), "2022-03-04T05:06:07.000");
    EXPECT_TRUE(src->createImageAtIndex(0));

    // Cut inside those segments, the header is reported as truncated.
    bytes.resize(300 * 1000);
    fixtures::writeFile(dir / "cut.jpg", bytes);
    auto cut = ImageSource::createWithPath((dir / "cut.jpg").string());
    foundation::ErrorPtr error;
    EXPECT_FALSE(cut->propertiesAtIndex(0, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ImageSourceTruncatedData);
    EXPECT_EQ(cut->status(), ImageSourceStatus::unexpectedEOF);
}

TEST(ImageSource, MissingFilesAndFoldersAreRefusedAtOpen)
{
    testsupport::TempDir dir;
    foundation::ErrorPtr error;
    EXPECT_FALSE(ImageSource::createWithPath((dir / "nope.jpg").string(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ImageSourceUnreadableFile);
    EXPECT_NE(error->localizedDescription().find("nope.jpg"), std::string::npos);
    EXPECT_FALSE(ImageSource::createWithPath(dir.path().string(), &error));
    EXPECT_FALSE(ImageSource::createWithURL(*foundation::URL::URLWithString("https://example.com/a.jpg"), &error));
}

TEST(ImageSource, UnknownContentHasNoTypeAndDecodesNothing)
{
    auto src = ImageSource::createWithData({'j', 'u', 'n', 'k'}, "junk.bin");
    EXPECT_EQ(src->type(), "");
    EXPECT_EQ(src->count(), 0u);
    EXPECT_EQ(src->status(), ImageSourceStatus::unknownType);
    foundation::ErrorPtr error;
    EXPECT_FALSE(src->createImageAtIndex(0, &error));
    EXPECT_EQ(error->code(), ImageSourceUnknownType);
}

TEST(ImageSource, ThumbnailsKeepTheAspectAndCanTurnUpright)
{
    testsupport::TempDir dir;
    JPEGSpec recipe;
    recipe.width = 64;
    recipe.height = 48;
    Exif exif;
    exif.orientation = 6;
    recipe.exif = exif;
    // Top-left quadrant red, the rest blue.
    recipe.pixel = [](int x, int y) {
        return x < 32 && y < 24 ? std::vector<uint8_t>{255, 0, 0} : std::vector<uint8_t>{0, 0, 255};
    };
    auto src = ImageSource::createWithPath(writeJPEG(dir, "t.jpg", recipe));
    struct Case {
        size_t max;
        bool upright;
        size_t w, h;
    } cases[] = {{16, false, 16, 12}, {8, false, 8, 6}, {40, false, 40, 30}, {1000, false, 64, 48}, {16, true, 12, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.max) + (c.upright ? " upright" : ""));
        auto thumb = src->createThumbnailAtIndex(0, c.max, c.upright);
        ASSERT_TRUE(thumb);
        EXPECT_EQ(thumb->width(), c.w);
        EXPECT_EQ(thumb->height(), c.h);
    }
    // Orientation 6: the stored top-left corner ends at the top right.
    auto upright = src->createThumbnailAtIndex(0, 16, true);
    expectNear(upright->pixelAt(11, 0), 255, 0, 0, 40);
    expectNear(upright->pixelAt(0, 15), 0, 0, 255, 40);
}

TEST(ImageSource, OrientationTurnsPixelsAsTheTagSays)
{
    // Stored 2 x 1: A then B. Where they land when shown upright.
    auto image = graphics::Image::create(2, 1, 8, 32, 8, graphics::ColorSpace::createDeviceRGB(),
                                         {graphics::AlphaInfo::noneSkipLast, graphics::ByteOrder::orderDefault},
                                         {10, 0, 0, 255, 20, 0, 0, 255});
    struct Case {
        int orientation;
        size_t w, h;
        uint8_t first, second; // red of (0,0) and of the last pixel
    } cases[] = {{1, 2, 1, 10, 20}, {2, 2, 1, 20, 10}, {3, 2, 1, 20, 10}, {4, 2, 1, 10, 20},
                 {5, 1, 2, 10, 20}, {6, 1, 2, 10, 20}, {7, 1, 2, 20, 10}, {8, 1, 2, 20, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        auto out = imageByApplyingOrientation(image, c.orientation);
        ASSERT_EQ(out->width(), c.w);
        ASSERT_EQ(out->height(), c.h);
        EXPECT_EQ(out->pixelAt(0, 0).r, c.first);
        EXPECT_EQ(out->pixelAt(c.w - 1, c.h - 1).r, c.second);
    }
}

TEST(ImageSource, DecodesPNGsExactly)
{
    testsupport::TempDir dir;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int depth;
        bool alpha;
        graphics::Image::RGBA8 at10;
    } cases[] = {
        {"16-bit RGB",
         fixtures::makePNG16(3, 2, [](int x, int) { return std::vector<uint16_t>{uint16_t(x == 1 ? 0x8080 : 0xFFFF), 0, 0x0101}; }),
         16, false, {128, 0, 1, 255}},
        {"16-bit RGBA keeps straight alpha",
         fixtures::makePNG16(3, 2, [](int x, int) { return std::vector<uint16_t>{0x8080, 0x4040, 0x0101, uint16_t(x == 1 ? 0 : 0xFFFF)}; },
                             6),
         16, true, {128, 64, 1, 0}},
        {"16-bit grey", fixtures::makePNG16(3, 2, [](int x, int) { return std::vector<uint16_t>{uint16_t(x == 1 ? 0x8080 : 0)}; }, 0),
         16, false, {128, 128, 128, 255}},
        {"16-bit declared linear is brought to sRGB",
         fixtures::makePNG16(3, 2, [](int, int) { return std::vector<uint16_t>{0x8080, 0xFFFF, 0}; }, 2, 1.0), 16, false,
         {186, 255, 0, 255}},
        {"RGBA keeps straight alpha",
         fixtures::makePNG8(3, 2, 6, [](int x, int) { return std::vector<uint8_t>{200, 100, 50, uint8_t(x == 1 ? 64 : 255)}; }),
         8, true, {200, 100, 50, 64}},
        {"grey", fixtures::makePNG8(3, 2, 0, [](int x, int) { return std::vector<uint8_t>{uint8_t(x * 100)}; }), 8, false,
         {100, 100, 100, 255}},
        {"palette with transparency",
         fixtures::makePNG8(3, 2, 3, [](int x, int) { return std::vector<uint8_t>{uint8_t(x)}; }, {255, 0, 0, 0, 255, 0, 0, 0, 255},
                            {255, 0}),
         8, true, {0, 255, 0, 0}}, // straight alpha keeps the colour under alpha 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto path = dir / "p.png";
        fixtures::writeFile(path, c.bytes);
        auto src = ImageSource::createWithPath(path.string());
        ASSERT_EQ(src->type(), kUTTypePNG);
        auto props = src->propertiesAtIndex(0);
        ASSERT_TRUE(props);
        EXPECT_EQ(props->pixelWidth, 3);
        EXPECT_EQ(props->pixelHeight, 2);
        EXPECT_EQ(props->depth, c.depth);
        EXPECT_EQ(props->hasAlpha, c.alpha);
        foundation::ErrorPtr error;
        auto image = src->createImageAtIndex(0, &error);
        ASSERT_TRUE(image) << error->localizedDescription();
        EXPECT_EQ(image->pixelAt(1, 0), c.at10);
    }
}

TEST(ImageSource, DecodesTIFFSamplesWithoutPremultiplying)
{
    testsupport::TempDir dir;
    struct Case {
        const char* what;
        fixtures::TIFFSpec recipe;
        graphics::Image::RGBA8 expected;
    } cases[] = {
        {"8-bit RGB strips", {4, 3, 8, 3, false, false, 1, 1, [](int x, int y) { return std::vector<uint16_t>{uint16_t(x * 60), uint16_t(y * 100), 7}; }},
         {60, 100, 7, 255}},
        {"16-bit RGBA, straight alpha", {4, 3, 16, 4, false, false, 1, 1, [](int, int) { return std::vector<uint16_t>{0xFFFF, 0x8080, 0, 0x4040}; }},
         {255, 128, 0, 64}},
        {"tiled 8-bit grey", {20, 18, 8, 1, false, true, 1, 1, [](int x, int y) { return std::vector<uint16_t>{uint16_t(x + y)}; }},
         {2, 2, 2, 255}},
        {"CMYK", {4, 3, 8, 4, true, false, 1, 1, [](int, int) { return std::vector<uint16_t>{0, 255, 0, 0}; }},
         {255, 0, 255, 255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto path = dir / "t.tiff";
        fixtures::writeTIFF(path, c.recipe);
        auto src = ImageSource::createWithPath(path.string());
        ASSERT_EQ(src->type(), kUTTypeTIFF);
        EXPECT_EQ(src->propertiesAtIndex(0)->pixelWidth, c.recipe.width);
        foundation::ErrorPtr error;
        auto image = src->createImageAtIndex(0, &error);
        ASSERT_TRUE(image) << error->localizedDescription();
        EXPECT_EQ(image->width(), static_cast<size_t>(c.recipe.width));
        EXPECT_EQ(image->pixelAt(1, 1), c.expected);
    }
}

TEST(ImageSource, TIFFPagesAndOrientation)
{
    testsupport::TempDir dir;
    fixtures::TIFFSpec recipe;
    recipe.pages = 3;
    recipe.orientation = 8;
    recipe.pixel = [](int, int) { return std::vector<uint16_t>{1, 2, 3}; };
    fixtures::writeTIFF(dir / "pages.tif", recipe);
    auto src = ImageSource::createWithPath((dir / "pages.tif").string());
    EXPECT_EQ(src->count(), 3u);
    EXPECT_EQ(src->propertiesAtIndex(0)->orientation, 8);
    EXPECT_TRUE(src->createImageAtIndex(2));
    foundation::ErrorPtr error;
    EXPECT_FALSE(src->createImageAtIndex(3, &error));
    EXPECT_EQ(error->code(), ImageSourceIndexOutOfRange);
}

TEST(ImageSource, GIFCountsFramesAndDecodesTheFirstWithTransparency)
{
    testsupport::TempDir dir;
    fixtures::writeGIF(dir / "a.gif", 3, 2, 2);
    auto src = ImageSource::createWithPath((dir / "a.gif").string());
    ASSERT_EQ(src->type(), kUTTypeGIF);
    EXPECT_EQ(src->count(), 2u);
    EXPECT_EQ(src->propertiesAtIndex(0)->pixelWidth, 3);
    auto image = src->createImageAtIndex(0);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelAt(0, 0), (graphics::Image::RGBA8{255, 0, 0, 255}));
    EXPECT_EQ(image->pixelAt(1, 0), (graphics::Image::RGBA8{0, 255, 0, 255}));
    EXPECT_EQ(image->pixelAt(2, 0).a, 0); // index 2 is transparent

    auto bytes = fixtures::readFile(dir / "a.gif");
    bytes.resize(30);
    auto cut = ImageSource::createWithData(bytes, "cut.gif");
    foundation::ErrorPtr error;
    EXPECT_FALSE(cut->createImageAtIndex(0, &error));
    EXPECT_TRUE(error);
}
