#include "MovaraKit/Media/MVRImageSource.h"

#include "Platform/Images/UTType.h"
#include "Tests/Support/CameraFixtures.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

foundation::URL urlOf(const fs::path& path) { return foundation::URL::fileURLWithPath(path.string()); }

fs::path writeJPEG(const testsupport::TempDir& dir, const std::string& name, fixtures::JPEGSpec recipe)
{
    const fs::path path = dir / name;
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    return path;
}

fixtures::Exif exifWith(std::optional<std::string> date, std::optional<std::string> subsec = std::nullopt,
                        std::optional<int> orientation = std::nullopt)
{
    fixtures::Exif exif;
    exif.dateTimeOriginal = std::move(date);
    exif.subsecTimeOriginal = std::move(subsec);
    exif.orientation = orientation;
    return exif;
}

fixtures::JPEGSpec jpegSized(int width, int height)
{
    fixtures::JPEGSpec recipe;
    recipe.width = width;
    recipe.height = height;
    return recipe;
}

fixtures::TIFFSpec tiffSized(int width, int height)
{
    fixtures::TIFFSpec recipe;
    recipe.pixel = [](int x, int y) { return std::vector<uint16_t> {uint16_t(x * 9), uint16_t(y * 9), 99}; };
    recipe.width = width;
    recipe.height = height;
    return recipe;
}

fixtures::JPEGSpec jpegWithExif(fixtures::Exif exif, int width = 8, int height = 6)
{
    fixtures::JPEGSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.exif = std::move(exif);
    return recipe;
}

// Seconds since 1970 of a wall-clock time in the local zone, as cameras record it.
double localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return double(std::mktime(&tm));
}

} // namespace

TEST(MVRImageSource, OpensOnlyFileURLsOfImages)
{
    testsupport::TempDir dir;
    const fs::path jpeg = writeJPEG(dir, "a.jpg", {});
    const fs::path png = dir / "b.png";
    fixtures::writeFile(png, fixtures::makePNG8(3, 2, 2, [](int, int) { return std::vector<uint8_t> {1, 2, 3}; }));
    const fs::path tiff = dir / "c.tif";
    fixtures::writeTIFF(tiff, tiffSized(4, 3));
    const fs::path text = dir.write("notes.txt", "just words");
    const fs::path pdf = dir.write("doc.pdf", "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n");
    const fs::path junk = dir.write("junk.jpg", "not a photo at all");
    const fs::path empty = dir.write("empty.jpg", "");
    const fs::path pngNamedJPEG = dir / "really-a-png.jpg";
    fs::copy_file(png, pngNamedJPEG);

    struct Case {
        std::string name;
        foundation::URL url;
        std::string type; // empty: no source
    } cases[] = {
        {"JPEG", urlOf(jpeg), images::kUTTypeJPEG},
        {"PNG", urlOf(png), images::kUTTypePNG},
        {"TIFF", urlOf(tiff), images::kUTTypeTIFF},
        {"not a file URL", *foundation::URL::URLWithString("https://example.com/a.jpg"), ""},
        {"missing file", urlOf(dir / "missing.jpg"), ""},
        {"text", urlOf(text), ""},
        {"PDF", urlOf(pdf), ""},
        {"junk named as a JPEG", urlOf(junk), ""},
        {"empty file named as a JPEG", urlOf(empty), ""},
        {"the content decides over the name", urlOf(pngNamedJPEG), images::kUTTypePNG},
        {"folder", foundation::URL::fileURLWithPath(dir.path().string(), true), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = MVRImageSource::initWithFileURL(c.url);
        if (c.type.empty()) {
            EXPECT_FALSE(source);
            continue;
        }
        ASSERT_TRUE(source);
        EXPECT_EQ(source->imageType(), c.type);
        EXPECT_EQ(source->fileURL(), c.url);
        EXPECT_TRUE(source->CGImageSource());
    }
}

TEST(MVRImageSource, SizeIsThePixelSizeAsStored)
{
    testsupport::TempDir dir;
    const fs::path png = dir / "wide.png";
    fixtures::writeFile(png, fixtures::makePNG8(5, 3, 6, [](int, int) { return std::vector<uint8_t> {1, 2, 3, 4}; }));
    const fs::path tiff = dir / "page.tif";
    fixtures::writeTIFF(tiff, tiffSized(7, 2));
    struct Case {
        fs::path path;
        graphics::Size size;
    } cases[] = {
        // Orientation 6 turns the photo for display only: the size stays as stored.
        {writeJPEG(dir, "turned.jpg", jpegWithExif(exifWith(std::nullopt, std::nullopt, 6), 40, 30)), {40, 30}},
        {png, {5, 3}},
        {tiff, {7, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.filename());
        auto source = MVRImageSource::initWithFileURL(urlOf(c.path));
        ASSERT_TRUE(source);
        EXPECT_EQ(source->size(), c.size);
        EXPECT_EQ(source->sizeValue(), c.size);
        auto image = source->image();
        ASSERT_TRUE(image);
        EXPECT_EQ(graphics::Size(double(image->width()), double(image->height())), c.size);
        EXPECT_EQ(source->image(), image); // kept
    }

    auto source = MVRImageSource::initWithFileURL(urlOf(png));
    source->setSizeValue(graphics::Size {100, 50});
    EXPECT_EQ(source->size(), (graphics::Size {100, 50}));
    source->setSizeValue(std::nullopt);
    EXPECT_EQ(source->size(), (graphics::Size {5, 3})); // read again from the file
}

TEST(MVRImageSource, CorruptImageHasNoImageButKeepsItsSize)
{
    testsupport::TempDir dir;
    // Detail makes the scan data long, so the cut leaves the header whole.
    fixtures::JPEGSpec recipe = jpegSized(64, 32);
    recipe.pixel = [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 4), uint8_t(y * 8), uint8_t(x ^ y)}; };
    auto bytes = fixtures::makeJPEG(recipe);
    bytes.resize(bytes.size() * 2 / 3);
    const fs::path path = dir / "cut.jpg";
    fixtures::writeFile(path, bytes);
    auto source = MVRImageSource::initWithFileURL(urlOf(path));
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->image());
    EXPECT_FALSE(source->image()); // tried again, still nothing
    EXPECT_EQ(source->size(), (graphics::Size {64, 32}));
    foundation::ErrorPtr error;
    EXPECT_FALSE(source->createImage(0, &error));
    EXPECT_TRUE(error);
}

TEST(MVRImageSource, DateIsTheCaptureDateInCalendarYears)
{
    testsupport::TempDir dir;
    struct Case {
        std::string name;
        fixtures::Exif exif;
        double expected;
    } cases[] = {
        {"whole seconds", exifWith("2021:06:01 12:30:45"), localTime(2021, 6, 1, 12, 30, 45)},
        {"sub-seconds", exifWith("2021:06:01 12:30:45", "25"),
         localTime(2021, 6, 1, 12, 30, 45) + 0.25},
        // The last days of December belong to the next week-based year; the calendar year counts.
        {"New Year's Eve", exifWith("2019:12:31 23:59:59"), localTime(2019, 12, 31, 23, 59, 59)},
        {"New Year's Day", exifWith("2020:01:01 00:00:01"), localTime(2020, 1, 1, 0, 0, 1)},
        {"Dec 30 in week 1", exifWith("2024:12:30 08:00:00"), localTime(2024, 12, 30, 8, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = MVRImageSource::initWithFileURL(urlOf(writeJPEG(dir, c.name + ".jpg", jpegWithExif(c.exif))));
        ASSERT_TRUE(source);
        EXPECT_NEAR(source->date().timeIntervalSince1970(), c.expected, 1e-6);
    }
}

TEST(MVRImageSource, WithoutCaptureDateTheModificationDateCounts)
{
    testsupport::TempDir dir;
    const fs::path path = writeJPEG(dir, "plain.jpg", {});
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(path, stamp);
    auto source = MVRImageSource::initWithFileURL(urlOf(path));
    ASSERT_TRUE(source);
    const double expected =
        std::chrono::duration<double>(std::chrono::file_clock::to_sys(stamp).time_since_epoch()).count();
    EXPECT_NEAR(source->date().timeIntervalSince1970(), expected, 1e-3);
}

TEST(MVRImageSource, UnreadableCaptureDateGivesTheFirstRequestsTimeAndKeepsIt)
{
    testsupport::TempDir dir;
    const fs::path path = writeJPEG(dir, "odd.jpg", jpegWithExif(exifWith("sometime in May")));
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    auto source = MVRImageSource::initWithFileURL(urlOf(path));
    ASSERT_TRUE(source);
    const foundation::Date before = foundation::Date::now();
    const foundation::Date first = source->date();
    EXPECT_GE(first, before);
    EXPECT_LE(first, foundation::Date::now());
    EXPECT_EQ(source->date(), first);
}

TEST(MVRImageSource, HEICAndCameraRAWDecodeWithTheirStoredSizesDatesAndOrientation)
{
    testsupport::TempDir dir;
    const fs::path heic = dir / "phone.heic";
    fixtures::writeFile(heic, fixtures::makeHEIC(64, 32, {230, 20, 20}, {20, 20, 230},
                                                 exifWith("2022:03:04 05:06:07", std::nullopt, 6)));
    const fs::path dng = dir / "camera.dng";
    fixtures::DNGSpec dngSpec;
    dngSpec.orientation = 6;
    dngSpec.dateTime = "2021:06:01 12:30:45";
    fixtures::writeDNG(dng, dngSpec);

    struct Case {
        fs::path path;
        std::string conformsTo;
        graphics::Size size;
        double date;
    } cases[] = {
        {heic, images::kUTTypeHEIC, {64, 32}, localTime(2022, 3, 4, 5, 6, 7)},
        {dng, images::kUTTypeRawImage, {32, 24}, localTime(2021, 6, 1, 12, 30, 45)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.filename());
        auto source = MVRImageSource::initWithFileURL(urlOf(c.path));
        ASSERT_TRUE(source);
        EXPECT_TRUE(images::typeConformsTo(source->imageType(), c.conformsTo)) << source->imageType();
        // Stored size and orientation come from the headers; the turn is left to the display.
        EXPECT_EQ(source->size(), c.size);
        auto properties = source->properties();
        ASSERT_TRUE(properties);
        EXPECT_EQ(properties->orientation, 6);
        EXPECT_NEAR(source->date().timeIntervalSince1970(), c.date, 1e-6);

        for (int decode = 0; decode < 2; ++decode) { // a RAW file is decoded through a fresh source each time
            auto image = decode == 0 ? source->image() : source->createImage(0, nullptr);
            ASSERT_TRUE(image);
            ASSERT_EQ(graphics::Size(double(image->width()), double(image->height())), c.size);
            const auto left = image->pixelAt(2, image->height() / 2);
            const auto right = image->pixelAt(image->width() - 3, image->height() / 2);
            EXPECT_GT(int(left.r), int(left.b) + 100);
            EXPECT_GT(int(right.b), int(right.r) + 100);
        }
    }
}
