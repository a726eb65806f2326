#include "MovaraKit/Canvas/CanvasPasteboardSupport.h"

#include <gtest/gtest.h>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "Platform/Foundation/UUID.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using graphics::Point;
using graphics::Size;

namespace {

foundation::Data picture(int width, int height)
{
    return fixtures::makePNG8(width, height, 2, [](int, int) { return std::vector<uint8_t> {1, 2, 3}; });
}

} // namespace

TEST(CanvasPasteboardSupport, WrittenObjectsComeBackWithTheirGeometryWhateverThePlacement)
{
    auto text = TextCanvasObject::init();
    text->setText("Copied");
    text->setPosition({5, 6});
    auto image = ImageCanvasObject::initWithOriginalImageData(picture(3, 2), "p.png");
    image->setPosition({7, 8});
    image->setAngle(0.25);
    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs({foundation::URL::fileURLWithPath("/tmp/old.png")});
    CanvasPasteboardSupport::writeObjects({text, image}, *pasteboard);
    EXPECT_TRUE(CanvasPasteboardSupport::canReadFromPasteboard(*pasteboard));
    EXPECT_EQ(pasteboard->types(), (std::vector<std::string> {"com.movara.CanvasObject"}));

    auto objects = CanvasPasteboardSupport::read(*pasteboard, Point {100, 100}, Size {1, 1});
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 2u);
    auto t = std::dynamic_pointer_cast<TextCanvasObject>((*objects)[0]);
    auto i = std::dynamic_pointer_cast<ImageCanvasObject>((*objects)[1]);
    ASSERT_TRUE(t && i);
    EXPECT_NE(t, text);
    EXPECT_EQ(t->text(), "Copied");
    EXPECT_EQ(t->position(), (Point {5, 6}));
    EXPECT_EQ(t->size(), text->size());
    EXPECT_EQ(i->position(), (Point {7, 8}));
    EXPECT_EQ(i->angle(), 0.25);
    EXPECT_EQ(i->originalImageData(), image->originalImageData());
}

TEST(CanvasPasteboardSupport, ArchivesWinOverImagesAndBrokenArchivesGiveNothing)
{
    testsupport::TempDir dir;
    fixtures::writeFile(dir / "a.png", picture(4, 4));
    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    ui::PasteboardItem archive;
    archive.setDataForType(CanvasPasteboardSupport::dataFor({TextCanvasObject::init()}), CanvasObject::pasteboardType());
    pasteboard->writeObjects({archive, ui::PasteboardItem::itemWithURL(foundation::URL::fileURLWithPath((dir / "a.png").string()))});
    auto objects = CanvasPasteboardSupport::read(*pasteboard);
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 1u);
    EXPECT_TRUE(std::dynamic_pointer_cast<TextCanvasObject>((*objects)[0]));

    for (const foundation::Data& junk : {foundation::Data {1, 2, 3}, foundation::Data()}) {
        auto broken = ui::Pasteboard::pasteboardWithUniqueName();
        ui::PasteboardItem item;
        item.setDataForType(junk, CanvasObject::pasteboardType());
        broken->writeObjects({item, ui::PasteboardItem::itemWithURL(foundation::URL::fileURLWithPath((dir / "a.png").string()))});
        EXPECT_FALSE(CanvasPasteboardSupport::read(*broken));
        EXPECT_FALSE(CanvasPasteboardSupport::objectsFrom(junk));
    }
    // An archive of something other than canvas objects.
    auto plain = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<CanvasBoxedTransform>(graphics::AffineTransform()), true);
    EXPECT_FALSE(CanvasPasteboardSupport::objectsFrom(plain));
}

TEST(CanvasPasteboardSupport, ImageFilesArePlacedAndShrunkToFit)
{
    testsupport::TempDir dir;
    fixtures::writeFile(dir / "big.png", picture(400, 300));
    fixtures::writeFile(dir / "small.png", picture(40, 30));
    fixtures::writeFile(dir / "fake.png", {'n', 'o', 't'});
    dir.write("notes.txt", "hello");
    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs({foundation::URL::fileURLWithPath((dir / "big.png").string()),
                           foundation::URL::fileURLWithPath((dir / "fake.png").string()),
                           foundation::URL::fileURLWithPath((dir / "notes.txt").string()),
                           foundation::URL::fileURLWithPath((dir / "small.png").string()),
                           foundation::URL::fileURLWithPath((dir / "gone.png").string())});
    EXPECT_TRUE(CanvasPasteboardSupport::canReadFromPasteboard(*pasteboard));
    auto objects = CanvasPasteboardSupport::read(*pasteboard, Point {10, 20}, Size {80, 80});
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 2u);
    EXPECT_EQ((*objects)[0]->size(), (Size {80, 60}));
    EXPECT_EQ((*objects)[1]->size(), (Size {40, 30}));
    for (const auto& o : *objects)
        EXPECT_EQ(o->position(), (Point {10, 20}));
    EXPECT_EQ(std::dynamic_pointer_cast<ImageCanvasObject>((*objects)[0])->originalFilename(), "big.png");
}

TEST(CanvasPasteboardSupport, PicturesGetGeneratedNamesAndTextGivesNothing)
{
    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    ui::PasteboardItem item;
    item.setDataForType(picture(5, 5), ui::NSPasteboardTypePNG);
    pasteboard->writeObjects({item});
    auto objects = CanvasPasteboardSupport::read(*pasteboard);
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 1u);
    auto image = std::dynamic_pointer_cast<ImageCanvasObject>((*objects)[0]);
    ASSERT_TRUE(image);
    const std::string name = image->originalFilename();
    EXPECT_TRUE(foundation::UUID::fromString(name.substr(0, name.size() - 4)));
    EXPECT_EQ(name.substr(name.size() - 4), ".png");

    auto text = ui::Pasteboard::pasteboardWithUniqueName();
    text->setStringForType("just words", ui::NSPasteboardTypeString);
    EXPECT_FALSE(CanvasPasteboardSupport::canReadFromPasteboard(*text));
    EXPECT_FALSE(CanvasPasteboardSupport::read(*text));
}
