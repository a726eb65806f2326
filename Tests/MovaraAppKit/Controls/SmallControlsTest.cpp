#include <gtest/gtest.h>

#include <zlib.h>

#include "MovaraAppKit/Controls/BezierPath+Movara.h"
#include "MovaraAppKit/Controls/DropView.h"
#include "MovaraAppKit/Controls/HyperlinkButton.h"
#include "MovaraAppKit/Controls/Image+Movara.h"
#include "MovaraAppKit/Controls/PaddedTextField.h"
#include "MovaraAppKit/Controls/RoundAvatarView.h"
#include "MovaraAppKit/Controls/ShadowBox.h"
#include "MovaraAppKit/Controls/TextFieldFormatter.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Pasteboard.h"
#include "Tests/MovaraAppKit/Controls/ControlsTestSupport.h"
#include "Tests/Platform/Net/LocalServer.h"

namespace {

using controlstest::colorNear;
using graphics::Rect;

class SmallControlsTest : public controlstest::ControlsTest { };

TEST_F(SmallControlsTest, FormatterRefusesTooLongOrForbiddenText)
{
    struct Case {
        const char* name;
        std::function<void(TextFieldFormatter&)> setUp;
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"no rules", [](TextFieldFormatter&) { }, "anything / at all", true},
        {"three of three", [](TextFieldFormatter& f) { f.setMaxLength(3); }, "abc", true},
        {"four of three", [](TextFieldFormatter& f) { f.setMaxLength(3); }, "abcd", false},
        {"accents count once", [](TextFieldFormatter& f) { f.setMaxLength(3); }, "e\u0301e\u0301e\u0301", true},
        {"digits only", [](TextFieldFormatter& f) { f.setAllowed("0123456789"); }, "12a", false},
        {"digits, empty", [](TextFieldFormatter& f) { f.setAllowed("0123456789"); }, "", true},
        {"space sign", [](TextFieldFormatter& f) { f.setAllowed("ab\u2334"); }, "a b a", true},
        {"allowed empty", [](TextFieldFormatter& f) { f.setAllowed(""); }, "a", false},
        {"slash anywhere", [](TextFieldFormatter& f) { f.setDisallowed("/"); }, "ab/cd", false},
        {"slash at the end", [](TextFieldFormatter& f) { f.setDisallowed("/"); }, "abcd/", false},
        {"no slash", [](TextFieldFormatter& f) { f.setDisallowed("/"); }, "abcd", true},
        {"broken UTF-8 is not allowed text", [](TextFieldFormatter& f) { f.setAllowed("ab"); }, "a\xff", false},
    };
    for (const auto& c : cases) {
        auto f = TextFieldFormatter::init();
        c.setUp(*f);
        std::string replacement = "untouched";
        EXPECT_EQ(f->isPartialStringValid(c.text, &replacement, nullptr), c.valid) << c.name;
        EXPECT_EQ(replacement, "untouched") << c.name;
    }
    auto registered = foundation::ClassRegistry::shared().lookup<ui::Formatter>("TextFieldFormatter");
    ASSERT_TRUE(registered);
    EXPECT_TRUE(std::dynamic_pointer_cast<TextFieldFormatter>(registered()));
}

TEST_F(SmallControlsTest, TypingPastTheLimitBeepsOnceAndKeepsTheText)
{
    auto field = PaddedTextField::initWithFrame(Rect::make(10, 10, 200, 22));
    auto formatter = TextFieldFormatter::init();
    formatter->setMaxLength(3);
    field->setFormatter(formatter);
    auto w = windowWith(field, 220, 40);
    w->makeKeyAndOrderFront();
    ASSERT_TRUE(w->makeFirstResponder(field));
    EXPECT_TRUE(field->replaceText("abc"));
    const long beeps = ui::Application::shared()->beepCount();
    EXPECT_FALSE(field->insertText("d"));
    EXPECT_EQ(ui::Application::shared()->beepCount(), beeps + 1);
    EXPECT_EQ(field->currentText(), "abc");
}

class NaturalHeightCell : public PaddedTextFieldCell {
public:
    static std::shared_ptr<NaturalHeightCell> make() { return std::shared_ptr<NaturalHeightCell>(new NaturalHeightCell()); }
    graphics::Size cellSizeForBounds(const Rect& b) const override { return {b.width(), 16}; }
    Rect baseRect(const Rect& b) const { return ui::TextFieldCell::drawingRectForBounds(b); }
};

TEST_F(SmallControlsTest, PaddedTextSitsEightPointsInAndCentred)
{
    auto cell = NaturalHeightCell::make();
    cell->setBezeled(true);
    const Rect bounds = Rect::make(0, 0, 200, 22);
    const Rect base = cell->baseRect(bounds);
    const Rect padded = cell->drawingRectForBounds(bounds);
    EXPECT_EQ(padded.minX(), 8);
    EXPECT_EQ(padded.width(), 184);
    EXPECT_EQ(padded.minY(), base.minY() + 3);
    EXPECT_EQ(padded.height(), base.height() - 6);

    for (const auto& look : controlstest::allLooks) {
        auto field = PaddedSecureTextField::initWithFrame(Rect::make(10, 10, 200, 22));
        field->setStringValue("secret");
        auto image = render(windowWith(field, 220, 40, look), "padded-secure-" + look.name());
        // The box: control background inside, a control-shadow line on its edge.
        EXPECT_NE(pixel(image, look.scale, 12, 21), pixel(image, look.scale, 5, 5));
    }
}

TEST_F(SmallControlsTest, InnerShadowFallsInsideNearTheTopWhateverTheFlipping)
{
    for (bool flipped : {false, true}) {
        SCOPED_TRACE(flipped ? "flipped" : "unflipped");
        auto context = ui::GraphicsContext::bitmapContext({40, 40}, 2);
        context->setFillColor(ui::Color::white());
        context->fillRect(Rect::make(0, 0, 40, 40));
        if (flipped) {
            context->translate(0, 40);
            context->scale(1, -1);
        }
        ui::Shadow shadow;
        shadow.setShadowOffset({0, -2});
        shadow.setShadowBlurRadius(3);
        shadow.setShadowColor(ui::Color::black());
        fillWithInnerShadow(ui::BezierPath::bezierPathWithRect(Rect::make(10, 10, 20, 20)), shadow, *context);
        EXPECT_EQ(shadow.shadowOffset().height, -2);
        auto image = context->createImage();
        // Rows from the top of the picture: the rectangle spans rows 20 to 60.
        const auto nearTop = image->pixelAt(40, 22);
        const auto nearBottom = image->pixelAt(40, 57);
        const auto centre = image->pixelAt(40, 40);
        const auto outside = image->pixelAt(40, 10);
        EXPECT_LT(int(nearTop.r), 128);
        EXPECT_GT(int(nearBottom.r), int(nearTop.r) + 60);
        EXPECT_GT(int(centre.r), 230);
        EXPECT_TRUE(colorNear(outside, 255, 255, 255, 0));
    }
}

TEST_F(SmallControlsTest, EncodingsUseWholePixelsOfThePointSize)
{
    auto image = ui::Image::imageWithSize({100.7, 50.2}, false, [](ui::GraphicsContext& c, const Rect& r) {
        c.setFillColor(ui::Color::calibratedRGB(1, 0, 0));
        c.fillRect(r);
    });
    for (auto data : {mvr_PNGRepresentation(*image), mvr_JPEGRepresentation(*image)}) {
        ASSERT_TRUE(data);
        auto source = images::ImageSource::createWithData(*data);
        ASSERT_TRUE(source);
        auto decoded = source->createImageAtIndex(0);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width(), 100u);
        EXPECT_EQ(decoded->height(), 50u);
    }
    auto empty = ui::Image::imageWithBitmap(image->bitmap(), {0.5, 0.5});
    EXPECT_FALSE(mvr_PNGRepresentation(*empty));

    EXPECT_EQ(mvr_previewImageOfFileAtURL(*foundation::URL::URLWithString("https://example.com/a.png"), {64, 64}, true, 2), nullptr);
    EXPECT_TRUE(mvr_previewImageOfFileAtURL(foundation::URL::fileURLWithPath("/etc/hostname"), {64, 64}, true, 2));
}

TEST_F(SmallControlsTest, HyperlinkStylesItsTitleAndOpensOnlyAddresses)
{
    auto link = HyperlinkButton::initWithCoder(Rect::make(0, 0, 200, 20));
    link->awakeFromNib();
    EXPECT_EQ(link->action(), "openUrl:");
    link->setTitle("https://example.com/help");
    const auto a = link->attributedTitle().attributes();
    EXPECT_EQ(a.underlineStyle, 1);
    EXPECT_EQ(a.foregroundColor, ui::Color::calibratedRGB(0.1, 0.1, 1.0));
    EXPECT_EQ(a.font->pointSize(), ui::Font::smallSystemFontSize());
    link->resetCursorRects();
    ASSERT_EQ(link->cursorRects().size(), 1u);
    EXPECT_EQ(link->cursorRects().front().second, ui::Cursor::pointingHand);

    link->performClick();
    link->setTitle("not an address");
    link->performClick();
    EXPECT_EQ(ui::Workspace::shared().recordedCalls(),
              (std::vector<ui::Workspace::Call>{{"openURL", {"https://example.com/help"}}}));

    auto own = HyperlinkButton::initWithCoder(Rect::make(0, 0, 200, 20));
    own->setAction("showHelp:");
    own->awakeFromNib();
    EXPECT_EQ(own->action(), "showHelp:");
}

class CountingDropView : public DropView {
public:
    static std::shared_ptr<CountingDropView> make() { return std::shared_ptr<CountingDropView>(new CountingDropView()); }
    bool handleDrop(const std::vector<foundation::URL>& urls) override
    {
        drops.push_back(urls);
        return true;
    }
    bool shouldCopyOnDrag(const ui::DraggingInfo&) override { return true; }
    std::vector<std::vector<foundation::URL>> drops;

private:
    CountingDropView() : DropView(Rect::make(0, 0, 100, 100)) { }
};

TEST_F(SmallControlsTest, DropViewTakesFileURLsOnlyAndAsksItsSubclass)
{
    auto files = ui::Pasteboard::pasteboardWithUniqueName();
    files->writeURLs({foundation::URL::fileURLWithPath("/a.jpg"), foundation::URL::fileURLWithPath("/b.jpg"),
                      foundation::URL::fileURLWithPath("/c.jpg")});
    auto text = ui::Pasteboard::pasteboardWithUniqueName();
    text->setStringForType("hello", ui::NSPasteboardTypeString);

    auto plain = DropView::initWithCoder(Rect::make(0, 0, 100, 100));
    plain->awakeFromNib();
    auto plainWindow = windowWith(plain, 100, 100);
    EXPECT_EQ(plainWindow->draggingUpdated(files, {50, 50}), ui::NSDragOperationNone);
    EXPECT_FALSE(plainWindow->performDragOperation(files, {50, 50}));

    auto counting = CountingDropView::make();
    counting->awakeFromNib();
    auto w = windowWith(counting, 100, 100);
    EXPECT_EQ(w->draggingUpdated(files, {50, 50}), ui::NSDragOperationCopy);
    EXPECT_EQ(w->draggingUpdated(files, {60, 60}), ui::NSDragOperationCopy);
    EXPECT_TRUE(w->performDragOperation(files, {50, 50}));
    ASSERT_EQ(counting->drops.size(), 1u);
    EXPECT_EQ(counting->drops.front().size(), 3u);
    EXPECT_EQ(counting->drops.front()[1].path(), "/b.jpg");

    // Text carries no file URL: refused, the subclass never asked. Nor is a drop accepted
    // when performed on the view directly with such a pasteboard.
    EXPECT_FALSE(w->performDragOperation(text, {50, 50}));
    EXPECT_FALSE(counting->performDragOperation(ui::DraggingInfo(text, {50, 50}, ui::NSDragOperationEvery, w, 9)));
    EXPECT_EQ(counting->drops.size(), 1u);
}

TEST_F(SmallControlsTest, AvatarOpensTheChooserOnlyWhenChangeableAndEnabled)
{
    auto& taker = ui::PictureTaker::sharedPictureTaker();
    auto picture = RoundAvatarView::defaultAvatarImage();
    ASSERT_TRUE(picture);
    struct Case {
        bool changeable;
        bool enabled;
    };
    for (const Case c : {Case{true, true}, Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(std::string(c.changeable ? "changeable" : "fixed") + (c.enabled ? " enabled" : " disabled"));
        auto view = RoundAvatarView::initWithCoder(Rect::make(10, 10, 80, 80));
        view->setChangeable(c.changeable);
        view->setEnabled(c.enabled);
        view->awakeFromNib();
        auto w = windowWith(view, 100, 100);
        w->makeKeyAndOrderFront();
        const bool active = c.changeable && c.enabled;
        EXPECT_EQ(view->acceptsFirstResponder(), active);
        EXPECT_EQ(view->toolTip().empty(), !c.changeable);

        // What shows: a fixed view never gets the darkening or the label at all.
        auto darkened = [&] { return view->darkenLayer()->superlayer() && !view->darkenLayer()->isHidden(); };
        auto labelled = [&] { return view->label()->superview() == view.get() && !view->label()->isHidden(); };
        mouse(w, ui::EventType::mouseMoved, 50, 50);
        EXPECT_EQ(darkened(), active);
        EXPECT_EQ(labelled(), active);
        mouse(w, ui::EventType::mouseMoved, 95, 5);
        EXPECT_FALSE(darkened());
        EXPECT_FALSE(labelled());

        const long before = taker.popUpCount();
        mouse(w, ui::EventType::leftMouseDown, 50, 50);
        mouse(w, ui::EventType::leftMouseUp, 50, 50);
        view->keyUp(ui::Event::keyEvent(ui::EventType::keyUp, " ", w));
        view->keyUp(ui::Event::keyEvent(ui::EventType::keyUp, "a", w));
        EXPECT_EQ(taker.popUpCount() - before, active ? 2 : 0);
        while (dispatch::RunLoop::main().runOnce(0)) { }

        // The chooser's answer counts only when the view may change and has a handler.
        std::vector<ui::ImagePtr> reported;
        taker.setScriptedResult(std::make_pair(ui::ModalResponseOK, picture));
        view->showPictureTaker(nullptr);
        while (dispatch::RunLoop::main().runOnce(0)) { }
        EXPECT_EQ(view->image(), nullptr); // no handler yet
        view->setChangeHandler([&](const ui::ImagePtr& image) { reported.push_back(image); });
        taker.setScriptedResult(std::make_pair(ui::ModalResponseOK, picture));
        view->showPictureTaker(nullptr);
        while (dispatch::RunLoop::main().runOnce(0)) { }
        EXPECT_EQ(reported.size(), active ? 1u : 0u);
        EXPECT_EQ(view->image() == picture, active);
        // Cancelling changes nothing.
        view->showPictureTaker(nullptr);
        while (dispatch::RunLoop::main().runOnce(0)) { }
        EXPECT_EQ(reported.size(), active ? 1u : 0u);
        w->orderOut();
    }
}

// A valid PNG of one-bit grey pixels, all black, written with zlib itself.
std::string blankOneBitPNG(std::uint32_t width, std::uint32_t height)
{
    auto be32 = [](std::uint32_t v) { return std::string { char(v >> 24), char(v >> 16), char(v >> 8), char(v) }; };
    auto chunk = [&](const std::string& type, const std::string& data) {
        const std::string typed = type + data;
        return be32(std::uint32_t(data.size())) + typed + be32(std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()))));
    };
    const std::string rows(std::size_t(height) * ((width + 7) / 8 + 1), '\0');
    uLongf packedSize = compressBound(uLong(rows.size()));
    std::string packed(packedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(rows.data()), uLong(rows.size()), 9);
    packed.resize(packedSize);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", be32(width) + be32(height) + std::string("\x01\x00\x00\x00\x00", 5))
        + chunk("IDAT", packed) + chunk("IEND", "");
}

TEST_F(SmallControlsTest, AvatarDownloadFallsBackToTheDefaultPicture)
{
    ui::ImagePtr got;
    RoundAvatarView::requestAvatarImageForURL(std::nullopt, [&](const ui::ImagePtr& image) { got = image; });
    EXPECT_EQ(got, RoundAvatarView::defaultAvatarImage());

    testsupport::LocalServer server;
    std::vector<uint8_t> png = *mvr_PNGRepresentation(*ui::Image::imageWithSize({3, 2}, false, [](ui::GraphicsContext&, const Rect&) { }, 1));
    server.server().Get("/me.png", [&](const httplib::Request&, httplib::Response& r) {
        r.set_content(std::string(png.begin(), png.end()), "image/png");
    });
    server.server().Get("/junk", [](const httplib::Request&, httplib::Response& r) { r.set_content("not a picture", "text/plain"); });
    server.server().Get("/lie.png", [](const httplib::Request&, httplib::Response& r) { r.set_content("not a picture", "image/png"); });
    // A few kilobytes that claim a picture of 144 million pixels: no avatar needs it decoded.
    const std::string bomb = blankOneBitPNG(12000, 12000);
    server.server().Get("/bomb.png", [&](const httplib::Request&, httplib::Response& r) { r.set_content(bomb, "image/png"); });
    server.server().Get("/gone", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
    server.start();
    struct Case {
        const char* path;
        bool isDefault;
    };
    for (const Case c : {Case{"/me.png", false}, Case{"/junk", true}, Case{"/gone", true}, Case{"/lie.png", true}, Case{"/bomb.png", true}}) {
        SCOPED_TRACE(c.path);
        got.reset();
        RoundAvatarView::requestAvatarImageForURL(foundation::URL::URLWithString(server.url(c.path)),
                                                  [&](const ui::ImagePtr& image) { got = image; });
        EXPECT_FALSE(got); // never on the caller's turn
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return got != nullptr; }, 10));
        EXPECT_EQ(got == RoundAvatarView::defaultAvatarImage(), c.isDefault);
        if (!c.isDefault) {
            EXPECT_EQ(got->size(), graphics::Size(3, 2));
        }
    }
}

TEST_F(SmallControlsTest, ShadowBoxPaintsItsPicture)
{
    for (const auto& look : controlstest::allLooks) {
        auto box = ShadowBox::initWithCoder(Rect::make(0, 0, 100, 60));
        ASSERT_TRUE(box->shadowBoxImage());
        auto image = render(windowWith(box, 100, 60, look), "shadow-box-" + look.name());
        EXPECT_TRUE(colorNear(pixel(image, look.scale, 50, 30), 255, 255, 255));
    }
}

} // namespace
