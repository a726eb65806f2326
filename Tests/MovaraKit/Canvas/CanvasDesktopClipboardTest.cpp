// Canvas objects through the desktop's clipboard, with another application on the display
// (xclip) on the other side: a picture copied there pastes here as an image object, damaged
// picture bytes paste as nothing, and objects copied here reach another reader as the archive
// they were written as, and come back from it whole.
#include <gtest/gtest.h>

#include <cstdlib>

#include "MovaraKit/Canvas/CanvasPasteboardSupport.h"
#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Gtk/ClipboardBridge.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Platform/UI/Pasteboard.h"
#include "Tests/Support/DesktopClipboardFixture.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using graphics::Point;
using graphics::Size;

namespace {

class CanvasDesktopClipboard : public testsupport::DesktopClipboardTest {
protected:
    // As the application opens the bridge.
    std::vector<std::string> ownTypes() const override { return {CanvasObject::pasteboardType()}; }
};

TEST_F(CanvasDesktopClipboard, APictureCopiedInAnotherApplicationPastesAsAnImageObject)
{
    fixtures::JPEGSpec jpeg;
    jpeg.width = 400;
    jpeg.height = 300;
    jpeg.pixel = [](int x, int y) { return std::vector<uint8_t> {uint8_t(x), uint8_t(y), 60}; };
    struct Case {
        std::string mime;
        std::vector<uint8_t> bytes;
        Size natural;
    };
    const Case cases[] = {
        {"image/png", fixtures::makePNG8(40, 30, 2, [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 6), uint8_t(y * 8), 200}; }), {40, 30}},
        {"image/jpeg", fixtures::makeJPEG(jpeg), {400, 300}},
    };
    auto general = ui::Pasteboard::generalPasteboard();
    for (const auto& c : cases) {
        ASSERT_TRUE(copyThere(c.mime, c.bytes)) << c.mime;
        EXPECT_TRUE(CanvasPasteboardSupport::canReadFromPasteboard(*general)) << c.mime;
        auto objects = CanvasPasteboardSupport::read(*general, Point {10, 20}, Size {200, 200});
        ASSERT_TRUE(objects) << c.mime;
        ASSERT_EQ(objects->size(), 1u) << c.mime;
        auto image = std::dynamic_pointer_cast<ImageCanvasObject>(objects->front());
        ASSERT_TRUE(image) << c.mime;
        EXPECT_EQ(image->naturalSize(), c.natural) << c.mime;
        EXPECT_EQ(image->position(), (Point {10, 20})) << c.mime;
        EXPECT_LE(image->size().width, 200) << c.mime;
        EXPECT_TRUE(image->originalFilename().ends_with(".png")) << image->originalFilename();
    }
}

TEST_F(CanvasDesktopClipboard, DamagedPictureBytesPasteAsNothing)
{
    auto png = fixtures::makePNG8(32, 32, 2, [](int x, int y) { return std::vector<uint8_t> {uint8_t(x), uint8_t(y), 0}; });
    auto truncated = png;
    truncated.resize(png.size() / 2);
    auto corrupted = png;
    for (size_t i = 40; i < corrupted.size(); i += 7)
        corrupted[i] ^= 0x5a;
    // A header that claims a picture of 100000 x 100000 pixels.
    auto giant = fixtures::makePNG8(1, 1, 2, [](int, int) { return std::vector<uint8_t> {1, 2, 3}; });
    for (int i : {16, 20}) {
        giant[i] = 0;
        giant[i + 1] = 0x01;
        giant[i + 2] = 0x86;
        giant[i + 3] = 0xa0;
    }
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
        {"garbage", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'}},
        {"truncated", truncated},
        {"corrupted", corrupted},
        {"giant header", giant},
        {"empty", {}},
    };
    auto general = ui::Pasteboard::generalPasteboard();
    for (const auto& [name, bytes] : cases) {
        ASSERT_TRUE(copyThere("image/png", bytes)) << name;
        const auto objects = CanvasPasteboardSupport::read(*general, Point {1, 1}, Size {100, 100});
        EXPECT_TRUE(!objects || objects->empty()) << name;
    }
}

TEST_F(CanvasDesktopClipboard, CanvasObjectsReachAnotherReaderAndComeBackWhole)
{
    auto text = TextCanvasObject::init();
    text->setText("Copied \u00e9t\u00e9");
    text->setPosition({5, 6});
    auto image = ImageCanvasObject::initWithOriginalImageData(
        fixtures::makePNG8(6, 4, 2, [](int x, int) { return std::vector<uint8_t> {uint8_t(x * 40), 1, 2}; }), "p.png");
    image->setPosition({7, 8});
    image->setAngle(0.25);
    auto general = ui::Pasteboard::generalPasteboard();
    CanvasPasteboardSupport::writeObjects({text, image}, *general);
    dispatch::RunLoop::main().runOnce(0); // the turn ends: the desktop is offered them

    // Another reader (xclip, or a second Quintor) gets the archive as it was written, however it
    // spells the type.
    const auto archive = CanvasPasteboardSupport::dataFor({text, image});
    for (const char* target : {"application/x-com.movara.CanvasObject", "application/x-com.movara.canvasobject"}) {
        const auto pasted = m_other.paste(target);
        ASSERT_TRUE(pasted) << target;
        EXPECT_EQ(*pasted, std::string(archive.begin(), archive.end())) << target;
        auto decoded = CanvasPasteboardSupport::objectsFrom(foundation::Data(pasted->begin(), pasted->end()));
        ASSERT_TRUE(decoded) << target;
        EXPECT_EQ(decoded->size(), 2u) << target;
    }

    // Offered back as another of our processes offers it, they paste as the objects, in their
    // archived places.
    ASSERT_TRUE(copyThere("application/x-com.movara.canvasobject", archive));
    auto objects = CanvasPasteboardSupport::read(*general, Point {100, 100}, Size {1, 1});
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), 2u);
    auto t = std::dynamic_pointer_cast<TextCanvasObject>((*objects)[0]);
    auto i = std::dynamic_pointer_cast<ImageCanvasObject>((*objects)[1]);
    ASSERT_TRUE(t && i);
    EXPECT_EQ(t->text(), "Copied \u00e9t\u00e9");
    EXPECT_EQ(t->position(), (Point {5, 6}));
    EXPECT_EQ(i->position(), (Point {7, 8}));
    EXPECT_EQ(i->angle(), 0.25);
    EXPECT_EQ(i->originalImageData(), image->originalImageData());

    // A damaged archive under our type pastes as nothing, and nothing else is tried.
    auto damaged = archive;
    damaged.resize(damaged.size() / 2);
    ASSERT_TRUE(copyThere("application/x-com.movara.canvasobject", damaged));
    EXPECT_FALSE(CanvasPasteboardSupport::read(*general));
}

} // namespace
