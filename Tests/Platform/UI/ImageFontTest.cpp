// Named images, images drawn in code and their PNG bytes; font measurements.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Image.h"
#include "Tests/Support/TempDir.h"

using namespace ui;

namespace {

ImagePtr redSquare(double points)
{
    return Image::imageWithSize({points, points}, false, [](GraphicsContext& ctx, const graphics::Rect& r) {
        ctx.setFillColor(Color::deviceRGB(1, 0, 0));
        ctx.fillRect(r);
    });
}

TEST(ImageTest, NamedImagesComeFromRegistrationsThenTheMainBundle)
{
    EXPECT_EQ(Image::imageNamed("NoSuchPicture"), nullptr);
    auto square = redSquare(8);
    Image::registerImageNamed("TestSquare", square);
    EXPECT_EQ(Image::imageNamed("TestSquare"), square);
    EXPECT_EQ(square->name(), "TestSquare");
    Image::registerImageNamed("TestSquare", nullptr);
    EXPECT_EQ(Image::imageNamed("TestSquare"), nullptr);

    // A resource of the main bundle, the 2x variant preferred and sized in points.
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "Resources");
    const auto png = redSquare(10)->PNGRepresentation(); // 20x20 pixels
    ASSERT_FALSE(png.empty());
    std::ofstream(dir / "Resources" / "PlayMenuIconTemplate@2x.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    auto previous = foundation::Bundle::main();
    foundation::Bundle::setMain(foundation::Bundle::bundleWithPath(dir.path().string()));
    auto icon = Image::imageNamed("PlayMenuIconTemplate");
    foundation::Bundle::setMain(previous);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->size(), (graphics::Size{10, 10}));
    EXPECT_EQ(icon->bitmap()->width(), 20u);
    EXPECT_TRUE(icon->isTemplate());
    EXPECT_EQ(Image::imageNamed("PlayMenuIconTemplate"), icon); // kept
}

TEST(ImageTest, DrawnImagesKeepTheirPixelsThroughPNG)
{
    auto square = redSquare(5);
    EXPECT_EQ(square->bitmap()->width(), 10u); // drawn at 2x
    const auto png = square->PNGRepresentation();
    auto back = images::ImageSource::createWithData(png)->createImageAtIndex(0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->pixelAt(3, 3), (graphics::Image::RGBA8{255, 0, 0, 255}));
    EXPECT_EQ(Image::imageWithData({1, 2, 3}), nullptr);
    EXPECT_EQ(Image::imageWithSize({0, 10}, false, nullptr), nullptr);
}

// A picture is written into a new file of its own beside its name and then moved there: a
// link planted under the name it would use while it writes, or at the name itself, is never
// written through, and a file it replaces is replaced whole.
TEST(ImageTest, APictureWrittenToAFileNeverWritesThroughALink)
{
    namespace fs = std::filesystem;
    testsupport::TempDir dir;
    const auto notes = dir.write("notes.txt", "the user's notes");
    auto context = GraphicsContext::bitmapContext({4, 4}, 1);
    ASSERT_TRUE(context);
    const fs::path picture = dir / "window.png";
    for (const fs::path& link : {fs::path(picture.string() + ".partial"), picture}) {
        SCOPED_TRACE(link.string());
        fs::remove(picture);
        fs::create_symlink(notes, link);
        foundation::ErrorPtr error;
        EXPECT_TRUE(context->writePNG(picture.string(), &error)) << (error ? error->localizedDescription() : "");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(picture)));
        EXPECT_TRUE(images::ImageSource::createWithPath(picture.string())->createImageAtIndex(0));
        std::ifstream in(notes);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the user's notes");
        fs::remove(link);
    }
}

TEST(FontTest, MeasurementsFollowSizeWeightAndDigitWidths)
{
    const auto regular = Font::systemFontOfSize(13);
    const auto bold = Font::boldSystemFontOfSize(13);
    const auto large = Font::systemFontOfSize(26);
    const std::string text = "Export Complete";
    EXPECT_GT(bold.sizeOfString(text).width, regular.sizeOfString(text).width);
    EXPECT_NEAR(large.sizeOfString(text).width, 2 * regular.sizeOfString(text).width, 3.0);
    const auto digits = Font::monospacedDigitSystemFontOfSize(13);
    EXPECT_TRUE(digits.hasMonospacedDigits());
    EXPECT_DOUBLE_EQ(digits.sizeOfString("01:11.111").width, digits.sizeOfString("08:88.888").width);
    // Wrapping to a width makes the text taller, never wider than asked.
    const auto wrapped = regular.sizeOfString("one two three four five six seven eight", 60);
    EXPECT_LE(wrapped.width, 60);
    EXPECT_GT(wrapped.height, regular.lineHeight() * 2);
}

} // namespace
